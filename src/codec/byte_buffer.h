// ByteBuffer: a std::vector of bytes whose resize() leaves the new bytes
// uninitialised instead of zero-filling them. Room sized for the most a
// step can write is then touched (and made resident) only where the step
// really writes, so memory follows the data produced, not the room asked
// for.
#ifndef VONK_CODEC_BYTE_BUFFER_H_
#define VONK_CODEC_BYTE_BUFFER_H_

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace vonk {

// std::allocator, except that value-initialisation without arguments (what
// resize() asks for) becomes default-initialisation: no write at all for
// bytes.
template <typename T>
class DefaultInitAllocator : public std::allocator<T> {
 public:
  template <typename U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };

  DefaultInitAllocator() = default;
  template <typename U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using ByteBuffer = std::vector<uint8_t, DefaultInitAllocator<uint8_t>>;

}  // namespace vonk

#endif  // VONK_CODEC_BYTE_BUFFER_H_
