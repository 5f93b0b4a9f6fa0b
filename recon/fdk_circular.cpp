#include "recon/fdk_circular.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <mutex>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/kernel_dispatch.h"
#include "core/parallel.h"
#include "core/portable_math.h"
#include "recon/fdk_window.h"
#include "recon/fftw_rows.h"
#include "recon/redundancy_weights.h"
#include "core/vector_lanes.h"

// (Lane values pass only between inlined functions, so the warning that a
// vector argument's passing differs between instruction sets does not apply.)
#pragma GCC diagnostic ignored "-Wpsabi"

namespace quant {
namespace {

constexpr double kPi = 3.14159265358979323846;

bool positive_finite(double x) { return x > 0.0 && std::isfinite(x); }

// Filtered views are kept transposed (row fastest, then column) inside a
// border of zeros one sample wide before the first row and column and two
// after the last, so that a bilinear sample off the detector reads zeros
// without a branch. On an offset detector the filtered rows are kept on a
// detector widened on its narrow side to mirror the wide one: the ramp's
// response to the rows reaches beyond them, and the voxels the narrow side
// does not see take it there.
struct FilteredLayout {
  std::int64_t rows, columns;  // columns of the widened detector
  std::int64_t before;         // of them, added before the first column
  std::int64_t side() const { return rows + 3; }
  std::int64_t view_samples() const { return (rows + 3) * (columns + 3); }
};

FilteredLayout filtered_layout(const geom::CircularScan& scan, const RedundancyPlan& plan) {
  FilteredLayout layout{scan.rows, scan.columns, 0};
  if (plan.kind != Redundancy::offset_detector) return layout;
  // Columns that bring the narrow side's outermost centre as far from the
  // central ray as the wide side's.
  const double excess = std::fabs(column_offset(scan, 0) + column_offset(scan, scan.columns - 1));
  const std::int64_t extra = static_cast<std::int64_t>(std::ceil(excess / scan.pitch_column - 1e-9));
  layout.columns += extra;
  if (plan.wide_side > 0.0) layout.before = extra;
  return layout;
}

// Voxel columns are backprojected in square tiles of kTile x kTile: the
// detector columns one view shows of a tile stay in the core's cache while
// the tile's columns take them, and the tile's sums stay there over all
// views.
constexpr std::int64_t kTile = 16;

std::int64_t tiles_along(std::int64_t n) { return (n + kTile - 1) / kTile; }

// Per view, sin and cos of its angle (from the portable sine, so the same
// on every machine).
struct ViewTrig {
  double s, c;
};

void filter_views(const geom::CircularScan& scan, const ScanArc& arc, const RedundancyPlan& plan,
                  const FilteredLayout& layout, const float* stack, float* filtered,
                  const FdkCircularOptions& options, const std::function<void()>& on_view_done) {
  const std::int64_t rows = scan.rows, columns = scan.columns;
  const std::int64_t views = static_cast<std::int64_t>(scan.angles_deg.size());
  const std::int64_t n_pad = fdk_padded_length(layout.columns);
  const std::vector<double> response = fdk_ramp_response(scan.pitch_column * scan.sod / scan.sdd, n_pad, options);
  const std::int64_t frequencies = n_pad / 2 + 1;

  // The cosine of every pixel's ray with the central ray, its offsets
  // measured from the central ray's foot.
  std::vector<double> cosine(static_cast<std::size_t>(rows * columns));
  for (std::int64_t r = 0; r < rows; ++r) {
    const double v = scan.offset_v + (static_cast<double>(r) - 0.5 * static_cast<double>(rows - 1)) * scan.pitch_row;
    for (std::int64_t c = 0; c < columns; ++c) {
      const double u = column_offset(scan, c);
      cosine[static_cast<std::size_t>(r * columns + c)] = scan.sdd / std::sqrt(scan.sdd * scan.sdd + u * u + v * v);
    }
  }

  const int threads = static_cast<int>(std::max<std::int64_t>(1, std::min<std::int64_t>(options.threads, views)));
  std::vector<FftwBuffer<double>> reals;
  std::vector<FftwBuffer<fftw_complex>> spectra;
  std::vector<std::vector<double>> column_factors;
  for (int t = 0; t < threads; ++t) {
    reals.push_back(fftw_reals(static_cast<std::size_t>(n_pad)));
    spectra.push_back(fftw_complexes(static_cast<std::size_t>(frequencies)));
    column_factors.emplace_back(static_cast<std::size_t>(columns));
  }
  const RowTransforms transforms(static_cast<int>(n_pad), reals[0].get(), spectra[0].get());

  tomio::parallel_for(static_cast<int>(views), threads, [&](int view, int worker) {
    double* real = reals[static_cast<std::size_t>(worker)].get();
    fftw_complex* spectrum = spectra[static_cast<std::size_t>(worker)].get();
    double* factor = column_factors[static_cast<std::size_t>(worker)].data();
    // Redundancy weight and the view's angular interval, per column.
    column_weights(scan, arc, plan, view, factor);
    const double interval = arc.interval[static_cast<std::size_t>(view)];
    for (std::int64_t c = 0; c < columns; ++c) factor[c] *= interval;

    float* out = filtered + view * layout.view_samples();
    std::fill(out, out + layout.view_samples(), 0.0f);
    for (std::int64_t r = 0; r < rows; ++r) {
      const float* row = stack + (static_cast<std::int64_t>(view) * rows + r) * columns;
      const double* weight = cosine.data() + r * columns;
      std::fill(real, real + n_pad, 0.0);
      for (std::int64_t c = 0; c < columns; ++c) real[layout.before + c] = row[c] * (weight[c] * factor[c]);
      transforms.forward(real, spectrum);
      for (std::int64_t k = 0; k < frequencies; ++k) {
        spectrum[k][0] *= response[static_cast<std::size_t>(k)];
        spectrum[k][1] *= response[static_cast<std::size_t>(k)];
      }
      transforms.backward(spectrum, real);
      for (std::int64_t c = 0; c < layout.columns; ++c)
        out[(c + 1) * layout.side() + (r + 1)] = static_cast<float>(real[c]);
    }
    if (on_view_done) on_view_done();
  });
}

// One voxel column of one view: the filtered detector columns `left` and
// `right` around its column coordinate (fraction fc between them), the row
// coordinate's slope against z and the distance weight.
struct ColumnView {
  const float* left;
  const float* right;
  double fc;
  double slope;  // magnification over the row pitch
  double weight;
};

// Adds one view to the nz sums of a voxel column: every value in double,
// the row coordinate held within [-1, rows] where the border rows are zero.
// The lane form below runs the same IEEE operations lane by lane; a column's
// last nz % W voxels take this one.
inline void add_voxel(const ColumnView& cv, double z, double row_centre, double row_limit, double& acc) {
  const double cr = std::min(std::max(row_centre - z * cv.slope, -1.0), row_limit);
  const double r0 = std::floor(cr);
  const double fr = cr - r0;
  const std::int64_t r = static_cast<std::int64_t>(r0);
  const double l1 = cv.left[r + 1], l2 = cv.left[r + 2];
  const double g1 = cv.right[r + 1], g2 = cv.right[r + 2];
  const double a = l1 + fr * (l2 - l1);
  const double b = g1 + fr * (g2 - g1);
  acc += cv.weight * (a + cv.fc * (b - a));
}

void add_column_plain(const ColumnView& cv, const double* z, std::int64_t nz, double row_centre,
                      double row_limit, double* acc) {
  for (std::int64_t iz = 0; iz < nz; ++iz) add_voxel(cv, z[iz], row_centre, row_limit, acc[iz]);
}

// The column loop in each instruction set's lane operations.
namespace portable_lanes {
typedef lanes::PortableOps<4> Ops;
#include "recon/fdk_column_lanes.inc"
}  // namespace portable_lanes

#if TOM_X86_KERNELS
namespace avx2_lanes {
#pragma GCC push_options
#pragma GCC target("avx2,fma")
typedef lanes::Avx2Ops Ops;
#include "recon/fdk_column_lanes.inc"
#pragma GCC pop_options
}  // namespace avx2_lanes
#endif

using AddColumn = void (*)(const ColumnView&, const double*, std::int64_t, double, double, double*);

void add_column_portable(const ColumnView& cv, const double* z, std::int64_t nz, double row_centre,
                         double row_limit, double* acc) {
  portable_lanes::add_column_lanes(cv, z, nz, row_centre, row_limit, acc);
}

#if TOM_X86_KERNELS
__attribute__((target("avx2,fma"))) void add_column_avx2(const ColumnView& cv, const double* z, std::int64_t nz,
                                                         double row_centre, double row_limit, double* acc) {
  avx2_lanes::add_column_lanes(cv, z, nz, row_centre, row_limit, acc);
}
#endif

// The column kernel of a process kernel. AVX-512 runs the AVX2 form: the
// loop is bound by its gathers, and an eight-lane form measured slower (CPU
// 1.97 s against 1.65 s on the defined scan, AMD EPYC).
AddColumn column_kernel(kernels::Kernel kernel) {
  switch (kernel) {
    case kernels::Kernel::scalar:
      return add_column_plain;
    case kernels::Kernel::portable:
      return add_column_portable;
    case kernels::Kernel::avx2:
    case kernels::Kernel::avx512:
#if TOM_X86_KERNELS
      return add_column_avx2;
#else
      break;
#endif
  }
  return add_column_portable;
}

// Doubles aligned to 64 bytes, for the lane loads and stores.
struct AlignedFree {
  void operator()(double* p) const { std::free(p); }
};
using AlignedDoubles = std::unique_ptr<double[], AlignedFree>;
AlignedDoubles aligned_doubles(std::int64_t count) {
  const std::size_t bytes = (static_cast<std::size_t>(count) * sizeof(double) + 63) / 64 * 64;
  auto* p = static_cast<double*>(std::aligned_alloc(64, bytes == 0 ? 64 : bytes));
  if (p == nullptr) throw std::bad_alloc();
  std::fill(p, p + count, 0.0);
  return AlignedDoubles(p);
}

// A column's sums start on a 64-byte boundary.
std::int64_t column_stride(std::int64_t nz) { return (nz + 7) / 8 * 8; }

void backproject(const geom::CircularScan& scan, const FilteredLayout& layout, const float* filtered,
                 float* volume, int threads, kernels::Kernel kernel, const std::function<void()>& on_tile_done) {
  const AddColumn add_column = column_kernel(kernel);
  const geom::VolumeGrid& g = scan.grid;
  const std::int64_t views = static_cast<std::int64_t>(scan.angles_deg.size());
  std::vector<ViewTrig> trig(static_cast<std::size_t>(views));
  for (std::int64_t v = 0; v < views; ++v) {
    ViewTrig& t = trig[static_cast<std::size_t>(v)];
    portable::sin_cos_degrees(scan.angles_deg[static_cast<std::size_t>(v)], t.s, t.c);
  }
  const AlignedDoubles z = aligned_doubles(g.nz);
  for (std::int64_t iz = 0; iz < g.nz; ++iz)
    z[iz] = g.origin_z - (static_cast<double>(iz) - 0.5 * static_cast<double>(g.nz - 1)) * g.dz;
  const std::int64_t stride = column_stride(g.nz);
  const double column_centre = -scan.offset_u / scan.pitch_column + 0.5 * static_cast<double>(scan.columns - 1) +
                               static_cast<double>(layout.before);
  const double row_centre = -scan.offset_v / scan.pitch_row + 0.5 * static_cast<double>(scan.rows - 1);
  const double row_limit = static_cast<double>(scan.rows);
  const double column_limit = static_cast<double>(layout.columns);
  const std::int64_t tiles_x = tiles_along(g.nx), tiles_y = tiles_along(g.ny);

  tomio::parallel_for(static_cast<int>(tiles_x * tiles_y), threads, [&](int tile, int) {
    const std::int64_t ix0 = (tile % tiles_x) * kTile, iy0 = (tile / tiles_x) * kTile;
    const std::int64_t wx = std::min(kTile, g.nx - ix0), wy = std::min(kTile, g.ny - iy0);
    const AlignedDoubles acc = aligned_doubles(wx * wy * stride);
    for (std::int64_t v = 0; v < views; ++v) {
      const ViewTrig& t = trig[static_cast<std::size_t>(v)];
      const float* view = filtered + v * layout.view_samples();
      for (std::int64_t jy = 0; jy < wy; ++jy) {
        const double y = g.origin_y - (static_cast<double>(iy0 + jy) - 0.5 * static_cast<double>(g.ny - 1)) * g.dy;
        for (std::int64_t jx = 0; jx < wx; ++jx) {
          const double x = g.origin_x + (static_cast<double>(ix0 + jx) - 0.5 * static_cast<double>(g.nx - 1)) * g.dx;
          // Distance from the source along the central ray, and the lateral
          // offset along the detector's columns.
          const double depth = scan.sod + (-x * t.s + y * t.c);
          const double lateral = x * t.c + y * t.s;
          const double magnify = scan.sdd / depth;
          const double cu = (lateral * magnify) / scan.pitch_column + column_centre;
          if (!(cu > -1.0 && cu < column_limit)) continue;  // both neighbours off the detector
          const double ratio = scan.sod / depth;
          const std::int64_t c0 = static_cast<std::int64_t>(cu + 1.0) - 1;  // cu + 1 > 0: the floor
          const float* left = view + (c0 + 1) * layout.side();
          add_column(ColumnView{left, left + layout.side(), cu - static_cast<double>(c0), magnify / scan.pitch_row,
                                ratio * ratio},
                     z.get(), g.nz, row_centre, row_limit, acc.get() + (jy * wx + jx) * stride);
        }
      }
    }
    for (std::int64_t jy = 0; jy < wy; ++jy)
      for (std::int64_t jx = 0; jx < wx; ++jx)
        for (std::int64_t iz = 0; iz < g.nz; ++iz)
          volume[(iz * g.ny + iy0 + jy) * g.nx + ix0 + jx] = static_cast<float>(acc[(jy * wx + jx) * stride + iz]);
    if (on_tile_done) on_tile_done();
  });
}

}  // namespace

void check_fdk_scan(const geom::CircularScan& scan, const FdkCircularOptions& options) {
  const geom::VolumeGrid& g = scan.grid;
  if (!(g.nz >= 1 && g.ny >= 1 && g.nx >= 1)) tomio::fail_usage("the volume shape must be at least 1 on every axis");
  if (!(positive_finite(g.dz) && positive_finite(g.dy) && positive_finite(g.dx)))
    tomio::fail_usage("the voxel size must be positive and finite on every axis");
  if (!(std::isfinite(g.origin_z) && std::isfinite(g.origin_y) && std::isfinite(g.origin_x)))
    tomio::fail_usage("the volume offset must be finite");
  if (!(scan.rows >= 1 && scan.columns >= 2)) tomio::fail_usage("the detector needs at least 1 row and 2 columns");
  if (!(positive_finite(scan.pitch_row) && positive_finite(scan.pitch_column)))
    tomio::fail_usage("the detector pitch must be positive and finite");
  if (!(std::isfinite(scan.offset_v) && std::isfinite(scan.offset_u)))
    tomio::fail_usage("the detector offset must be finite");
  if (!positive_finite(scan.sod)) tomio::fail_usage("sod must be positive and finite");
  if (!positive_finite(scan.sdd)) tomio::fail_usage("sdd must be positive and finite");
  if (!(options.cutoff > 0.0 && options.cutoff <= 1.0)) tomio::fail_usage("the filter cutoff must lie in (0, 1]");
  if (options.threads < 1) tomio::fail_usage("the thread count must be at least 1");
  // Every voxel must lie inside the source's orbit, so that its depth along
  // the central ray is positive in every view.
  const double hx = std::fabs(g.origin_x) + 0.5 * static_cast<double>(g.nx) * g.dx;
  const double hy = std::fabs(g.origin_y) + 0.5 * static_cast<double>(g.ny) * g.dy;
  if (!(std::sqrt(hx * hx + hy * hy) < scan.sod))
    tomio::fail_usage("the volume reaches the source's orbit (radius sod = " + std::to_string(scan.sod) + " mm)");
  const ScanArc arc = scan_arc(scan.angles_deg);
  plan_redundancy(scan, arc, options.parker_smoothing, options.redundancy_weights);
}

std::int64_t fdk_padded_length(std::int64_t columns) {
  std::int64_t n = 1;
  while (n < 2 * columns) n *= 2;
  return n;
}

std::vector<double> fdk_ramp_response(double d, std::int64_t n_pad, const FdkCircularOptions& options) {
  // The ramp band-limited to the isocentre pitch d, in space: h(0) = 1/(4 d^2),
  // h(n) = -1/(pi n d)^2 for odd n, 0 for even n. Its transform, unlike |f|
  // sampled directly, has the right (non-zero) value at f = 0, so a uniform
  // object keeps its level. Wrapped circularly into the padded length.
  const std::int64_t frequencies = n_pad / 2 + 1;
  auto real = fftw_reals(static_cast<std::size_t>(n_pad));
  auto spectrum = fftw_complexes(static_cast<std::size_t>(frequencies));
  for (std::int64_t k = 0; k < n_pad; ++k) {
    const std::int64_t n = k <= n_pad / 2 ? k : k - n_pad;
    double h = 0.0;
    if (n == 0) {
      h = 1.0 / (4.0 * d * d);
    } else if (n % 2 != 0) {
      const double a = kPi * static_cast<double>(n) * d;
      h = -1.0 / (a * a);
    }
    real[static_cast<std::size_t>(k)] = h;
  }
  const RowTransforms transforms(static_cast<int>(n_pad), real.get(), spectrum.get());
  transforms.forward(real.get(), spectrum.get());
  // The convolution sum times the pitch; FFTW's unnormalised inverse.
  const double scale = d / static_cast<double>(n_pad);
  std::vector<double> response(static_cast<std::size_t>(frequencies));
  for (std::int64_t k = 0; k < frequencies; ++k) {
    const double f = static_cast<double>(k) / static_cast<double>(frequencies - 1);
    // The kernel is real and even, so its transform is real.
    response[static_cast<std::size_t>(k)] =
        spectrum[k][0] * fdk_window_gain(options.window, f, options.cutoff) * scale;
  }
  return response;
}

std::int64_t fdk_circular_step_count(const geom::CircularScan& scan) {
  return static_cast<std::int64_t>(scan.angles_deg.size()) + tiles_along(scan.grid.nx) * tiles_along(scan.grid.ny);
}

void fdk_circular(const geom::CircularScan& scan, const float* stack, float* volume,
                  const FdkCircularOptions& options, const std::function<void(std::int64_t)>& on_step_done) {
  check_fdk_scan(scan, options);
  std::mutex progress_lock;
  std::int64_t done = 0;
  auto step = [&] {
    if (!on_step_done) return;
    std::lock_guard<std::mutex> lock(progress_lock);
    on_step_done(++done);
  };
  const ScanArc arc = scan_arc(scan.angles_deg);
  const RedundancyPlan plan = plan_redundancy(scan, arc, options.parker_smoothing, options.redundancy_weights);
  const FilteredLayout layout = filtered_layout(scan, plan);
  std::vector<float> filtered(
      static_cast<std::size_t>(layout.view_samples() * static_cast<std::int64_t>(scan.angles_deg.size())));
  filter_views(scan, arc, plan, layout, stack, filtered.data(), options, step);
  backproject(scan, layout, filtered.data(), volume, options.threads,
              options.kernel ? *options.kernel : kernels::process_kernel(), step);
}

}  // namespace quant
