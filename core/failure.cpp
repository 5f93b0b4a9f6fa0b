#include "core/failure.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <new>
#include <system_error>

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
std::atomic<int> g_in_use[kMaxTemporaries];
std::mutex g_mutex;

// Every signal whose default action ends the process and that can be caught.
// (SIGKILL cannot; what it leaves is removed by the next run that claims the
// same target, see output_file.cpp.)
constexpr int kEndingSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGPIPE, SIGQUIT,
                                  SIGUSR1, SIGUSR2, SIGALRM, SIGXFSZ, SIGXCPU,
                                  SIGVTALRM, SIGPROF};

extern "C" void on_ending_signal(int sig) {
  const int saved = errno;
  for (int i = 0; i < kMaxTemporaries; ++i) {
    if (g_in_use[i].load()) unlink(g_temporaries[i].c_str());
  }
  // Ended by the same signal, so that the parent sees what happened.
  std::signal(sig, SIG_DFL);
  std::raise(sig);
  errno = saved;
}

void install_handlers_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int sig : kEndingSignals) {
      struct sigaction old {};
      if (sigaction(sig, nullptr, &old) != 0) continue;
      // Only signals that would end the process are taken over: one the
      // parent chose to ignore (nohup) stays ignored, and one that a host
      // (the Python interpreter) handles stays its own.
      if ((old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL) continue;
      struct sigaction action {};
      action.sa_handler = on_ending_signal;
      sigemptyset(&action.sa_mask);
      for (int other : kEndingSignals) sigaddset(&action.sa_mask, other);
      sigaction(sig, &action, nullptr);
    }
  });
}

// A closed standard descriptor would be handed to the next file the run
// opens, and the console text would then be written into that file.
bool make_standard_descriptors_valid() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) return false;
  }
  return true;
}

void report(Console console, const char* console_message, const std::string& detail) {
  if (console == Console::dialogue && console_message != nullptr) {
    std::fputs(console_message, stdout);
  }
  std::fflush(stdout);
  const bool after_message = console == Console::dialogue && console_message != nullptr;
  std::fprintf(stderr, "%s%s: %s\n", after_message ? "\n" : "", program_name().c_str(),
               detail.c_str());
  std::fflush(stderr);
}

std::atomic<bool> g_text_on_standard_output{false};

}  // namespace

void set_text_on_standard_output(bool carries_text) { g_text_on_standard_output = carries_text; }
bool text_on_standard_output() { return g_text_on_standard_output; }

void set_program_name(const std::string& name) { name_storage() = name; }
const std::string& program_name() { return name_storage(); }

void fail_input(const std::string& detail) { throw Failure(FailureKind::input, detail); }
void fail_output(const std::string& detail) { throw Failure(FailureKind::output, detail); }
void fail_usage(const std::string& detail) { throw Failure(FailureKind::usage, detail); }
void fail_run(const std::string& detail) { throw Failure(FailureKind::run, detail); }

int run_main(const char* program_name, const std::function<int()>& body, Console console,
             int failure_status) {
  if (!make_standard_descriptors_valid()) return failure_status;
  set_program_name(program_name);
  set_text_on_standard_output(console == Console::dialogue);
  install_handlers_once();
  int status = failure_status;
  try {
    status = body();
  } catch (const Failure& f) {
    switch (f.kind()) {
      case FailureKind::input:
        report(console, "error input data", f.detail());
        break;
      case FailureKind::output:
        report(console, "error output data", f.detail());
        break;
      case FailureKind::usage:
        report(console, nullptr,
               f.detail() + "\nTry '" + program_name + " --help' for more information.");
        status = 2;
        break;
      case FailureKind::run:
        report(console, nullptr, f.detail());
        break;
    }
  } catch (const std::bad_alloc&) {
    report(console, nullptr, "not enough memory for the run");
  } catch (const std::system_error& e) {
    report(console, nullptr, std::string("cannot go on: ") + e.what());
  } catch (const std::exception& e) {
    report(console, nullptr, std::string("internal error: ") + e.what());
  } catch (...) {
    report(console, nullptr, "internal error of an unknown kind");
  }
  remove_temporaries();
  return status;
}

void register_temporary(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  install_handlers_once();
  for (int i = 0; i < kMaxTemporaries; ++i) {
    if (!g_in_use[i].load()) {
      g_temporaries[i] = path;
      g_in_use[i].store(1);
      return;
    }
  }
  fail_output("too many output files open at once");
}

void unregister_temporary(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (int i = 0; i < kMaxTemporaries; ++i) {
    if (g_in_use[i].load() && path == g_temporaries[i]) {
      g_in_use[i].store(0);
      return;
    }
  }
}

void remove_temporaries() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (int i = 0; i < kMaxTemporaries; ++i) {
    if (g_in_use[i].load()) {
      unlink(g_temporaries[i].c_str());
      g_in_use[i].store(0);
    }
  }
}

}  // namespace tomio
