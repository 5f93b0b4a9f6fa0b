#include "common/failure.h"

#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace tomio {
namespace {

std::string& name_storage() {
  static std::string name = "tomsim";
  return name;
}

// Temporaries live in slots whose strings are built before their flag is set
// and left alone until it is cleared, so the signal handler only reads a
// finished string and never allocates. A run has a handful at a time.
constexpr int kMaxTemporaries = 16;
std::array<std::string, kMaxTemporaries> g_temporaries;
volatile std::sig_atomic_t g_in_use[kMaxTemporaries];
std::mutex g_mutex;

extern "C" void on_signal(int sig) {
  for (int i = 0; i < kMaxTemporaries; ++i) {
    if (g_in_use[i]) unlink(g_temporaries[i].c_str());
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void install_handlers_once() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  std::signal(SIGHUP, on_signal);
}

[[noreturn]] void finish(const char* console_message, const std::string& detail) {
  if (console_message != nullptr) {
    std::fputs(console_message, stdout);
  }
  std::fflush(stdout);
  if (!detail.empty()) {
    std::fprintf(stderr, "%s%s: %s\n", console_message != nullptr ? "\n" : "",
                 program_name().c_str(), detail.c_str());
  }
  std::fflush(stderr);
  remove_temporaries();
  std::exit(1);
}

}  // namespace

void set_program_name(const std::string& name) { name_storage() = name; }
const std::string& program_name() { return name_storage(); }

void fail_input(const std::string& detail) { finish("error input data", detail); }
void fail_output(const std::string& detail) { finish("error output data", detail); }
void fail_run(const std::string& detail) { finish(nullptr, detail); }

void register_temporary(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  install_handlers_once();
  for (int i = 0; i < kMaxTemporaries; ++i) {
    if (!g_in_use[i]) {
      g_temporaries[i] = path;
      g_in_use[i] = 1;
      return;
    }
  }
  fail_output("too many output files open at once");
}

void unregister_temporary(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (int i = 0; i < kMaxTemporaries; ++i) {
    if (g_in_use[i] && path == g_temporaries[i]) {
      g_in_use[i] = 0;
      return;
    }
  }
}

void remove_temporaries() {
  for (int i = 0; i < kMaxTemporaries; ++i) {
    if (g_in_use[i]) {
      unlink(g_temporaries[i].c_str());
      g_in_use[i] = 0;
    }
  }
}

}  // namespace tomio
