// Fuzz target of the payload reader and writer.
//
// The first input byte chooses the gzip flag (bit 0); the rest is the input.
// Properties checked:
//  - decode_payload never crashes; it fails only with InvalidPayload, and
//    without gzip its outcome (ids or failure text) equals the literal,
//    byte-at-a-time reading of the format in common/literal_payload.h;
//  - with gzip, decoding equals gzip_unwrap followed by a plain decode;
//  - a payload that decodes re-encodes, with and without gzip, to bytes that
//    decode to the same ids;
//  - for ids built from the input (4-byte little-endian chunks as i32),
//    encode_payload writes exactly the shortest-form bytes of a literal
//    writer, the gzip form is gzip_wrap of the plain form, and
//    decode_payload(encode_payload(ids, gz), gz) == ids;
//  - the two-step reader, taking the ids in pieces of sizes drawn from the
//    input, ends exactly as decode_payload does;
//  - the bulk varint reader agrees with the literal reading.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/gzip.h"
#include "codec/payload.h"
#include "codec/zigzag_run.h"
#include "common/literal_payload.h"
#include "error/codec_error.h"
#include "fuzz_check.h"

namespace {

using vonk::CodecError;
using Bytes = std::vector<uint8_t>;
using Ids = std::vector<int32_t>;

std::string carried(const CodecError& error) {
  FUZZ_CHECK(error.kind() == CodecError::Kind::kInvalidPayload);
  return error.text();
}

void check_reencodes(std::span<const int32_t> ids) {
  for (bool gz : {false, true}) {
    const vonk::ByteBuffer again = vonk::encode_payload(ids, gz);
    vonk::Result<vonk::PodBuffer<int32_t>> back = vonk::decode_payload(again, gz);
    FUZZ_CHECK(back.ok());
    FUZZ_CHECK(back.value() == ids);
  }
}

// Decodes arbitrary bytes and checks the outcome.
void check_decode(std::span<const uint8_t> input, bool gzip) {
  vonk::Result<vonk::PodBuffer<int32_t>> decoded = vonk::decode_payload(input, gzip);

  if (gzip) {
    vonk::Result<vonk::ByteBuffer> unwrapped = vonk::gzip_unwrap(input);
    if (!unwrapped.ok()) {
      FUZZ_CHECK(!decoded.ok());
      FUZZ_CHECK(carried(decoded.error()) == carried(unwrapped.error()));
      return;
    }
    vonk::Result<vonk::PodBuffer<int32_t>> plain = vonk::decode_payload(unwrapped.value(), false);
    FUZZ_CHECK(plain.ok() == decoded.ok());
    if (plain.ok()) {
      FUZZ_CHECK(plain.value() == decoded.value());
    } else {
      FUZZ_CHECK(carried(plain.error()) == carried(decoded.error()));
    }
  } else {
    const vonk::literal::Outcome want = vonk::literal::decode(input);
    FUZZ_CHECK(decoded.ok() == want.ok());
    if (want.ok()) {
      FUZZ_CHECK(decoded.value() == want.ids);
    } else {
      FUZZ_CHECK(carried(decoded.error()) == want.failure);
    }
  }

  if (decoded.ok()) check_reencodes(decoded.value());
}

// The two-step reader in pieces of 1 to 8 ids against decode_payload.
void check_pieces(std::span<const uint8_t> input) {
  vonk::Result<vonk::PodBuffer<int32_t>> whole = vonk::decode_payload(input, false);
  vonk::Result<vonk::PayloadReader> reader = vonk::PayloadReader::open(input);
  if (!reader.ok()) {
    FUZZ_CHECK(!whole.ok());
    FUZZ_CHECK(carried(whole.error()) == carried(reader.error()));
    return;
  }
  Ids ids;
  size_t draw = 0;
  do {
    const size_t want = 1 + (input[draw++ % input.size()] & 7);
    const size_t step = std::min(want, reader.value().remaining());
    const size_t at = ids.size();
    ids.resize(at + step);
    if (auto error = reader.value().read(std::span(ids.data() + at, step))) {
      FUZZ_CHECK(!whole.ok());
      FUZZ_CHECK(carried(whole.error()) == carried(*error));
      return;
    }
  } while (reader.value().remaining() != 0);
  FUZZ_CHECK(whole.ok());
  FUZZ_CHECK(whole.value() == ids);
}

// Pieces of 1 to 64 ids, some read and some skipped, against
// decode_payload: the same success, the same ids where read (a skip's
// failure may carry another text).
void check_skips(std::span<const uint8_t> input) {
  vonk::Result<vonk::PodBuffer<int32_t>> whole = vonk::decode_payload(input, false);
  vonk::Result<vonk::PayloadReader> reader = vonk::PayloadReader::open(input);
  if (!reader.ok()) return;  // check_pieces covers the headers
  Ids piece;
  size_t at = 0;
  size_t draw = 0;
  do {
    const uint8_t b = input[draw++ % input.size()];
    const size_t step = std::min<size_t>(1 + (b & 63), reader.value().remaining());
    std::optional<vonk::CodecError> error;
    if (b & 64) {
      error = reader.value().skip(step);
    } else {
      piece.resize(step);
      error = reader.value().read(piece);
      if (!error) {
        for (size_t i = 0; whole.ok() && i < step; ++i) {
          FUZZ_CHECK(piece[i] == whole.value().data()[at + i]);
        }
      }
    }
    if (error) {
      FUZZ_CHECK(!whole.ok());
      return;
    }
    at += step;
  } while (reader.value().remaining() != 0);
  FUZZ_CHECK(whole.ok());
}

// Round trip of ids taken from the input.
void check_round_trip(std::span<const uint8_t> input, bool gzip) {
  Ids ids(input.size() / 4);
  for (size_t i = 0; i < ids.size(); ++i) {
    uint32_t v;
    std::memcpy(&v, input.data() + 4 * i, 4);  // little-endian host
    ids[i] = static_cast<int32_t>(v);
  }
  const vonk::ByteBuffer plain = vonk::encode_payload(ids, false);
  FUZZ_CHECK(plain == vonk::literal::encode(ids));
  const vonk::ByteBuffer encoded = vonk::encode_payload(ids, gzip);
  if (gzip) FUZZ_CHECK(encoded == vonk::gzip_wrap(plain));
  vonk::Result<vonk::PodBuffer<int32_t>> back = vonk::decode_payload(encoded, gzip);
  FUZZ_CHECK(back.ok());
  FUZZ_CHECK(back.value() == ids);
}

// The bulk varint reader against the literal reading of the same bytes.
void check_run_reader(std::span<const uint8_t> input) {
  const auto want = vonk::literal::varints(input);
  // An exactly sized copy, so that any read past the end is caught.
  const Bytes copy(input.begin(), input.end());
  for (size_t count : {input.size(), input.size() / 3}) {
    Ids out(count < copy.size() ? count : copy.size());
    const uint8_t* p = copy.data();
    const size_t n =
        vonk::zigzag_run::read_run(&p, copy.data() + copy.size(), count, out.data());
    FUZZ_CHECK(n <= count && n <= want.size());
    for (size_t j = 0; j < n; ++j) FUZZ_CHECK(out[j] == want[j].first);
    FUZZ_CHECK(static_cast<size_t>(p - copy.data()) ==
               (n == 0 ? 0 : want[n - 1].second));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool gzip = (data[0] & 1) != 0;
  const std::span<const uint8_t> input(data + 1, size - 1);
  check_decode(input, gzip);
  check_pieces(input);
  check_skips(input);
  check_round_trip(input, gzip);
  check_run_reader(input);
  return 0;
}
