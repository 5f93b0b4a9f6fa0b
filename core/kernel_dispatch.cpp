#include "core/kernel_dispatch.h"

#include <cstdlib>

#include "core/failure.h"

namespace kernels {

const std::vector<Kernel>& all_kernels() {
  static const std::vector<Kernel> all = {Kernel::scalar, Kernel::portable, Kernel::avx2,
                                          Kernel::avx512};
  return all;
}

const char* kernel_name(Kernel kernel) {
  switch (kernel) {
    case Kernel::scalar:
      return "scalar";
    case Kernel::portable:
      return "portable";
    case Kernel::avx2:
      return "avx2";
    case Kernel::avx512:
      return "avx512";
  }
  return "unknown";
}

bool kernel_runs_here(Kernel kernel) {
  switch (kernel) {
    case Kernel::scalar:
    case Kernel::portable:
      return true;
    case Kernel::avx2:
#if defined(__x86_64__) || defined(__i386__)
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
      return false;
#endif
    case Kernel::avx512:
#if defined(__x86_64__) || defined(__i386__)
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512dq") && kernel_runs_here(Kernel::avx2);
#else
      return false;
#endif
  }
  return false;
}

Kernel choose_kernel(const std::string& requested) {
  if (requested.empty()) {
    const std::vector<Kernel>& all = all_kernels();
    for (auto k = all.rbegin(); k != all.rend(); ++k)
      if (kernel_runs_here(*k)) return *k;
    return Kernel::scalar;
  }
  for (Kernel k : all_kernels()) {
    if (requested != kernel_name(k)) continue;
    if (!kernel_runs_here(k))
      tomio::fail_run("TOMSIM_KERNEL=" + requested + ": this processor cannot run the " +
                      requested + " kernel");
    return k;
  }
  tomio::fail_run("TOMSIM_KERNEL=" + requested +
                  ": not a kernel (scalar, portable, avx2 or avx512)");
}

Kernel process_kernel() {
  static const Kernel chosen = [] {
    const char* requested = std::getenv("TOMSIM_KERNEL");
    return choose_kernel(requested ? requested : "");
  }();
  return chosen;
}

}  // namespace kernels
