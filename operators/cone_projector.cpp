#include "operators/cone_projector.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <sstream>
#include <string>

#include "core/failure.h"
#include "core/parallel.h"
#include "operators/cone_kernels.h"
#include "operators/cone_rays.h"

namespace tomproj {
namespace {

std::string shape_text(const std::vector<std::int64_t>& shape) {
  std::ostringstream s;
  s << '(';
  for (std::size_t i = 0; i < shape.size(); ++i) s << (i ? ", " : "") << shape[i];
  if (shape.size() == 1) s << ',';
  s << ')';
  return s.str();
}

void check_threads(int threads) {
  if (threads < 1) tomio::fail_usage("thread count " + std::to_string(threads) + " is below 1");
}

// Rows per work item of the projection: few enough to share a view among
// threads, and as many as it takes to count the items in an int.
std::int64_t rows_per_item(const geom::ConeVectors& rays) {
  std::int64_t rows = 4;
  while (rays.views() * ((rays.rows + rows - 1) / rows) > INT_MAX) rows *= 2;
  return rows;
}

// The smallest box of voxels [lo, hi) (index order x, y, z) outside which
// every volume holds zeros (lo = hi = 0 when all of them are zero).
void nonzero_box(const geom::VolumeGrid& g, const float* const* volumes, int count, std::int64_t lo[3],
                 std::int64_t hi[3]) {
  lo[0] = g.nx, lo[1] = g.ny, lo[2] = g.nz;
  hi[0] = hi[1] = hi[2] = 0;
  for (int j = 0; j < count; ++j)
    for (std::int64_t iz = 0; iz < g.nz; ++iz)
      for (std::int64_t iy = 0; iy < g.ny; ++iy) {
        const float* line = volumes[j] + (iz * g.ny + iy) * g.nx;
        std::int64_t first = 0, last = g.nx - 1;
        while (first < g.nx && line[first] == 0.0f) ++first;
        if (first == g.nx) continue;
        while (line[last] == 0.0f) --last;
        lo[0] = std::min(lo[0], first), hi[0] = std::max(hi[0], last + 1);
        lo[1] = std::min(lo[1], iy), hi[1] = std::max(hi[1], iy + 1);
        lo[2] = std::min(lo[2], iz), hi[2] = std::max(hi[2], iz + 1);
      }
  if (hi[0] == 0) lo[0] = lo[1] = lo[2] = 0;
}

// Fills the lanes of one row from column col0 on with its rays' stretches
// inside the box [lo, hi) (idle lanes past the row's end or for rays that
// miss the box). The pieces outside add value 0 x length, which leaves a
// sum's bits as they are, so they are not walked. Returns whether any lane
// walks.
bool fill_row_lanes(const GridFrame& f, const geom::ConeVectors& rays, const double* v, std::int64_t row,
                    std::int64_t col0, int lanes, const std::int64_t lo[3], const std::int64_t hi[3],
                    LaneGroup& g) {
  bool any = false;
  for (int l = 0; l < lanes; ++l) {
    RayBasis b;
    const std::int64_t col = col0 + l;
    double t0 = 0.0, t1 = 0.0;
    if (col < rays.columns && ray_basis(f, v, rays.rows, rays.columns, row, col, b)) {
      t0 = b.t_in;
      t1 = b.t_out;
      clip_to_box(f, b, lo, hi, t0, t1);
    }
    if (t0 < t1) {
      start_lane(f, b, t0, t1, g, l);
      any = true;
    } else {
      idle_lane(g, l, 0.0);
    }
  }
  return any;
}

}  // namespace

void check_cone_scan(const geom::VolumeGrid& grid, const geom::ConeVectors& rays) {
  const std::int64_t counts[3] = {grid.nz, grid.ny, grid.nx};
  const char* names[3] = {"z", "y", "x"};
  const double sizes[3] = {grid.dz, grid.dy, grid.dx};
  const double origin[3] = {grid.origin_z, grid.origin_y, grid.origin_x};
  for (int a = 0; a < 3; ++a) {
    if (counts[a] < 1) tomio::fail_usage(std::string("volume has no voxels along ") + names[a]);
    if (!(sizes[a] > 0.0 && std::isfinite(sizes[a])))
      tomio::fail_usage(std::string("voxel size along ") + names[a] + " is not a positive number");
    if (!std::isfinite(origin[a]))
      tomio::fail_usage(std::string("volume offset along ") + names[a] + " is not a finite number");
  }
  // Flat positions are held in doubles by the lane kernels: exact below 2^53.
  const double voxels = static_cast<double>(grid.nx) * static_cast<double>(grid.ny) * static_cast<double>(grid.nz);
  if (voxels >= 9007199254740992.0) tomio::fail_usage("volume has more voxels than 2^53");
  if (rays.rows < 1 || rays.columns < 1) tomio::fail_usage("detector has no pixels");
  if (rays.vectors.empty() || rays.vectors.size() % 12 != 0)
    tomio::fail_usage("scan vectors must be 12 numbers per view, at least one view; got " +
                      std::to_string(rays.vectors.size()) + " numbers");
  for (std::size_t i = 0; i < rays.vectors.size(); ++i)
    if (!std::isfinite(rays.vectors[i]))
      tomio::fail_usage("scan vector " + std::to_string(i % 12) + " of view " + std::to_string(i / 12) +
                        " is not a finite number");
}

std::vector<std::int64_t> cone_volume_shape(const geom::VolumeGrid& grid) { return {grid.nz, grid.ny, grid.nx}; }

std::vector<std::int64_t> cone_stack_shape(const geom::ConeVectors& rays) {
  return {rays.views(), rays.rows, rays.columns};
}

void require_shape(const char* what, const std::vector<std::int64_t>& given,
                   const std::vector<std::int64_t>& expected) {
  if (given != expected)
    tomio::fail_usage(std::string(what) + " has shape " + shape_text(given) + " but the scan needs " +
                      shape_text(expected));
}

std::int64_t cone_slab_slices(const geom::VolumeGrid& grid, int threads) {
  const std::int64_t by_memory = std::max<std::int64_t>(1, (std::int64_t{1} << 21) / (grid.nx * grid.ny));
  const std::int64_t slabs = 2 * static_cast<std::int64_t>(std::max(1, threads));
  const std::int64_t by_count = (grid.nz + slabs - 1) / slabs;
  return std::max<std::int64_t>(1, std::min(by_memory, by_count));
}

void cone_project(const geom::VolumeGrid& grid, const geom::ConeVectors& rays, const float* const* volumes,
                  int count, float* const* stacks, int threads) {
  cone_project_with(kernels::process_kernel(), grid, rays, volumes, count, stacks, threads);
}

void cone_project_with(kernels::Kernel kernel, const geom::VolumeGrid& grid, const geom::ConeVectors& rays,
                       const float* const* volumes, int count, float* const* stacks, int threads) {
  check_cone_scan(grid, rays);
  check_threads(threads);
  if (count < 1) return;
  const GridFrame f = grid_frame(grid);
  const int lanes = cone_lanes(kernel);
  const std::int64_t block = rows_per_item(rays);
  const std::int64_t blocks = (rays.rows + block - 1) / block;
  const int items = static_cast<int>(rays.views() * blocks);
  std::int64_t lo[3], hi[3];
  nonzero_box(grid, volumes, count, lo, hi);
  tomio::parallel_for(items, threads, [&](int item, int) {
    const std::int64_t view = item / blocks, first_row = item % blocks * block;
    const double* v = rays.vectors.data() + 12 * view;
    LaneGroup g;
    std::vector<double> sums(static_cast<std::size_t>(count) * kMaxLanes);
    double(*lane_sums)[kMaxLanes] = reinterpret_cast<double(*)[kMaxLanes]>(sums.data());
    for (std::int64_t row = first_row; row < std::min(rays.rows, first_row + block); ++row) {
      const std::int64_t line = (view * rays.rows + row) * rays.columns;
      for (std::int64_t col0 = 0; col0 < rays.columns; col0 += lanes) {
        if (fill_row_lanes(f, rays, v, row, col0, lanes, lo, hi, g)) {
          cone_forward_lanes(kernel, g, volumes, count, lane_sums);
        } else {
          std::fill(sums.begin(), sums.end(), 0.0);
        }
        const int n = static_cast<int>(std::min<std::int64_t>(lanes, rays.columns - col0));
        for (int j = 0; j < count; ++j)
          for (int l = 0; l < n; ++l) stacks[j][line + col0 + l] = static_cast<float>(lane_sums[j][l]);
      }
    }
  });
}

void cone_project_adjoint(const geom::VolumeGrid& grid, const geom::ConeVectors& rays, const float* stack,
                          float* volume, int threads) {
  cone_project_adjoint_with(kernels::process_kernel(), grid, rays, stack, volume, threads);
}

void cone_project_adjoint_with(kernels::Kernel kernel, const geom::VolumeGrid& grid,
                               const geom::ConeVectors& rays, const float* stack, float* volume,
                               int threads) {
  check_cone_scan(grid, rays);
  check_threads(threads);
  const GridFrame f = grid_frame(grid);
  const int lanes = cone_lanes(kernel);
  const std::int64_t views = rays.views(), lines = views * rays.rows;
  if (views > INT_MAX) tomio::fail_usage("scan has more views than the transpose counts");

  // The z slices each detector row's rays can reach (from the voxel where
  // they enter to the one where they leave, rays of zero samples left
  // out), so that a slab walks only the rows that touch it.
  std::vector<std::int64_t> reach(static_cast<std::size_t>(2 * lines));
  tomio::parallel_for(static_cast<int>(views), threads, [&](int view, int) {
    const double* v = rays.vectors.data() + 12 * static_cast<std::int64_t>(view);
    for (std::int64_t row = 0; row < rays.rows; ++row) {
      const std::int64_t line = view * rays.rows + row;
      std::int64_t lo = grid.nz, hi = -1;
      for (std::int64_t col = 0; col < rays.columns; ++col) {
        RayBasis b;
        if (stack[line * rays.columns + col] == 0.0f ||
            !ray_basis(f, v, rays.rows, rays.columns, row, col, b))
          continue;
        const std::int64_t a = cell_at(f, b, 2, b.t_in), e = cell_at(f, b, 2, b.t_out);
        lo = std::min(lo, std::min(a, e));
        hi = std::max(hi, std::max(a, e));
      }
      reach[static_cast<std::size_t>(2 * line)] = lo;
      reach[static_cast<std::size_t>(2 * line + 1)] = hi;
    }
  });

  const std::int64_t thick = cone_slab_slices(grid, threads);
  const std::int64_t slabs = (grid.nz + thick - 1) / thick;
  const std::int64_t slice = grid.nx * grid.ny;
  const std::int64_t room = grid.nx + grid.ny + grid.nz + 4;
  const int workers = std::max(1, std::min<int>(threads, static_cast<int>(slabs)));
  struct Buffers {
    std::vector<double> acc, amount;
    std::vector<std::int64_t> at;
  };
  std::vector<Buffers> buffers(static_cast<std::size_t>(workers));
  tomio::parallel_for(static_cast<int>(slabs), threads, [&](int slab, int worker) {
    Buffers& w = buffers[static_cast<std::size_t>(worker)];
    const std::int64_t z0 = slab * thick, z1 = std::min(grid.nz, z0 + thick);
    const std::int64_t base = z0 * slice, voxels = (z1 - z0) * slice;
    const std::int64_t slab_lo[3] = {0, 0, z0}, slab_hi[3] = {grid.nx, grid.ny, z1};
    w.acc.assign(static_cast<std::size_t>(voxels), 0.0);
    w.at.resize(static_cast<std::size_t>(room * lanes));
    w.amount.resize(static_cast<std::size_t>(room * lanes));
    LaneGroup g;
    alignas(64) double sample[kMaxLanes] = {};
    for (std::int64_t line = 0; line < lines; ++line) {
      if (reach[static_cast<std::size_t>(2 * line)] >= z1 || reach[static_cast<std::size_t>(2 * line + 1)] < z0)
        continue;
      const std::int64_t view = line / rays.rows, row = line % rays.rows;
      const double* v = rays.vectors.data() + 12 * view;
      for (std::int64_t col0 = 0; col0 < rays.columns; col0 += lanes) {
        bool any = false;
        for (int l = 0; l < lanes; ++l) {
          const std::int64_t col = col0 + l;
          RayBasis b;
          sample[l] = col < rays.columns ? stack[line * rays.columns + col] : 0.0;
          double t0 = 0.0, t1 = 0.0;
          if (sample[l] != 0.0 && ray_basis(f, v, rays.rows, rays.columns, row, col, b)) {
            // The ray's stretch within the slab's slices.
            t0 = b.t_in;
            t1 = b.t_out;
            clip_to_box(f, b, slab_lo, slab_hi, t0, t1);
          }
          if (t0 < t1) {
            start_lane(f, b, t0, t1, g, l);
            any = true;
          } else {
            idle_lane(g, l, static_cast<double>(base));
          }
        }
        if (any) cone_adjoint_lanes(kernel, g, sample, base, w.acc.data(), room, w.at.data(), w.amount.data());
      }
    }
    for (std::int64_t i = 0; i < voxels; ++i) volume[base + i] = static_cast<float>(w.acc[static_cast<std::size_t>(i)]);
  });
}

}  // namespace tomproj
