// The one error model: failures travel as exceptions, out of worker threads
// too, and only run_main turns them into a message and an exit status.
#include "core/failure.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "core/output_file.h"
#include "core/parallel.h"
#include "tests/support/run_program.h"

namespace {

TEST(ParallelFor, PassesTheFirstWorkerFailureOnAndStartsNoMoreWork) {
  for (int threads : {1, 2, 4}) {
    std::atomic<int> started{0};
    try {
      tomio::parallel_for(1000, threads, [&](int item, int) {
        ++started;
        if (item == 3) tomio::fail_output("item 3 failed");
        usleep(200);
      });
      ADD_FAILURE() << "no exception at " << threads << " threads";
    } catch (const tomio::Failure& f) {
      EXPECT_EQ(f.kind(), tomio::FailureKind::output);
      EXPECT_EQ(f.detail(), "item 3 failed");
    }
    // Items already handed out finish; nothing new is started after the failure.
    EXPECT_LE(started.load(), 4 + 2 * threads) << threads << " threads";
  }
}

TEST(ParallelFor, PassesOtherExceptionsOnUnchanged) {
  EXPECT_THROW(tomio::parallel_for(10, 2, [](int, int) { throw std::bad_alloc(); }), std::bad_alloc);
}

#ifndef __SANITIZE_ADDRESS__
// 2. A thread that cannot be started (a process or memory limit) is a run
// failure with a message, not std::terminate. The address sanitizer maps
// far more than the limit set here, so this runs in the plain build only.
// Runs threads under an address-space limit just above what the process
// already uses, so that no thread stack fits.
int start_threads_without_room() {
  long pages = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
  rlimit limit;
  limit.rlim_cur = limit.rlim_max = now + (1u << 20);
  setrlimit(RLIMIT_AS, &limit);
  return tomio::run_main("tomtest", [] {
    tomio::parallel_for(8, 4, [](int, int) {});
    return 0;
  });
}

TEST(ParallelForDeathTest, AThreadThatCannotStartIsAFailureWithAMessage) {
  EXPECT_EXIT(std::exit(start_threads_without_room()), ::testing::ExitedWithCode(1),
              "tomtest: cannot start worker thread");
}
#endif

// run_main's statuses and messages, seen from a child process as a user sees them.
int run_in_child(const std::function<int()>& body, tomio::Console console, int failure_status = 1) {
  return tomio::run_main("tomtest", body, console, failure_status);
}

TEST(RunMainDeathTest, MapsEveryFailureToItsMessageAndStatus) {
  using tomio::Console;
  EXPECT_EXIT(std::exit(run_in_child([]() -> int { tomio::fail_input("x.img is short"); }, Console::dialogue)),
              ::testing::ExitedWithCode(1), "tomtest: x.img is short");
  EXPECT_EXIT(std::exit(run_in_child([]() -> int { tomio::fail_usage("bad option"); }, Console::tool)),
              ::testing::ExitedWithCode(2), "bad option\nTry 'tomtest --help'");
  EXPECT_EXIT(std::exit(run_in_child([]() -> int { throw std::bad_alloc(); }, Console::tool)),
              ::testing::ExitedWithCode(1), "not enough memory");
  EXPECT_EXIT(std::exit(run_in_child(
                  []() -> int { throw std::system_error(EAGAIN, std::generic_category(), "thread"); },
                  Console::tool)),
              ::testing::ExitedWithCode(1), "thread");
  EXPECT_EXIT(std::exit(run_in_child([]() -> int { throw 42; }, Console::tool, 2)),
              ::testing::ExitedWithCode(2), "internal error");
  EXPECT_EXIT(std::exit(run_in_child([] { return 3; }, Console::tool)), ::testing::ExitedWithCode(3), "");
}

TEST(RunMain, TheProgramsMessageGoesToTheConsoleAndTheDetailToStandardError) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const int status = tomio::run_main(
      "tomtest", []() -> int { tomio::fail_output("cannot write o.img"); }, tomio::Console::dialogue);
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(out, "error output data");
  EXPECT_EQ(err, "\ntomtest: cannot write o.img\n");
}

TEST(RunMain, AFailureInsideAWorkerRemovesTheTemporaryFiles) {
  const std::string dir = testrun::make_temp_dir();
  ::testing::internal::CaptureStderr();
  const int status = tomio::run_main("tomtest", [&] {
    tomio::OutputFile out(dir + "/o.img");
    tomio::parallel_for(8, 2, [](int item, int) {
      if (item == 5) tomio::fail_run("worker gave up");
    });
    out.commit();
    return 0;
  });
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("worker gave up"), std::string::npos);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(testrun::run(dir, "ls -A", "").out, "");
  testrun::remove_tree(dir);
}

}  // namespace
