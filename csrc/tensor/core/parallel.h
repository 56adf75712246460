// Chunked parallel loops on a small thread pool of our own, sized by
// at::get_num_threads() (so torch.set_num_threads is honoured). ATen's
// parallel_for is an inline template that runs serially in an extension
// built without OpenMP, and linking our own OpenMP runtime next to the one
// a PyTorch wheel bundles is fragile; a pool of std::threads works with any
// torch build. Chunks are disjoint and each row is computed alone, so the
// bytes never depend on the thread count.
#pragma once

#include <cstdint>

namespace zel {

// A borrowed callable f(begin, end): a pointer and a trampoline, so that the
// pool needs no allocation and no template.
struct ChunkFn {
  const void* self;
  void (*call)(const void* self, int64_t begin, int64_t end);
};

// Runs fn over [0, n) in chunks of at least `grain` rows on up to
// at::get_num_threads() threads; the calling thread takes part. Called from
// inside a chunk it runs serially. The first exception thrown by a chunk is
// rethrown here once every started chunk has finished.
void run_chunks(int64_t n, int64_t grain, ChunkFn fn);

// Threads that ran chunks in the latest parallel call (1 for a serial one):
// lets tests prove that work was really shared.
int last_parallel_width();

// Lets the torch-free whole-matrix algorithms (limbs::for_chunks) run on the
// pool; each extension module calls it once when it loads.
void install_chunk_runner();

}  // namespace zel
