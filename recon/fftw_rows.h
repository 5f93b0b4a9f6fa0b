// FFTW's real transforms of detector rows, planned so that results do not
// depend on timing: FFTW_ESTIMATE plans, made under one process-wide lock
// (FFTW's planner is not thread-safe), executed on buffers that all come
// from fftw_malloc (so they share the plans' alignment and the new-array
// execute calls run the very codelets that were planned).
#pragma once

#include <fftw3.h>

#include <cstddef>
#include <memory>
#include <mutex>

namespace quant {

std::mutex& fftw_planner_lock();

struct FftwFree {
  void operator()(void* p) const { fftw_free(p); }
};
template <class T>
using FftwBuffer = std::unique_ptr<T[], FftwFree>;

// count values from fftw_malloc; std::bad_alloc when there is no memory.
FftwBuffer<double> fftw_reals(std::size_t count);
FftwBuffer<fftw_complex> fftw_complexes(std::size_t count);

// The forward (real to half spectrum) and backward transforms of one
// length, planned on the given buffers; a run Failure if FFTW cannot plan.
class RowTransforms {
 public:
  RowTransforms(int length, double* real, fftw_complex* spectrum);
  RowTransforms(const RowTransforms&) = delete;
  RowTransforms& operator=(const RowTransforms&) = delete;
  ~RowTransforms();
  void forward(double* real, fftw_complex* spectrum) const;
  void backward(fftw_complex* spectrum, double* real) const;

 private:
  fftw_plan forward_ = nullptr;
  fftw_plan backward_ = nullptr;
};

}  // namespace quant
