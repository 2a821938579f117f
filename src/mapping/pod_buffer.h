// PodBuffer: a growable array of trivially copyable values in one malloc
// block, for the large tables of a mapping. Fresh pages are much of what
// building those tables costs, so big blocks are zero-filled by the
// allocator rather than by a pass over them and populated with one call
// rather than by a page fault per page; growing blocks use realloc (which
// remaps pages instead of copying them) and touch only what they fill.
#ifndef VONK_MAPPING_POD_BUFFER_H_
#define VONK_MAPPING_POD_BUFFER_H_

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace vonk {

template <typename T>
class PodBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PodBuffer() = default;
  PodBuffer(const PodBuffer&) = delete;
  PodBuffer& operator=(const PodBuffer&) = delete;
  PodBuffer(PodBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ~PodBuffer() { std::free(data_); }

  // Replaces the contents with `count` zero bytes' worth of elements.
  void assign_zeroed(size_t count) {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
    if (count == 0) return;
    void* block = std::calloc(count, sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(block);
    size_ = capacity_ = count;
    populate();
  }

  // Makes room for at least `count` elements without touching it.
  void reserve(size_t count) {
    if (count > capacity_) reallocate(count);
  }

  void push_back(const T& value) {
    if (size_ == capacity_) reallocate(capacity_ < 16 ? 16 : 2 * capacity_);
    data_[size_++] = value;
  }

  void append(const T* values, size_t count) {
    if (count > capacity_ - size_) {
      reallocate(count > capacity_ ? capacity_ + count : 2 * capacity_);
    }
    if (count != 0) std::memcpy(data_ + size_, values, count * sizeof(T));
    size_ += count;
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }

  // Bytes of the elements in use; reserved pages never touched cost no
  // memory.
  size_t memory_usage() const { return size_ * sizeof(T); }

 private:
  void reallocate(size_t capacity) {
    if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    void* block = std::realloc(data_, capacity * sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(block);
    capacity_ = capacity;
  }

  // Maps in the whole page-aligned interior of a large block at once; a
  // hint that older systems ignore (the pages then fault in on first use).
  void populate() {
#ifdef MADV_POPULATE_WRITE
    constexpr uintptr_t kPage = 4096;
    constexpr size_t kSmallest = size_t{256} << 10;
    const size_t bytes = capacity_ * sizeof(T);
    if (bytes < kSmallest) return;
    uintptr_t begin = reinterpret_cast<uintptr_t>(data_);
    uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
    uintptr_t last = (begin + bytes) & ~(kPage - 1);
    if (last > first) {
      madvise(reinterpret_cast<void*>(first), last - first,
              MADV_POPULATE_WRITE);
    }
#endif
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace vonk

#endif  // VONK_MAPPING_POD_BUFFER_H_
