// Byte strings written as hex in the tests: "19 05 00" and back.
#ifndef VONK_TESTS_CPP_HEX_BYTES_H_
#define VONK_TESTS_CPP_HEX_BYTES_H_

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace vonk {

using Bytes = std::vector<uint8_t>;

// The bytes of `text`: pairs of hex digits, with spaces anywhere between.
inline Bytes hex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

// `bytes` as upper-case hex pairs separated by single spaces.
inline std::string to_hex(std::span<const uint8_t> bytes) {
  std::string out;
  char buf[4];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof(buf), out.empty() ? "%02X" : " %02X", b);
    out += buf;
  }
  return out;
}

// A copy of the elements of a buffer the core returns.
template <typename Buffer>
std::vector<typename Buffer::value_type> copy_of(const Buffer& buffer) {
  return {buffer.begin(), buffer.end()};
}

// The parts, one after the other.
inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

}  // namespace vonk

#endif  // VONK_TESTS_CPP_HEX_BYTES_H_
