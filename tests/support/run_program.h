// Runs a program of the build as a user would: text on standard input, the
// console and the exit status captured, inside a working directory.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testrun {

struct Result {
  int status = -1;  // exit status, or -1 if the program did not exit normally
  std::string out;
  std::string err;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

inline long long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// A fresh empty directory under the system's temporary directory.
inline std::string make_temp_dir() {
  std::string pattern = "/tmp/tomtest-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) std::abort();
  return std::string(buf.data());
}

inline void remove_tree(const std::string& dir) {
  const std::string cmd = "rm -rf '" + dir + "'";
  if (std::system(cmd.c_str()) != 0) std::perror("rm");
}

// Runs `command` through the shell in `dir` with `input` on standard input.
inline Result run(const std::string& dir, const std::string& command, const std::string& input) {
  // The console is captured outside the working directory, which the
  // tests list.
  const std::string capture = make_temp_dir();
  const std::string in = capture + "/stdin", out = capture + "/stdout", err = capture + "/stderr";
  {
    std::ofstream f(in, std::ios::binary);
    f << input;
  }
  const std::string full = "cd '" + dir + "' && " + command + " < '" + in + "' > '" + out +
                           "' 2> '" + err + "'";
  const int raw = std::system(full.c_str());
  Result r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = read_file(out);
  r.err = read_file(err);
  remove_tree(capture);
  return r;
}

}  // namespace testrun
