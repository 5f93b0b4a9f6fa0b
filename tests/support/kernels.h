// The kernels a comparison test runs: every one this processor can run. The
// others are named on the console, so that a run on a narrower processor
// says what it left unchecked.
#pragma once

#include <gtest/gtest.h>

#include <iostream>
#include <vector>

#include "core/kernel_dispatch.h"

namespace testdata {

inline std::vector<kernels::Kernel> runnable_kernels() {
  std::vector<kernels::Kernel> runnable;
  for (kernels::Kernel k : kernels::all_kernels()) {
    if (kernels::kernel_runs_here(k)) {
      runnable.push_back(k);
    } else {
      std::cout << "[   NOTE   ] kernel " << kernels::kernel_name(k)
                << " not run: this processor cannot run it" << std::endl;
      ::testing::Test::RecordProperty(std::string("kernel_not_run_") + kernels::kernel_name(k), "1");
    }
  }
  return runnable;
}

}  // namespace testdata
