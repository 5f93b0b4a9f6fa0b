#include "eval/comparison.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/geometry.h"
#include "core/scan_geometry.h"
#include "sim/phantom_shapes.h"

namespace toolkit {
namespace {

std::uint32_t bits_of(float x) {
  std::uint32_t u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}

template <class Visit>
void for_each_position(const Region& region, std::size_t size, const Visit& visit) {
  if (region.all) {
    for (std::size_t i = 0; i < size; ++i) visit(i);
  } else {
    for (std::size_t i : region.positions) visit(i);
  }
}

double psnr_of(double peak, double rmse) {
  if (rmse == 0.0) return std::numeric_limits<double>::infinity();
  if (!(peak > 0.0)) return 0.0;
  return 20.0 * std::log10(peak / rmse);
}

}  // namespace

void mark_undefined(RegionFigures& f) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  f.max_abs_difference = f.first_at_max = f.second_at_max = nan;
  f.rmse = f.psnr = f.pearson_r = f.mae = f.nrmse = nan;
  f.fit_scale = f.fit_offset = f.fit_rmse = f.fit_psnr = f.fit_max_abs_difference = nan;
}

RegionFigures compare_region(const std::vector<float>& first, const std::vector<float>& second,
                             const Region& region) {
  RegionFigures f;
  f.name = region.name;
  const std::size_t size = first.size() < second.size() ? first.size() : second.size();

  // Pass 1: exact differences, extremes and means of the finite pairs.
  double sum_a = 0.0, sum_b = 0.0;
  double min_a = 0.0, max_a = 0.0;
  for_each_position(region, size, [&](std::size_t i) {
    const float a = first[i], b = second[i];
    ++f.samples;
    if (bits_of(a) != bits_of(b)) ++f.bitwise_different;
    if (!std::isfinite(a) || !std::isfinite(b)) {
      ++f.non_finite;
      return;
    }
    const double d = std::fabs(static_cast<double>(b) - a);
    if (f.finite == 0 || d > f.max_abs_difference) {
      f.max_abs_difference = d;
      f.max_at = i;
      f.first_at_max = a;
      f.second_at_max = b;
    }
    if (f.finite == 0 || a < min_a) min_a = a;
    if (f.finite == 0 || a > max_a) max_a = a;
    ++f.finite;
    sum_a += a;
    sum_b += b;
  });
  if (f.finite == 0) {
    mark_undefined(f);
    return f;
  }
  const double n = static_cast<double>(f.finite);
  const double mean_a = sum_a / n, mean_b = sum_b / n;

  // Pass 2: centred second moments (stable where the means are large).
  double sq_diff = 0.0, var_a = 0.0, var_b = 0.0, cov = 0.0;
  double abs_diff = 0.0, sq_a = 0.0;
  for_each_position(region, size, [&](std::size_t i) {
    const float a = first[i], b = second[i];
    if (!std::isfinite(a) || !std::isfinite(b)) return;
    const double d = static_cast<double>(b) - a;
    const double da = a - mean_a, db = b - mean_b;
    sq_diff += d * d;
    abs_diff += std::fabs(d);
    sq_a += static_cast<double>(a) * a;
    var_a += da * da;
    var_b += db * db;
    cov += da * db;
  });
  const double peak = max_a - min_a;
  f.rmse = std::sqrt(sq_diff / n);
  f.psnr = psnr_of(peak, f.rmse);
  f.mae = abs_diff / n;
  f.nrmse = f.rmse / std::sqrt(sq_a / n);
  // A constant input has no correlation with anything: undefined, not 0.
  f.pearson_r = (var_a > 0.0 && var_b > 0.0) ? cov / std::sqrt(var_a * var_b)
                                              : std::numeric_limits<double>::quiet_NaN();

  // Least squares of first against second; a constant second fits by its mean.
  f.fit_scale = var_b > 0.0 ? cov / var_b : 0.0;
  f.fit_offset = mean_a - f.fit_scale * mean_b;
  const double residual = var_b > 0.0 ? var_a - cov * cov / var_b : var_a;
  f.fit_rmse = std::sqrt((residual > 0.0 ? residual : 0.0) / n);
  f.fit_psnr = psnr_of(peak, f.fit_rmse);

  // Pass 3: where the fitted second is farthest from the first.
  bool first_pair = true;
  for_each_position(region, size, [&](std::size_t i) {
    const float a = first[i], b = second[i];
    if (!std::isfinite(a) || !std::isfinite(b)) return;
    const double d = std::fabs(f.fit_scale * b + f.fit_offset - a);
    if (first_pair || d > f.fit_max_abs_difference) {
      f.fit_max_abs_difference = d;
      f.fit_max_at = i;
      first_pair = false;
    }
  });
  return f;
}

std::vector<Region> volume_regions() { return volume_regions(geom::defined_geometry().grid); }

std::vector<Region> volume_regions(const geom::VolumeGrid& g) {
  std::vector<Region> regions(3);
  regions[0].name = "whole";
  regions[0].all = true;
  regions[1].name = "central";
  for (std::int64_t iz = g.nz / 4; iz < g.nz - g.nz / 4; ++iz)
    for (std::int64_t iy = g.ny / 4; iy < g.ny - g.ny / 4; ++iy)
      for (std::int64_t ix = g.nx / 4; ix < g.nx - g.nx / 4; ++ix)
        regions[1].positions.push_back(static_cast<std::size_t>((iz * g.ny + iy) * g.nx + ix));
  regions[2].name = "axial_slice";
  const std::int64_t iz = g.nz / 2;
  for (std::int64_t iy = 0; iy < g.ny; ++iy)
    for (std::int64_t ix = 0; ix < g.nx; ++ix)
      regions[2].positions.push_back(static_cast<std::size_t>((iz * g.ny + iy) * g.nx + ix));
  return regions;
}

std::vector<Region> stack_regions() { return stack_regions(scan::kViews, scan::kRows, scan::kColumns); }

std::vector<Region> stack_regions(std::int64_t views, std::int64_t rows, std::int64_t columns) {
  std::vector<Region> regions(2);
  regions[0].name = "whole";
  regions[0].all = true;
  regions[1].name = "central";
  for (std::int64_t v = 0; v < views; ++v)
    for (std::int64_t r = rows / 4; r < rows - rows / 4; ++r)
      for (std::int64_t c = columns / 4; c < columns - columns / 4; ++c)
        regions[1].positions.push_back(static_cast<std::size_t>((v * rows + r) * columns + c));
  return regions;
}

namespace {

// The voxels of the grid whose centres (x, y, z, mm) hold, in file order.
template <class Holds>
Region volume_region(const std::string& name, const geom::VolumeGrid& g, const Holds& holds) {
  Region r;
  r.name = name;
  for (std::int64_t iz = 0; iz < g.nz; ++iz) {
    const double z = g.origin_z - (static_cast<double>(iz) - 0.5 * static_cast<double>(g.nz - 1)) * g.dz;
    for (std::int64_t iy = 0; iy < g.ny; ++iy) {
      const double y = g.origin_y - (static_cast<double>(iy) - 0.5 * static_cast<double>(g.ny - 1)) * g.dy;
      for (std::int64_t ix = 0; ix < g.nx; ++ix) {
        const double x = g.origin_x + (static_cast<double>(ix) - 0.5 * static_cast<double>(g.nx - 1)) * g.dx;
        if (holds(x, y, z)) r.positions.push_back(static_cast<std::size_t>((iz * g.ny + iy) * g.nx + ix));
      }
    }
  }
  return r;
}

}  // namespace

Region traced_cylinder_region() { return cylinder_region(geom::defined_geometry().grid, 61.0, 61.0); }

Region cylinder_region(const geom::VolumeGrid& grid, double radius, double half_height) {
  return volume_region("cylinder", grid, [&](double x, double y, double z) {
    return x * x + y * y <= radius * radius && std::fabs(z) <= half_height;
  });
}

Region box_region(const BoxCorners& box) { return box_region(box, geom::defined_geometry().grid); }

Region box_region(const BoxCorners& box, const geom::VolumeGrid& grid) {
  return volume_region("box", grid, [&](double x, double y, double z) {
    const double c[3] = {x, y, z};
    for (int k = 0; k < 3; ++k) {
      if (!(box.lo[k] <= c[k] && c[k] <= box.hi[k])) return false;
    }
    return true;
  });
}

Region mask_region(const std::vector<float>& mask) {
  Region r;
  r.name = "mask";
  for (std::size_t i = 0; i < mask.size(); ++i)
    if (mask[i] != 0.0f) r.positions.push_back(i);
  return r;
}

std::vector<NamedFigure> named_figures(const RegionFigures& f, bool stack) {
  const bool placed = !std::isnan(f.max_abs_difference);
  const bool fit_placed = !std::isnan(f.fit_max_abs_difference);
  auto count = [](const char* name, std::size_t n) { return NamedFigure{name, FigureKind::count, 0.0, n, true}; };
  auto number = [](const char* name, double x) { return NamedFigure{name, FigureKind::number, x, 0, true}; };
  return {
      count("samples", f.samples),
      count("bitwise_different", f.bitwise_different),
      count("non_finite", f.non_finite),
      number("max_abs_difference", f.max_abs_difference),
      NamedFigure{"max_at_position", FigureKind::position, 0.0, f.max_at, placed},
      NamedFigure{stack ? "max_at_view_row_column" : "max_at_voxel", FigureKind::place, 0.0, f.max_at, placed},
      number("first_at_max", f.first_at_max),
      number("second_at_max", f.second_at_max),
      number("rmse", f.rmse),
      number("psnr_db", f.psnr),
      number("pearson_r", f.pearson_r),
      number("mae", f.mae),
      number("nrmse", f.nrmse),
      number("fit_scale", f.fit_scale),
      number("fit_offset", f.fit_offset),
      number("fit_rmse", f.fit_rmse),
      number("fit_psnr_db", f.fit_psnr),
      number("fit_max_abs_difference", f.fit_max_abs_difference),
      NamedFigure{stack ? "fit_max_at_view_row_column" : "fit_max_at_voxel", FigureKind::place, 0.0, f.fit_max_at,
                  fit_placed},
  };
}

}  // namespace toolkit
