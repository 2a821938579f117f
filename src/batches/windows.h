// Windows: runs of consecutive token ids read at random from token files,
// whose payloads each hold a fixed number of consecutive ids (a chunk).
#ifndef VONK_BATCHES_WINDOWS_H_
#define VONK_BATCHES_WINDOWS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/pod_buffer.h"
#include "codec/codec.h"

namespace vonk {

// One file's chunks, as views of memory its caller holds. Chunk c holds the
// ids [c * chunk_size, min((c + 1) * chunk_size, token_count)) of the file,
// counted from the file's first token, whose index in the whole sequence
// of files is `first_token`; its payload is bytes[begins[c], ends[c]), and
// crcs[c] the CRC-32 of those bytes. Nothing here is trusted: every chunk
// a read touches is checked before its ids are used.
struct ChunkSource {
  std::span<const uint8_t> bytes;
  std::span<const int64_t> begins;
  std::span<const int64_t> ends;
  std::span<const uint32_t> crcs;
  uint64_t first_token = 0;
  uint64_t token_count = 0;
  uint64_t chunk_size = 0;
  bool gzip = false;
};

// Why a source cannot be read at all (checked before any id is read).
// Empty when begins, ends and crcs all have one entry per chunk and the
// chunk size is positive (or the source has no tokens).
std::optional<std::string> check_source(const ChunkSource& source);

// A chunk that cannot be read: which source, which chunk, and why.
struct ChunkFault {
  size_t source = 0;
  uint64_t chunk = 0;
  std::string reason;
};

// Reads windows from `sources`, which lie one after another (source i+1's
// first token follows source i's last) and each passed check_source. Keeps
// the plain bytes of the last two chunks it read, so windows that share a
// chunk inflate and check it once. Not for use by two threads at once;
// touches no Python object.
class WindowReader {
 public:
  WindowReader(const Codec& codec, std::span<const ChunkSource> sources);

  // Writes the `out.size()` token ids from index `start` of the whole
  // sequence into `out`. Requires start + out.size() <= the sequence's
  // length. Decodes only the chunks the window touches, each only up to
  // the window's end, straight into `out` (the ids before its start are
  // passed over, not decoded). On failure `out` is partly
  // written and must not be used.
  std::optional<ChunkFault> read(uint64_t start, std::span<uint32_t> out);

 private:
  // A chunk's plain payload, checked against its CRC (and inflated).
  struct Cached {
    size_t source = SIZE_MAX;
    uint64_t chunk = 0;
    std::span<const uint8_t> plain;
    ByteBuffer inflated;
  };

  // The plain payload of `chunk` of `source`, from the cache or loaded
  // into its older entry.
  std::optional<ChunkFault> load(size_t source, uint64_t chunk,
                                 std::span<const uint8_t>* plain);

  const Codec& codec_;
  std::span<const ChunkSource> sources_;
  Cached cache_[2];
  size_t newest_ = 0;
};

}  // namespace vonk

#endif  // VONK_BATCHES_WINDOWS_H_
