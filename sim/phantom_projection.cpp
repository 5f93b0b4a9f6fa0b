#include "sim/phantom_projection.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/inside_span.h"
#include "core/parallel.h"
#include "core/failure.h"
#include "operators/projector.h"

namespace toolkit {
namespace {

// The interval of t where lo <= o + t e <= hi on one axis; false if empty.
bool slab(double o, double e, double h, double& t0, double& t1) {
  if (e == 0.0) return std::fabs(o) <= h;
  double a = (-h - o) / e, b = (h - o) / e;
  if (a > b) std::swap(a, b);
  t0 = std::max(t0, a);
  t1 = std::min(t1, b);
  return t0 < t1;
}

// The interval of t where the scaled quadratic sum of the first `axes`
// local coordinates is at most 1 (an ellipsoid, or an elliptic cylinder
// across its axis); false if empty.
bool quadric(const double o[3], const double e[3], const double h[3], int axes, double& t0, double& t1) {
  double a = 0.0, b = 0.0, c = -1.0;
  for (int j = 0; j < axes; ++j) {
    const double oj = o[j] / h[j], ej = e[j] / h[j];
    a += ej * ej;
    b += oj * ej;
    c += oj * oj;
  }
  if (a == 0.0) return c <= 0.0;  // parallel to the axis: inside throughout or never
  const double disc = b * b - a * c;
  if (!(disc > 0.0)) return false;
  // The root nearer zero from the other, so that neither loses digits.
  const double q = -(b + std::copysign(std::sqrt(disc), b));
  double r0 = q / a, r1 = c / q;
  if (r0 > r1) std::swap(r0, r1);
  t0 = std::max(t0, r0);
  t1 = std::min(t1, r1);
  return t0 < t1;
}

}  // namespace

double chord_length(const Shape& shape, const ShapeAxes& axes, const scan::Point3& s,
                    const scan::Point3& d, double t_lo, double t_hi) {
  const double offset[3] = {s.x - shape.centre.x, s.y - shape.centre.y, s.z - shape.centre.z};
  const double dir[3] = {d.x, d.y, d.z};
  double o[3], e[3];
  to_shape_frame(axes, offset, o);
  to_shape_frame(axes, dir, e);
  double t0 = t_lo, t1 = t_hi;
  bool hit = false;
  switch (shape.kind) {
    case ShapeKind::ellipsoid:
      hit = quadric(o, e, shape.size, 3, t0, t1);
      break;
    case ShapeKind::box:
      hit = slab(o[0], e[0], shape.size[0], t0, t1) && slab(o[1], e[1], shape.size[1], t0, t1) &&
            slab(o[2], e[2], shape.size[2], t0, t1);
      break;
    case ShapeKind::cylinder:
      hit = quadric(o, e, shape.size, 2, t0, t1) && slab(o[2], e[2], shape.size[2], t0, t1);
      break;
  }
  return hit && t1 > t0 ? t1 - t0 : 0.0;
}

double analytic_ray(const Phantom& phantom, const std::vector<ShapeAxes>& axes, double theta, int row,
                    int col) {
  const scan::Point3 source = scan::source_of_view(theta);
  const scan::Point3 d = tomproj::ray_direction(theta, row, col);
  const scan::CountSpan span = scan::inside_span(source, d, tomproj::kSamplesPerRay);
  if (span.empty()) return 0.0;
  // The projector credits the steps that end at the counts of the span, the
  // first of them starting one count before it.
  const double t_lo = std::max(span.first, 1) - 1.0;
  const double t_hi = span.last - 1.0;
  double sum = 0.0;
  for (std::size_t k = 0; k < phantom.shapes.size(); ++k) {
    const double length = chord_length(phantom.shapes[k], axes[k], source, d, t_lo, t_hi);
    if (length > 0.0) sum += phantom.shapes[k].value * length;
  }
  return sum;
}

void analytic_view(const Phantom& phantom, int view, float* view_samples) {
  std::vector<ShapeAxes> axes;
  for (const Shape& s : phantom.shapes) axes.push_back(axes_of(s));
  const double theta = scan::view_angle(view);
  for (int r = 0; r < scan::kRows; ++r)
    for (int c = 0; c < scan::kColumns; ++c) {
      view_samples[scan::stack_index(0, r, c)] = static_cast<float>(analytic_ray(phantom, axes, theta, r, c));
    }
}

std::vector<float> analytic_stack(const Phantom& phantom, int threads,
                                  const std::function<void(int)>& on_view_done) {
  std::vector<float> stack(scan::kStackSamples);
  tomio::parallel_for(scan::kViews, threads, [&](int view, int) {
    analytic_view(phantom, view, stack.data() + scan::stack_index(view, 0, 0));
    on_view_done(view);
  });
  return stack;
}

double analytic_half_line(const Phantom& phantom, const std::vector<ShapeAxes>& axes,
                          const scan::Point3& source, const scan::Point3& through) {
  const double e[3] = {through.x - source.x, through.y - source.y, through.z - source.z};
  const double length = std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
  const scan::Point3 d{e[0] / length, e[1] / length, e[2] / length};
  double sum = 0.0;
  for (std::size_t k = 0; k < phantom.shapes.size(); ++k) {
    const double chord =
        chord_length(phantom.shapes[k], axes[k], source, d, 0.0, std::numeric_limits<double>::infinity());
    if (chord > 0.0) sum += phantom.shapes[k].value * chord;
  }
  return sum;
}

std::vector<float> analytic_stack_along(const Phantom& phantom, const geom::ConeVectors& rays, int threads,
                                        const std::function<void(int)>& on_view_done) {
  if (rays.rows < 1 || rays.columns < 1 || rays.vectors.size() % 12 != 0 || rays.views() < 1)
    tomio::fail_usage("the rays need at least one view, row and column, and 12 numbers a view");
  if (rays.views() > std::numeric_limits<int>::max()) tomio::fail_usage("too many views");
  std::vector<ShapeAxes> axes;
  for (const Shape& s : phantom.shapes) axes.push_back(axes_of(s));
  std::vector<float> stack(static_cast<std::size_t>(rays.samples()));
  const double half_c = 0.5 * static_cast<double>(rays.columns - 1);
  const double half_r = 0.5 * static_cast<double>(rays.rows - 1);
  tomio::parallel_for(static_cast<int>(rays.views()), threads, [&](int view, int) {
    const double* g = rays.vectors.data() + static_cast<std::size_t>(view) * 12;
    const scan::Point3 source{g[0], g[1], g[2]};
    float* out = stack.data() + static_cast<std::int64_t>(view) * rays.rows * rays.columns;
    for (std::int64_t r = 0; r < rays.rows; ++r) {
      const double fr = static_cast<double>(r) - half_r;
      for (std::int64_t c = 0; c < rays.columns; ++c) {
        const double fc = static_cast<double>(c) - half_c;
        const scan::Point3 pixel{g[3] + fc * g[6] + fr * g[9], g[4] + fc * g[7] + fr * g[10],
                                 g[5] + fc * g[8] + fr * g[11]};
        out[r * rays.columns + c] = static_cast<float>(analytic_half_line(phantom, axes, source, pixel));
      }
    }
    if (on_view_done) on_view_done(view);
  });
  return stack;
}

}  // namespace toolkit
