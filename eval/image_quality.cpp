#include "eval/image_quality.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "core/scan_geometry.h"
#include "sim/phantom_shapes.h"
#include "core/failure.h"
#include "core/portable_math.h"

namespace toolkit {
namespace {

using scan::NX;
using scan::NY;
using scan::NZ;

constexpr double kSigma = 1.5;
constexpr int kRadius = 5;  // int(3.5 sigma + 0.5): the window is 11 wide
constexpr double kK1 = 0.01, kK2 = 0.03;

std::vector<double> gaussian_weights() {
  std::vector<double> w(2 * kRadius + 1);
  double sum = 0.0;
  for (int k = -kRadius; k <= kRadius; ++k) {
    w[k + kRadius] = portable::exp(-0.5 / (kSigma * kSigma) * k * k);
    sum += w[k + kRadius];
  }
  for (double& x : w) x /= sum;
  return w;
}

// The sample index i mirrored into [0, n): d c b a | a b c d.
int mirrored(int i, int n) {
  if (i < 0) return -i - 1;
  if (i >= n) return 2 * n - i - 1;
  return i;
}

// Filters a field of nx x ny x depth samples (x fastest) along x, y and,
// when `along_z`, z.
void gaussian_filter(std::vector<double>& field, std::int64_t nx, std::int64_t ny, std::int64_t depth,
                     bool along_z) {
  static const std::vector<double> w = gaussian_weights();
  const std::int64_t size[3] = {nx, ny, depth};
  const std::size_t stride[3] = {1, static_cast<std::size_t>(nx), static_cast<std::size_t>(nx * ny)};
  std::vector<double> line(static_cast<std::size_t>(std::max({nx, ny, depth})));
  for (int axis = 0; axis < (along_z ? 3 : 2); ++axis) {
    const int n = static_cast<int>(size[axis]);
    const std::size_t step = stride[axis];
    for (std::size_t start = 0; start < field.size(); ++start) {
      // Each line once: from the samples whose coordinate on this axis is 0.
      if ((start / step) % static_cast<std::size_t>(n) != 0) continue;
      for (int i = 0; i < n; ++i) line[i] = field[start + i * step];
      for (int i = 0; i < n; ++i) {
        double sum = 0.0;
        for (int k = -kRadius; k <= kRadius; ++k) sum += w[k + kRadius] * line[mirrored(i + k, n)];
        field[start + i * step] = sum;
      }
    }
  }
}

// The mean SSIM of a block of `depth` slices, over the samples at least
// kRadius from its faces (only along x and y when not `along_z`).
double mean_ssim(const float* a, const float* b, std::int64_t nx, std::int64_t ny, std::int64_t depth, bool along_z,
                 double data_range) {
  const std::size_t n = static_cast<std::size_t>(nx * ny * depth);
  std::vector<double> ux(n), uy(n), uxx(n), uyy(n), uxy(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double x = a[i], y = b[i];
    ux[i] = x;
    uy[i] = y;
    uxx[i] = x * x;
    uyy[i] = y * y;
    uxy[i] = x * y;
  }
  for (std::vector<double>* f : {&ux, &uy, &uxx, &uyy, &uxy}) gaussian_filter(*f, nx, ny, depth, along_z);
  const double c1 = (kK1 * data_range) * (kK1 * data_range);
  const double c2 = (kK2 * data_range) * (kK2 * data_range);
  const std::int64_t z_lo = along_z ? kRadius : 0, z_hi = along_z ? depth - kRadius : depth;
  double sum = 0.0;
  std::size_t count = 0;
  for (std::int64_t z = z_lo; z < z_hi; ++z)
    for (std::int64_t y = kRadius; y < ny - kRadius; ++y)
      for (std::int64_t x = kRadius; x < nx - kRadius; ++x) {
        const std::size_t i = static_cast<std::size_t>(x + nx * (y + ny * z));
        const double vx = uxx[i] - ux[i] * ux[i];
        const double vy = uyy[i] - uy[i] * uy[i];
        const double vxy = uxy[i] - ux[i] * uy[i];
        const double a1 = 2.0 * ux[i] * uy[i] + c1, a2 = 2.0 * vxy + c2;
        const double b1 = ux[i] * ux[i] + uy[i] * uy[i] + c1, b2 = vx + vy + c2;
        sum += (a1 * a2) / (b1 * b2);
        ++count;
      }
  return sum / static_cast<double>(count);
}

Shape resized(Shape s, double factor) {
  for (double& x : s.size) x *= factor;
  return s;
}

}  // namespace

SsimFigures structural_similarity(const std::vector<float>& first, const std::vector<float>& second) {
  return structural_similarity(first, second, NZ, NY, NX);
}

bool ssim_window_fits(std::int64_t nz, std::int64_t ny, std::int64_t nx) {
  // The 11-tap window must fit along every axis, as scikit-image demands.
  return nz >= 2 * kRadius + 1 && ny >= 2 * kRadius + 1 && nx >= 2 * kRadius + 1;
}

SsimFigures structural_similarity(const std::vector<float>& first, const std::vector<float>& second, std::int64_t nz,
                                  std::int64_t ny, std::int64_t nx) {
  if (!ssim_window_fits(nz, ny, nx))
    tomio::fail_usage("SSIM needs at least " + std::to_string(2 * kRadius + 1) + " voxels along each axis");
  if (first.size() != static_cast<std::size_t>(nz * ny * nx) || second.size() != first.size())
    tomio::fail_usage("SSIM needs two Volumes of " + std::to_string(nz) + " x " + std::to_string(ny) + " x " +
                      std::to_string(nx) + " voxels");
  SsimFigures f;
  bool seen = false;
  double lo = 0.0, hi = 0.0;
  for (float x : first) {
    if (!std::isfinite(x)) continue;
    if (!seen || x < lo) lo = x;
    if (!seen || x > hi) hi = x;
    seen = true;
  }
  f.data_range = hi - lo;
  f.ssim = mean_ssim(first.data(), second.data(), nx, ny, nz, true, f.data_range);
  const std::size_t slice = static_cast<std::size_t>(nx * ny);
  for (std::int64_t iz = 0; iz < nz; ++iz) {
    f.axial.push_back(
        mean_ssim(first.data() + iz * slice, second.data() + iz * slice, nx, ny, 1, false, f.data_range));
  }
  return f;
}

std::vector<InsertContrast> insert_contrasts(const Phantom& phantom, const std::vector<float>& volume) {
  std::size_t background = 0;
  for (std::size_t k = 0; k < phantom.shapes.size(); ++k) {
    if (phantom.shapes[k].name == "background") background = k;
  }
  auto is_insert = [&](std::size_t k) { return k != background && !phantom.shapes[k].name.empty(); };
  std::vector<ShapeAxes> axes;
  for (const Shape& s : phantom.shapes) axes.push_back(axes_of(s));
  const Shape field = resized(phantom.shapes.at(background), 0.9);

  // Positions of the voxels whose centre passes the test.
  auto voxels_where = [&](auto holds) {
    std::vector<std::size_t> positions;
    for (int iz = 0; iz < NZ; ++iz)
      for (int iy = 0; iy < NY; ++iy)
        for (int ix = 0; ix < NX; ++ix) {
          if (holds(voxel_centre(ix, iy, iz))) positions.push_back(scan::volume_index(ix, iy, iz));
        }
    return positions;
  };
  auto mean_of = [&](const std::vector<std::size_t>& positions) {
    double sum = 0.0;
    for (std::size_t i : positions) sum += volume[i];
    return positions.empty() ? 0.0 : sum / static_cast<double>(positions.size());
  };

  std::vector<InsertContrast> result;
  for (std::size_t k = 0; k < phantom.shapes.size(); ++k) {
    if (!is_insert(k)) continue;
    const Shape& insert = phantom.shapes[k];
    const Shape core = resized(insert, 0.7), inner = resized(insert, 1.5), outer = resized(insert, 2.5);
    double extent[3];
    shape_extent(core, axes[k], extent);
    const std::vector<std::size_t> core_voxels =
        voxels_where([&](const scan::Point3& p) { return shape_contains(core, axes[k], p); });
    const std::vector<std::size_t> ring = voxels_where([&](const scan::Point3& p) {
      if (std::fabs(p.z - insert.centre.z) > extent[2]) return false;
      if (!shape_contains(outer, axes[k], p) || shape_contains(inner, axes[k], p)) return false;
      if (!shape_contains(field, axes[background], p)) return false;
      for (std::size_t j = 0; j < phantom.shapes.size(); ++j) {
        if (j != k && is_insert(j) && shape_contains(resized(phantom.shapes[j], 1.5), axes[j], p)) return false;
      }
      return true;
    });
    InsertContrast c;
    c.name = insert.name;
    c.insert_voxels = core_voxels.size();
    c.background_voxels = ring.size();
    c.insert_mean = mean_of(core_voxels);
    c.background_mean = mean_of(ring);
    double sum2 = 0.0;
    for (std::size_t i : ring) sum2 += (volume[i] - c.background_mean) * (volume[i] - c.background_mean);
    c.background_sd = ring.empty() ? 0.0 : std::sqrt(sum2 / static_cast<double>(ring.size()));
    c.cnr = (c.insert_mean - c.background_mean) / c.background_sd;
    result.push_back(c);
  }
  return result;
}

}  // namespace toolkit
