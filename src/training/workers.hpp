// A persistent pool of worker threads, one per CPU the process may run on
// (its affinity when first used) unless a limit is set, started on first
// use. The calling thread works too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tessavo {

// Runs work(begin, end) over consecutive chunks of [0, count) on the pool
// and the calling thread, and returns when every chunk is done. The first
// exception thrown by a chunk is rethrown here after all have stopped.
// Runs everything on the calling thread when the pool is busy with another
// caller's job or no thread could be started.
void parallel_chunks(std::size_t count, std::size_t chunk,
                     const std::function<void(std::size_t, std::size_t)>& work);

// CPU seconds the calling threads have spent in parallel_chunks, the work
// that the pool shares out, since the first call (which starts counting).
// With one thread, the rest of a run's CPU time is its serial part.
double pool_cpu_seconds();

// Threads that take part in a job, the caller included; starts the pool.
int32_t worker_threads();
// The same without starting the pool.
int32_t threads_in_use();

// This many threads (the caller included) take part, more than the CPUs if
// asked; 0 goes back to one per CPU. The pool grows at its next job and
// never shrinks: surplus threads sleep.
void set_worker_limit(int32_t limit);

}  // namespace tessavo
