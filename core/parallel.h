// Work shared among threads of the standard library.
#pragma once

#include <functional>

namespace tomio {

// Processors this process may run on: its affinity mask, so that taskset or
// a batch scheduler limits it; at least 1.
int available_threads();

// Calls work(item, worker) for every item in [0, count), handing items out in
// ascending order to `threads` workers (worker = 0 ... threads-1). Returns
// when all are done. With one thread, runs on the calling thread.
// The first exception thrown by any call (or a thread that cannot be
// started, as a run Failure) is passed on to the caller once every worker
// has stopped; no item is started after it.
void parallel_for(int count, int threads, const std::function<void(int item, int worker)>& work);

}  // namespace tomio
