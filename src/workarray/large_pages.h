// An allocator for large working copies made afresh for every triad (a sliced
// Hamiltonian, the mirror lists of the sparse build): blocks of 1 MB and more
// are mapped on their own, on large pages where the system offers them, and
// unmapped when freed. Their memory is faulted in 2 MB at a time instead of
// 4 kB (some 100 000 faults fewer on a 10 000-state core-hole space) and goes
// back to the system as soon as the copy is freed, so a run holds no more
// than it uses. Smaller blocks come from the ordinary heap.
#pragma once
#include <sys/mman.h>

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace mv {

template <class T>
struct large_page_allocator {
  using value_type = T;
  static constexpr std::size_t mapped_from = std::size_t(1) << 20;

  large_page_allocator() = default;
  template <class U>
  large_page_allocator(const large_page_allocator<U>&) {}  // NOLINT: rebinding

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < mapped_from) return std::allocator<T>().allocate(n);
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, bytes, MADV_HUGEPAGE);
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < mapped_from) return std::allocator<T>().deallocate(p, n);
    munmap(p, bytes);
  }
  template <class U>
  bool operator==(const large_page_allocator<U>&) const {
    return true;
  }
};

template <class T>
using large_vector = std::vector<T, large_page_allocator<T>>;

}  // namespace mv
