// Independent chunks of work for the whole-matrix algorithms. This layer
// knows no threads: the module that loads it installs a runner (its thread
// pool) here, and without one every loop runs on the calling thread. The
// chunks write disjoint outputs, so the bytes never depend on the runner.
#pragma once

#include <cstdint>

namespace limbs {

using ChunkRunner = void (*)(int64_t n, int64_t grain, const void* self,
                             void (*call)(const void* self, int64_t begin, int64_t end));

inline ChunkRunner& chunk_runner() {
  static ChunkRunner runner = nullptr;
  return runner;
}

// f(begin, end) over [0, n), in parallel chunks of at least `grain` when a
// runner is installed.
template <class F>
void for_chunks(int64_t n, int64_t grain, const F& f) {
  if (n <= 0) return;
  const ChunkRunner runner = chunk_runner();
  if (runner == nullptr || n <= grain) {
    f(int64_t(0), n);
    return;
  }
  runner(n, grain, &f, [](const void* self, int64_t begin, int64_t end) {
    (*static_cast<const F*>(self))(begin, end);
  });
}

}  // namespace limbs
