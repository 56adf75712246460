#include "tensor/core/limb_tensor.h"

#include <ATen/ops/empty.h>
#include <algorithm>
#include <mutex>

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace zel {

at::Device device_of(const LimbTensor& t, const char* op) {
  if (!t.data.defined()) throw_not_constructed(op);
  return t.data.device();
}

at::Tensor cpu_limbs(const LimbTensor& t, const char* op) {
  if (t.complex) throw TypeError(std::string(op) + "(): not implemented for complex tensors");
  check_limbs(t.data, t.shape, op);
  if (t.data.device().is_cpu() && t.data.is_contiguous()) return t.data;
  return t.data.to(at::kCPU).contiguous();
}

at::Tensor complex_limbs(const LimbTensor& t, const char* op) {
  if (!t.complex) throw TypeError(std::string(op) + "(): expected a complex tensor");
  return cpu_limbs(real_view(t), op);
}

LimbTensor real_view(const LimbTensor& t) {
  Shape s = t.shape;
  s.push_back(2);
  return LimbTensor{t.data, s};
}

LimbTensor complex_view(const LimbTensor& t, const char* op) {
  if (t.complex) throw TypeError(std::string(op) + "(): the tensor is complex already");
  if (t.shape.empty() || t.shape.back() != 2)
    throw std::runtime_error(std::string(op) + "(): Tensor must have a last dimension of size 2");
  check_limbs(t.data, t.shape, op);
  LimbTensor r{t.data, Shape(t.shape.begin(), t.shape.end() - 1)};
  r.complex = true;
  return r;
}

namespace {

// A fresh large array is first touched by the kernel that writes it. With
// 4 KiB pages its page faults cost about as much as dividing its rows, and
// they do not speed up with threads; where the system gives huge pages on
// request (transparent huge pages in madvise mode), asking cuts their
// number 512-fold. Advice only: where it is refused nothing changes.
constexpr size_t kHugePageAdviceBytes = size_t{4} << 20;

void advise_huge_pages(const at::Tensor& t) {
#if defined(MADV_HUGEPAGE)
  const size_t bytes = t.nbytes();
  if (bytes < kHugePageAdviceBytes) return;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = reinterpret_cast<uintptr_t>(t.data_ptr());
  const uintptr_t first = (begin + page - 1) / page * page;
  const uintptr_t end = (begin + bytes) / page * page;
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
  (void)t;
#endif
}

at::Tensor empty_limbs(int64_t n) {
  at::Tensor t = at::empty({n, limbs::kLimbs}, at::TensorOptions().dtype(at::kDouble));
  advise_huge_pages(t);
  return t;
}

// Whether a Python object was ever made for the array, in the words of the
// torch at hand: a slot holding the object (newer torch), or the
// interpreter tag set when one was first made (torch 1.x).
template <class Impl>
auto had_python_object(Impl* impl, int) -> decltype(impl->pyobj_slot()->load_pyobj() != nullptr) {
  return impl->pyobj_slot()->load_pyobj() != nullptr;
}
template <class Impl>
auto had_python_object(Impl* impl, long)
    -> decltype(impl->pyobj_slot()->pyobj_interpreter() != nullptr) {
  return impl->pyobj_slot()->pyobj_interpreter() != nullptr;
}
template <class Impl>
auto had_python_object(Impl* impl, ...) -> decltype(impl->pyobj_interpreter() != nullptr) {
  return impl->pyobj_interpreter() != nullptr;
}

// Small limb arrays are recycled: at::empty costs more than a 0-d operation.
// The pool keeps a reference to every array it handed out and reuses one
// only when nothing else can reach it: the pool's is the only reference to
// the array and to its storage (a kept view shares the storage), there are
// no weak references, and it never had a Python object (one that Python
// code saw may be resurrected through a weak reference). Such an array is
// indistinguishable from a fresh one. Kernels may allocate without the GIL,
// hence the lock. The pool is leaked at exit: its arrays must not be freed
// after torch is torn down.
class SmallPool {
 public:
  static constexpr int64_t kMaxRows = 16;

  at::Tensor take(int64_t n) {
    at::Tensor dropped;  // freed after unlocking: freeing may take the GIL
    std::lock_guard<std::mutex> lock(mutex_);
    Ring& ring = rings_[n - 1];
    for (int k = 0; k < kSlots; ++k) {
      const int i = (ring.cursor + k) % kSlots;
      at::Tensor& slot = ring.slots[i];
      if (slot.defined() && !reusable(slot, n)) {
        if (slot.use_count() > 1) continue;  // still in use
        dropped = std::move(slot);           // unusable for good
      }
      if (!slot.defined()) slot = empty_limbs(n);
      ring.cursor = (i + 1) % kSlots;
      return slot;
    }
    return empty_limbs(n);
  }

 private:
  static constexpr int kSlots = 32;
  struct Ring {
    at::Tensor slots[kSlots];
    int cursor = 0;
  };

  static bool reusable(const at::Tensor& t, int64_t n) {
    c10::TensorImpl* impl = t.unsafeGetTensorImpl();
    if (t.use_count() != 1 || t.weak_use_count() != 1) return false;
    if (had_python_object(impl, 0)) return false;
    const c10::Storage& st = impl->unsafe_storage();
    // Our probe is the second weak reference to the storage.
    if (!st || st.use_count() != 1 || st.getWeakStorageImpl().weak_use_count() != 2) return false;
    return t.device().is_cpu() && t.scalar_type() == at::kDouble && t.dim() == 2 &&
           t.size(0) == n && t.size(1) == limbs::kLimbs && t.is_contiguous() &&
           t.storage_offset() == 0 &&
           st.nbytes() == static_cast<size_t>(n * limbs::kLimbs) * sizeof(double) &&
           !t.requires_grad();
  }

  std::mutex mutex_;
  Ring rings_[kMaxRows];
};

// A child after fork starts with an empty pool: a thread of the parent
// that held the lock does not exist there to release it.
SmallPool* g_small_pool = nullptr;

SmallPool& small_pool() {
  static const bool ready = [] {
    g_small_pool = new SmallPool();
    pthread_atfork(nullptr, nullptr, [] { g_small_pool = new SmallPool(); });
    return true;
  }();
  (void)ready;
  return *g_small_pool;
}

at::Tensor limb_array(int64_t n) {
  if (n >= 1 && n <= SmallPool::kMaxRows) return small_pool().take(n);
  return empty_limbs(n);
}

}  // namespace

at::Tensor new_limbs(int64_t n, const char* op) {
  check_alloc(n, op);
  at::Tensor t = limb_array(n);
  std::fill_n(t.data_ptr<double>(), n * limbs::kLimbs, 0.0);
  return t;
}

at::Tensor new_limbs_for(int64_t n, const char* op) {
  check_alloc(n, op);
  return limb_array(n);
}

namespace {

// Freed LimbTensor blocks kept by a thread for its next ones.
struct FreeBlocks {
#if defined(__SANITIZE_ADDRESS__)
  static constexpr int kKeep = 0;  // every block back to the sanitizer, which watches it
#else
  static constexpr int kKeep = 256;
#endif
  void* head = nullptr;
  int count = 0;
  bool gone = false;  // the thread is ending: blocks go straight back
  ~FreeBlocks() {
    gone = true;
    while (head) {
      void* next = *static_cast<void**>(head);
      ::operator delete(head);
      head = next;
    }
  }
};
thread_local FreeBlocks t_free_blocks;

}  // namespace

void* LimbTensor::take_block(std::size_t size) {
  FreeBlocks& f = t_free_blocks;
  if (size != sizeof(LimbTensor) || !f.head) return ::operator new(size);
  void* p = f.head;
  f.head = *static_cast<void**>(p);
  --f.count;
  return p;
}

void LimbTensor::give_block(void* p, std::size_t size) {
  FreeBlocks& f = t_free_blocks;
  if (!p) return;
  if (size != sizeof(LimbTensor) || f.gone || f.count >= FreeBlocks::kKeep) {
    ::operator delete(p);
    return;
  }
  *static_cast<void**>(p) = f.head;
  f.head = p;
  ++f.count;
}

void materialize_row(LimbTensor& t) {
  at::Tensor d = limb_array(1);
  rows_of(d)[0] = t.row;
  t.data = std::move(d);
  t.inline_row = false;
}

LimbTensor make_result(at::Tensor cpu_data, Shape shape, const at::Device& device) {
  if (!device.is_cpu()) cpu_data = cpu_data.to(device);
  return LimbTensor{std::move(cpu_data), std::move(shape)};
}

Shape broadcast_shapes(const Shape& a, const Shape& b) {
  const size_t n = std::max(a.size(), b.size());
  Shape out(n);
  for (size_t i = 0; i < n; ++i) {
    const int64_t da = i < a.size() ? a[a.size() - 1 - i] : 1;
    const int64_t db = i < b.size() ? b[b.size() - 1 - i] : 1;
    int64_t d;
    if (da == db)
      d = da;
    else if (da == 1)
      d = db;
    else if (db == 1)
      d = da;
    else
      throw ValueError("Cannot broadcast " + shape_str(a) + " with " + shape_str(b));
    out[n - 1 - i] = d;
  }
  return out;
}

std::vector<int64_t> broadcast_strides(const Shape& shape, const Shape& out) {
  std::vector<int64_t> st(out.size(), 0);
  int64_t stride = 1;
  for (size_t i = 0; i < shape.size(); ++i) {
    const size_t d = shape.size() - 1 - i;
    const size_t o = out.size() - 1 - i;
    st[o] = shape[d] == 1 ? 0 : stride;
    stride *= shape[d];
  }
  return st;
}

}  // namespace zel
