// The one place that picks the vector kernel of the ray code (the projector's
// batch tracer, the reconstructor's lane walk, the FFT's vector form). Every
// kernel gives the same bits; they differ only in speed. The choice is made
// once per process: the widest kernel the processor runs, unless the
// environment variable TOMSIM_KERNEL names one (for tests, benchmarks and
// users who need a particular one).
#pragma once

#include <string>
#include <vector>

namespace kernels {

enum class Kernel {
  scalar,    // one ray at a time, no vector code
  portable,  // the compiler's generic vectors: whatever the target has (SSE2, NEON, ...)
  avx2,      // x86 AVX2 and FMA
  avx512,    // x86 AVX-512 F, VL and DQ (with AVX2)
};

// All kernels, narrowest first.
const std::vector<Kernel>& all_kernels();

// The name TOMSIM_KERNEL takes for the kernel: "scalar", "portable", "avx2", "avx512".
const char* kernel_name(Kernel kernel);

// Whether this build and this processor can run the kernel.
bool kernel_runs_here(Kernel kernel);

// The kernel of this process, chosen on the first call: TOMSIM_KERNEL if set,
// else the widest one that runs here. A name that is not a kernel, or one the
// processor cannot run, stops the run with a message that says so.
Kernel process_kernel();

// The kernel that TOMSIM_KERNEL asks for, or the widest that runs here when
// `requested` is empty; what process_kernel() decides, for a given text.
Kernel choose_kernel(const std::string& requested);

}  // namespace kernels
