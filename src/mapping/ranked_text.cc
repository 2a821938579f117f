#include "mapping/ranked_text.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <vector>

#include "mapping/record_reader.h"

namespace vonk {
namespace {

void append_number(std::string* out, int64_t value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof(digits), value);
  out->append(digits, end);
}

void append_escape(std::string* out, uint32_t unit) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char escape[6] = {'\\', 'u', kHex[(unit >> 12) & 15],
                          kHex[(unit >> 8) & 15], kHex[(unit >> 4) & 15],
                          kHex[unit & 15]};
  out->append(escape, 6);
}

// The code point that UTF-8 `text` starts with at *at, advancing *at past
// it; U+FFFD for a byte that does not start a well-formed sequence (which
// is then skipped alone).
uint32_t next_code_point(std::string_view text, size_t* at) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  const size_t i = *at;
  const unsigned char c = s[i];
  *at = i + 1;
  if (c < 0x80) return c;
  size_t length;
  uint32_t code;
  uint32_t lowest;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2, code = c & 0x1F, lowest = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3, code = c & 0x0F, lowest = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4, code = c & 0x07, lowest = 0x10000;
  } else {
    return 0xFFFD;
  }
  if (n - i < length) return 0xFFFD;
  for (size_t k = 1; k < length; ++k) {
    if ((s[i + k] & 0xC0) != 0x80) return 0xFFFD;
    code = (code << 6) | (s[i + k] & 0x3F);
  }
  if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return 0xFFFD;
  }
  *at = i + length;
  return code;
}

// The token as a JSON string of printable ASCII: the short escapes where
// JSON has them, \u and lowercase hex for every other control and
// non-ASCII character (a surrogate pair above U+FFFF).
void append_json_string(std::string* out, std::string_view text) {
  out->push_back('"');
  for (size_t at = 0; at < text.size();) {
    const uint32_t code = next_code_point(text, &at);
    switch (code) {
      case '"': out->append("\\\""); continue;
      case '\\': out->append("\\\\"); continue;
      case '\b': out->append("\\b"); continue;
      case '\t': out->append("\\t"); continue;
      case '\n': out->append("\\n"); continue;
      case '\f': out->append("\\f"); continue;
      case '\r': out->append("\\r"); continue;
      default: break;
    }
    if (code >= 0x20 && code < 0x7F) {
      out->push_back(static_cast<char>(code));
    } else if (code <= 0xFFFF) {
      append_escape(out, code);
    } else {
      append_escape(out, 0xD800 + ((code - 0x10000) >> 10));
      append_escape(out, 0xDC00 + ((code - 0x10000) & 0x3FF));
    }
  }
  out->push_back('"');
}

CodecError rule_broken(std::string description, uint64_t line) {
  return CodecError::json_error(description, line, 0);
}

}  // namespace

Result<RankedVocabulary> read_ranked_text(std::string_view text) {
  RankedVocabulary vocabulary;
  PodBuffer<uint64_t> counts_by_position;
  PodBuffer<uint64_t> ends_by_position;
  std::vector<uint64_t> lines;
  RecordReader reader(text);
  for (size_t position = 0;; ++position) {
    Result<const MappingEntry*> next = reader.next();
    if (!next.ok()) {
      const CodecError& error = next.error();
      return CodecError::json_error(error.text(), reader.line_number(),
                                    error.column());
    }
    const MappingEntry* entry = next.value();
    if (entry == nullptr) break;
    const uint64_t line = reader.line_number();
    if (position >= kMaxVocabularySize) {
      return rule_broken("more than " + std::to_string(kMaxVocabularySize) +
                             " records, the most a mapping holds",
                         line);
    }
    if (entry->mapped_id != mapped_id_at(position)) {
      return rule_broken(
          "mapped id " + std::to_string(entry->mapped_id) + " in record " +
              std::to_string(position + 1) + ", whose position gives " +
              std::to_string(mapped_id_at(position)) +
              " (mapped ids go 0, 1, -1, 2, -2, ... down the records)",
          line);
    }
    if (!entry->count.has_value()) {
      return rule_broken("the record has no count, which orders the records",
                         line);
    }
    vocabulary.ranking.push_back(entry->token_id);
    counts_by_position.push_back(*entry->count);
    vocabulary.texts.append(entry->token.data(), entry->token.size());
    ends_by_position.push_back(vocabulary.texts.size());
    lines.push_back(line);
  }
  const size_t n = vocabulary.ranking.size();
  if (n == 0) return rule_broken("the text holds no records", 0);

  // Counts and texts by token id, once the ids are known to be 0..n-1.
  // check_ranking looks up counts by id, so ids beyond n are found first.
  for (size_t p = 0; p < n; ++p) {
    if (vocabulary.ranking[p] >= n) {
      return rule_broken("token id " + std::to_string(vocabulary.ranking[p]) +
                             " is beyond the last id of a vocabulary of " +
                             std::to_string(n) + " records",
                         lines[p]);
    }
  }
  std::vector<bool> placed(n);
  for (size_t p = 0; p < n; ++p) {
    const uint32_t id = vocabulary.ranking[p];
    if (placed[id]) {
      const size_t first = static_cast<size_t>(
          std::find(vocabulary.ranking.begin(), vocabulary.ranking.end(), id) -
          vocabulary.ranking.begin());
      return rule_broken("token id " + std::to_string(id) +
                             " appears twice (also at line " +
                             std::to_string(lines[first]) + ")",
                         lines[p]);
    }
    placed[id] = true;
  }
  vocabulary.counts.resize(n);
  for (size_t p = 0; p < n; ++p) {
    vocabulary.counts[vocabulary.ranking[p]] = counts_by_position[p];
  }
  size_t position = 0;
  if (std::optional<std::string> fault =
          check_ranking(vocabulary.ranking, vocabulary.counts, &position)) {
    return rule_broken(*fault, lines[position]);
  }

  // Texts were read in ranking order; keep them in id order.
  PodBuffer<uint64_t> sizes;
  sizes.assign_zeroed(n);
  for (size_t p = 0; p < n; ++p) {
    sizes[vocabulary.ranking[p]] =
        ends_by_position[p] - (p == 0 ? 0 : ends_by_position[p - 1]);
  }
  PodBuffer<uint64_t> starts;  // of each id's text in the new arena
  starts.resize(n);
  vocabulary.text_ends.resize(n);
  uint64_t end = 0;
  for (size_t id = 0; id < n; ++id) {
    starts[id] = end;
    end += sizes[id];
    vocabulary.text_ends[id] = end;
  }
  PodBuffer<char> texts;
  texts.resize(end);
  for (size_t p = 0; p < n; ++p) {
    const uint64_t from = p == 0 ? 0 : ends_by_position[p - 1];
    const uint32_t id = vocabulary.ranking[p];
    std::copy_n(vocabulary.texts.data() + from, sizes[id],
                texts.data() + starts[id]);
  }
  vocabulary.texts = std::move(texts);
  return vocabulary;
}

std::string render_ranked_text(const RankedVocabulary& vocabulary) {
  std::string out;
  const size_t n = vocabulary.ranking.size();
  out.reserve(n * 72 + vocabulary.texts.size() * 2);
  std::string placeholder;
  for (size_t p = 0; p < n; ++p) {
    const uint32_t id = vocabulary.ranking[p];
    out.append("{\"token\": ");
    if (vocabulary.has_texts()) {
      append_json_string(&out, vocabulary.text(id));
    } else {
      placeholder = "<|reserved_" + std::to_string(id) + "|>";
      append_json_string(&out, placeholder);
    }
    out.append(", \"token_id\": ");
    append_number(&out, id);
    out.append(", \"mapped_id\": ");
    append_number(&out, mapped_id_at(p));
    out.append(", \"count\": ");
    append_number(&out, static_cast<int64_t>(
                            std::min(vocabulary.counts[id], kLargestSavedCount)));
    out.append("}\n");
  }
  return out;
}

}  // namespace vonk
