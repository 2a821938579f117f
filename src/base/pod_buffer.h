// PodBuffer: a growable array of trivially copyable values in one malloc
// block whose growth leaves the new elements uninitialised. Room sized for
// the most a step can write is then touched (and made resident) only where
// the step really writes, so memory follows the data produced, not the room
// asked for. Large zero-filled blocks (the tables of a mapping) come zeroed
// from the allocator rather than from a pass over them and are populated
// with one call rather than by a page fault per page; growing blocks use
// realloc, which remaps pages instead of copying them.
#ifndef VONK_BASE_POD_BUFFER_H_
#define VONK_BASE_POD_BUFFER_H_

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace vonk {

template <typename T>
class PodBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  using value_type = T;

  PodBuffer() = default;
  PodBuffer(const PodBuffer&) = delete;
  PodBuffer& operator=(const PodBuffer&) = delete;
  PodBuffer(PodBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  PodBuffer& operator=(PodBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~PodBuffer() { std::free(data_); }

  // Replaces the contents with `count` zero bytes' worth of elements.
  void assign_zeroed(size_t count) {
    *this = PodBuffer();
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

  // Sets the size to `count`; elements past the old size are uninitialised.
  // Growth past the room reserved takes exactly the room asked for.
  void resize(size_t count) {
    reserve(count);
    size_ = count;
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

  // The same block as elements of U (of T's size and alignment), for
  // rewriting the elements in place as another type.
  template <typename U>
  PodBuffer<U> take_as() && {
    static_assert(sizeof(U) == sizeof(T) && alignof(U) == alignof(T));
    PodBuffer<U> out;
    out.data_ = reinterpret_cast<U*>(std::exchange(data_, nullptr));
    out.size_ = std::exchange(size_, 0);
    out.capacity_ = std::exchange(capacity_, 0);
    return out;
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

  // Element-wise equality with another buffer or any contiguous range of T.
  friend bool operator==(const PodBuffer& a, std::span<const T> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }
  friend bool operator==(const PodBuffer& a, const PodBuffer& b) {
    return a == std::span<const T>(b.data(), b.size());
  }

  // Bytes of the elements in use; reserved pages never touched cost no
  // memory.
  size_t memory_usage() const { return size_ * sizeof(T); }

 private:
  template <typename U>
  friend class PodBuffer;

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

// The bytes of payloads and gzip members.
using ByteBuffer = PodBuffer<uint8_t>;

}  // namespace vonk

#endif  // VONK_BASE_POD_BUFFER_H_
