#include "common/parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

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
  auto worker = [&](int id) {
    for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1)) work(i, id);
  };
  std::vector<std::thread> pool;
  pool.reserve(static_cast<std::size_t>(threads - 1));
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker, t);
  worker(0);
  for (auto& th : pool) th.join();
}

}  // namespace tomio
