#include "tensor/core/parallel.h"

#include "limbs/core/chunks.h"

#include <ATen/Parallel.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zel {

namespace {

thread_local bool in_chunk = false;
std::atomic<int> latest_width{1};

// One parallel call. Each of the T participants (the caller and T - 1
// workers) takes the next chunk not yet taken until none is left: a thread
// that starts late or runs slowly takes fewer. The chunks are fixed by n
// and the thread count alone, and nothing a chunk computes depends on who
// runs it, so the bytes never depend on timing.
struct Job {
  ChunkFn fn;
  int64_t n = 0;
  int64_t chunks = 0;
  int64_t participants = 1;
  std::atomic<int64_t> next_chunk{0};
  std::atomic<int64_t> finished_participants{0};
  std::mutex mutex;
  std::condition_variable finished;
  std::exception_ptr error;

  int64_t chunk_begin(int64_t c) const { return n * c / chunks; }

  void run_share() {
    const bool outer = in_chunk;
    in_chunk = true;
    for (int64_t c = next_chunk.fetch_add(1); c < chunks; c = next_chunk.fetch_add(1)) {
      try {
        fn.call(fn.self, chunk_begin(c), chunk_begin(c + 1));
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!error) error = std::current_exception();
      }
    }
    in_chunk = outer;
    if (finished_participants.fetch_add(1) + 1 == participants) {
      std::lock_guard<std::mutex> lock(mutex);
      finished.notify_all();
    }
  }

  void work() { run_share(); }
};

class Pool {
 public:
  // Hands `tickets` workers the job, starting threads up to `workers`.
  void offer(const std::shared_ptr<Job>& job, int tickets, int workers) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (static_cast<int>(threads_) < workers) {
      std::thread(&Pool::loop, this).detach();
      ++threads_;
    }
    for (int i = 0; i < tickets; ++i) queue_.push_back(job);
    wake_.notify_all();
  }

 private:
  void loop() {
    for (;;) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !queue_.empty(); });
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      job->work();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;
  size_t threads_ = 0;
};

// The pool lives for the process and is never destroyed: detached workers
// blocked at exit must not meet a destructed mutex. A child process after
// fork has none of the parent's threads, and a lock that one of them held
// stays held there, so the child starts over with a guard and a pool of
// its own (the parent's are left behind).
struct PoolOfProcess {
  std::mutex guard;
  Pool* pool = nullptr;
};
PoolOfProcess* g_pool_of_process = nullptr;

Pool& pool() {
  static const bool ready = [] {
    g_pool_of_process = new PoolOfProcess();
    pthread_atfork(nullptr, nullptr, [] { g_pool_of_process = new PoolOfProcess(); });
    return true;
  }();
  (void)ready;
  PoolOfProcess* current = g_pool_of_process;
  std::lock_guard<std::mutex> lock(current->guard);
  if (current->pool == nullptr) current->pool = new Pool();
  return *current->pool;
}

}  // namespace

void run_chunks(int64_t n, int64_t grain, ChunkFn fn) {
  if (n <= 0) return;
  const int64_t threads = in_chunk ? 1 : std::max(1, at::get_num_threads());
  const int64_t by_grain = (n + std::max<int64_t>(grain, 1) - 1) / std::max<int64_t>(grain, 1);
  // A few chunks per thread even out rows of unequal cost.
  const int64_t chunks = std::min(by_grain, threads * 4);
  if (threads == 1 || chunks <= 1) {
    if (!in_chunk) latest_width.store(1);
    fn.call(fn.self, 0, n);
    return;
  }
  auto job = std::make_shared<Job>();
  job->fn = fn;
  job->n = n;
  job->chunks = chunks;
  job->participants = std::min(threads, chunks);
  pool().offer(job, static_cast<int>(job->participants - 1), static_cast<int>(threads - 1));
  job->run_share();
  {
    std::unique_lock<std::mutex> lock(job->mutex);
    job->finished.wait(lock,
                       [&] { return job->finished_participants.load() == job->participants; });
  }
  latest_width.store(static_cast<int>(job->participants));
  if (job->error) std::rethrow_exception(job->error);
}

int last_parallel_width() { return latest_width.load(); }

void install_chunk_runner() {
  limbs::chunk_runner() = [](int64_t n, int64_t grain, const void* self,
                             void (*call)(const void*, int64_t, int64_t)) {
    run_chunks(n, grain, ChunkFn{self, call});
  };
}

}  // namespace zel
