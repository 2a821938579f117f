// zlib's own reading of a gzip member: the reference the gzip layer's
// reader is checked against. Header only, free of any test framework, so
// that the unit tests and the fuzz targets share it.
#ifndef VONK_TESTS_COMMON_ZLIB_GUNZIP_H_
#define VONK_TESTS_COMMON_ZLIB_GUNZIP_H_

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vonk {

// How zlib's reading of the first member ended.
struct ZlibReading {
  int rc = Z_STREAM_ERROR;    // inflate's last return code
  std::vector<uint8_t> data;  // what it inflated
  size_t consumed = 0;        // input bytes it read
  std::string message;        // zlib's own message, if any
  bool ok() const { return rc == Z_STREAM_END; }
};

// Inflates the first gzip member of `input` (window bits 16 + 15) through
// a 16 KiB staging buffer, until the member ends or inflate stops.
inline ZlibReading zlib_gunzip(std::span<const uint8_t> input) {
  ZlibReading reading;
  z_stream s{};
  reading.rc = inflateInit2(&s, 16 + 15);
  if (reading.rc != Z_OK) return reading;
  s.next_in = const_cast<Bytef*>(input.data());
  s.avail_in = static_cast<uInt>(input.size());
  uint8_t staging[16384];
  do {
    s.next_out = staging;
    s.avail_out = sizeof(staging);
    reading.rc = inflate(&s, Z_NO_FLUSH);
    reading.data.insert(reading.data.end(), staging,
                        staging + (sizeof(staging) - s.avail_out));
  } while (reading.rc == Z_OK);
  reading.consumed = input.size() - s.avail_in;
  if (s.msg != nullptr) reading.message = s.msg;
  inflateEnd(&s);
  return reading;
}

}  // namespace vonk

#endif  // VONK_TESTS_COMMON_ZLIB_GUNZIP_H_
