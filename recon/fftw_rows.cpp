#include "recon/fftw_rows.h"

#include <new>

#include "core/failure.h"

namespace quant {

std::mutex& fftw_planner_lock() {
  static std::mutex lock;
  return lock;
}

namespace {
template <class T>
FftwBuffer<T> fftw_buffer(std::size_t count) {
  T* p = static_cast<T*>(fftw_malloc(sizeof(T) * count));
  if (p == nullptr) throw std::bad_alloc();
  return FftwBuffer<T>(p);
}
}  // namespace

FftwBuffer<double> fftw_reals(std::size_t count) { return fftw_buffer<double>(count); }
FftwBuffer<fftw_complex> fftw_complexes(std::size_t count) { return fftw_buffer<fftw_complex>(count); }

RowTransforms::RowTransforms(int length, double* real, fftw_complex* spectrum) {
  std::lock_guard<std::mutex> lock(fftw_planner_lock());
  forward_ = fftw_plan_dft_r2c_1d(length, real, spectrum, FFTW_ESTIMATE);
  backward_ = fftw_plan_dft_c2r_1d(length, spectrum, real, FFTW_ESTIMATE);
  if (!forward_ || !backward_) {
    if (forward_) fftw_destroy_plan(forward_);
    if (backward_) fftw_destroy_plan(backward_);
    tomio::fail_run("FFTW could not plan the row filter");
  }
}

RowTransforms::~RowTransforms() {
  std::lock_guard<std::mutex> lock(fftw_planner_lock());
  fftw_destroy_plan(forward_);
  fftw_destroy_plan(backward_);
}

void RowTransforms::forward(double* real, fftw_complex* spectrum) const {
  fftw_execute_dft_r2c(forward_, real, spectrum);
}

void RowTransforms::backward(fftw_complex* spectrum, double* real) const {
  fftw_execute_dft_c2r(backward_, spectrum, real);
}

}  // namespace quant
