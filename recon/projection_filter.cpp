#include "recon/projection_filter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "core/parallel.h"
#include "core/raw_image.h"
#include "recon/shifted_fft.h"

namespace tomrec {
namespace {

// The work planes of one thread: the real and imaginary parts of the view
// being filtered, and the batch storage of the transforms.
struct ViewPlanes {
  float* re = nullptr;
  float* im = nullptr;
  std::vector<float> own_re, own_im;
  fft::Workspace ws;
};

// One view: forward transform of the real view, weighting, inverse transform,
// real part back into the view. The weighting is folded into the last pass of
// the forward transform and the imaginary result of the inverse is dropped;
// every stored value is the one of the step-by-step filter.
void filter_view(float* view, const float* radial_weight, const fft::FftPlan& row,
                 const fft::FftPlan& column, int W, int H, ViewPlanes& planes) {
  fft::row_pass(row, view, nullptr, planes.re, planes.im, W, H, +1, planes.ws);
  fft::column_pass(column, planes.re, planes.im, planes.re, planes.im, radial_weight, W, H, +1,
                   planes.ws);
  fft::row_pass(row, planes.re, planes.im, planes.re, planes.im, W, H, -1, planes.ws);
  fft::column_pass(column, planes.re, planes.im, view, nullptr, nullptr, W, H, -1, planes.ws);
}

// Filters all views; worker 0 uses the given planes where there are any.
void filter_all_views(float* proj, const float* radial_weight, int NX, int NY, int NZ, int threads,
                      float* plane_re, float* plane_im,
                      const std::function<void(int)>& on_view_done) {
  const int W = 2 * NX;
  const int H = 2 * NY;
  const int views = 2 * NZ;
  const std::size_t view_samples = static_cast<std::size_t>(4) * NX * NY;
  const fft::FftPlan& row = fft::plan_for(W);
  const fft::FftPlan& column = fft::plan_for(H);
  threads = std::max(1, std::min(threads, views));

  std::vector<ViewPlanes> planes(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; ++t) {
    ViewPlanes& p = planes[static_cast<std::size_t>(t)];
    if (t == 0 && plane_re != nullptr && plane_im != nullptr) {
      p.re = plane_re;
      p.im = plane_im;
    } else {
      p.own_re.resize(view_samples);
      p.own_im.resize(view_samples);
      p.re = p.own_re.data();
      p.im = p.own_im.data();
    }
    // Everything is allocated here, on the calling thread, none in the workers.
    fft::reserve(p.ws, std::max(W, H));
  }

  tomio::parallel_for(views, threads, [&](int v, int worker) {
    filter_view(proj + view_samples * static_cast<std::size_t>(v), radial_weight, row, column, W, H,
                planes[static_cast<std::size_t>(worker)]);
    if (on_view_done) on_view_done(v);
  });
}

}  // namespace

void build_radial_weight(float* radial_weight, int NX, int NY) {
  for (int i = 0; i < 2 * NY; ++i) {
    const int dy = NY - i;
    for (int j = 0; j < 2 * NX; ++j) {
      const int dx = j - NX;
      const double rho = std::sqrt(static_cast<double>(dx) * dx + static_cast<double>(dy) * dy);
      const std::size_t p = static_cast<std::size_t>(i) * 2 * NX + j;
      radial_weight[p] = rho < NX ? static_cast<float>(static_cast<float>(rho) * 10.0 + 1.0) : 0.0f;
    }
  }
}

void filter_views(float* proj, const float* radial_weight, int NX, int NY, int NZ, int threads,
                  const std::function<void(int)>& on_view_done) {
  filter_all_views(proj, radial_weight, NX, NY, NZ, threads, nullptr, nullptr, on_view_done);
}

void filter_projections(float* proj, float* plane_re, float* plane_im, float* radial_weight, int NX,
                        int NY, int NZ, int threads, tomio::OutputFile&& filtered_file,
                        const std::function<void(int)>& on_view_done) {
  build_radial_weight(radial_weight, NX, NY);
  filter_all_views(proj, radial_weight, NX, NY, NZ, threads, plane_re, plane_im, on_view_done);
  tomio::save_float_image(std::move(filtered_file), proj,
                          static_cast<std::size_t>(8) * NX * NY * NZ);
}

}  // namespace tomrec
