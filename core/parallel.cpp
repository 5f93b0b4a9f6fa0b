#include "core/parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/failure.h"

namespace tomio {

int available_threads() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? static_cast<int>(hw) : 1;
}

void parallel_for(int count, int threads, const std::function<void(int, int)>& work) {
  threads = std::max(1, std::min(threads, count));
  if (threads <= 1) {
    for (int i = 0; i < count; ++i) work(i, 0);
    return;
  }
  std::atomic<int> next{0};
  std::atomic<bool> stop{false};
  std::exception_ptr first_failure;
  std::mutex failure_mutex;
  auto keep_first = [&](std::exception_ptr failure) {
    std::lock_guard<std::mutex> lock(failure_mutex);
    if (!first_failure) first_failure = failure;
    stop.store(true);
  };
  auto worker = [&](int id) {
    try {
      while (!stop.load()) {
        const int i = next.fetch_add(1);
        if (i >= count) break;
        work(i, id);
      }
    } catch (...) {
      keep_first(std::current_exception());
    }
  };
  std::vector<std::thread> pool;
  try {
    pool.reserve(static_cast<std::size_t>(threads - 1));
    for (int t = 1; t < threads; ++t) pool.emplace_back(worker, t);
  } catch (const std::system_error& e) {
    // (A process or memory limit.) The threads already running are joined
    // before the failure goes on; a std::thread left unjoined would end the
    // process.
    try {
      fail_run("cannot start worker thread " + std::to_string(pool.size() + 1) + " of " +
               std::to_string(threads) + ": " + e.what());
    } catch (...) {
      keep_first(std::current_exception());
    }
  } catch (...) {
    keep_first(std::current_exception());
  }
  worker(0);
  for (auto& th : pool) th.join();
  if (first_failure) std::rethrow_exception(first_failure);
}

}  // namespace tomio
