// The one choice of kernel per process, and the environment variable that
// forces one.
#include "core/kernel_dispatch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

namespace {

using kernels::Kernel;

TEST(KernelDispatch, WidestKernelThatRunsHereUnlessOneIsNamed) {
  const Kernel widest = kernels::choose_kernel("");
  EXPECT_TRUE(kernels::kernel_runs_here(widest));
  for (Kernel k : kernels::all_kernels()) {
    if (k > widest) {
      EXPECT_FALSE(kernels::kernel_runs_here(k)) << kernels::kernel_name(k);
    }
    if (kernels::kernel_runs_here(k)) {
      EXPECT_EQ(kernels::choose_kernel(kernels::kernel_name(k)), k);
    }
  }
  EXPECT_TRUE(kernels::kernel_runs_here(Kernel::scalar));
  EXPECT_TRUE(kernels::kernel_runs_here(Kernel::portable));
  // The process's kernel is the one the environment names, else the widest.
  const char* env = std::getenv("TOMSIM_KERNEL");
  EXPECT_EQ(kernels::process_kernel(), kernels::choose_kernel(env ? env : ""));
}

// A failure stops the run with exit status 1 and says why, whether the
// failure model ends the process or throws to main.
void choose_or_exit(const std::string& name) {
  try {
    kernels::choose_kernel(name);
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    std::exit(1);
  }
  std::exit(0);
}

TEST(KernelDispatch, AKernelThatCannotRunOrDoesNotExistIsAClearError) {
  EXPECT_EXIT(choose_or_exit("avx3"), ::testing::ExitedWithCode(1), "not a kernel");
  EXPECT_EXIT(choose_or_exit("AVX2"), ::testing::ExitedWithCode(1), "not a kernel");
  for (Kernel k : kernels::all_kernels()) {
    if (kernels::kernel_runs_here(k)) continue;
    EXPECT_EXIT(choose_or_exit(kernels::kernel_name(k)), ::testing::ExitedWithCode(1),
                "cannot run");
  }
}

}  // namespace
