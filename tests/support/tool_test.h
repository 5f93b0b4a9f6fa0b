// A test that runs the study tools in a fresh working directory of its own.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/raw_image.h"
#include "tests/support/run_program.h"

namespace testrun {

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { remove_tree(dir_); }
  // Runs build/bin/NAME with the arguments in the working directory.
  Result tool(const std::string& name, const std::string& args) {
    return run(dir_, std::string(TOM_BINARY_DIR) + "/bin/" + name + " " + args, "");
  }
  std::vector<float> load(const std::string& name, std::size_t n) {
    std::vector<float> v(n);
    tomio::load_float_image(dir_ + "/" + name, v.data(), n);
    return v;
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

}  // namespace testrun
