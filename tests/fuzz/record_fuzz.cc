// Fuzz target of the record parser.
//
// The input is one line. Properties checked:
//  - parse_mapping_entry never crashes; it fails only with JsonError at
//    line 1 and a column within the line;
//  - whenever the fast parser accepts a line, the general parser gives the
//    same record;
//  - a record that parses renders back, in the stored layout (ASCII only,
//    \u escapes), to a line that the fast parser accepts (when the record
//    has a count) and that parses to the same record; rendered in the array
//    form with raw UTF-8, it parses to the same record as well.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "error/codec_error.h"
#include "fuzz_check.h"
#include "mapping/record.h"

namespace {

using vonk::CodecError;
using vonk::MappingEntry;

void append_u_escape(std::string* out, uint32_t unit) {
  char buffer[8];
  std::snprintf(buffer, sizeof(buffer), "\\u%04x", unit);
  out->append(buffer);
}

// Decodes one UTF-8 character at text[*i]; fails the check on bytes that
// are not valid UTF-8, which no parsed token may hold.
uint32_t next_code_point(std::string_view text, size_t* i) {
  const auto byte = [&](size_t k) {
    FUZZ_CHECK(k < text.size());
    return static_cast<uint8_t>(text[k]);
  };
  const uint8_t b0 = byte(*i);
  if (b0 < 0x80) {
    *i += 1;
    return b0;
  }
  int length;
  uint32_t cp;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3;
    cp = b0 & 0x0F;
  } else {
    FUZZ_CHECK((b0 & 0xF8) == 0xF0);
    length = 4;
    cp = b0 & 0x07;
  }
  for (int k = 1; k < length; ++k) {
    const uint8_t b = byte(*i + k);
    FUZZ_CHECK((b & 0xC0) == 0x80);
    cp = (cp << 6) | (b & 0x3F);
  }
  static constexpr uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
  FUZZ_CHECK(cp >= kMinimum[length] && cp <= 0x10FFFF);
  FUZZ_CHECK(cp < 0xD800 || cp > 0xDFFF);
  *i += length;
  return cp;
}

// The token as a JSON string in the stored texts' rendering.
std::string stored_string(std::string_view token) {
  std::string out = "\"";
  for (size_t i = 0; i < token.size();) {
    const uint32_t cp = next_code_point(token, &i);
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0xFFFF)) {
          append_u_escape(&out, cp);
        } else if (cp > 0xFFFF) {
          append_u_escape(&out, 0xD800 + ((cp - 0x10000) >> 10));
          append_u_escape(&out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
          out += static_cast<char>(cp);
        }
    }
  }
  return out + "\"";
}

// The token as a JSON string with only the escapes JSON requires.
std::string raw_string(std::string_view token) {
  std::string out = "\"";
  for (char c : token) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      append_u_escape(&out, u);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string count_text(const std::optional<uint32_t>& count) {
  return count ? std::to_string(*count) : "null";
}

std::string render_stored(const MappingEntry& e) {
  return "{\"token\": " + stored_string(e.token) +
         ", \"token_id\": " + std::to_string(e.token_id) +
         ", \"mapped_id\": " + std::to_string(e.mapped_id) +
         ", \"count\": " + count_text(e.count) + "}";
}

std::string render_array(const MappingEntry& e) {
  return "[" + raw_string(e.token) + "," + std::to_string(e.token_id) + "," +
         std::to_string(e.mapped_id) + "," + count_text(e.count) + "]";
}

void check_reparses(const std::string& line, const MappingEntry& expected) {
  std::string scratch;
  vonk::Result<MappingEntry> again = vonk::parse_mapping_entry(line, &scratch);
  if (!again.ok()) {
    std::fprintf(stderr, "rendered line fails: %s\n%s\n", line.c_str(),
                 again.error().display().c_str());
  }
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(again.value() == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);

  // The fast parser never disagrees with the general one.
  {
    std::string fast_scratch, general_scratch;
    MappingEntry fast;
    if (vonk::parse_mapping_entry_fast(line, &fast_scratch, &fast)) {
      vonk::Result<MappingEntry> general =
          vonk::parse_mapping_entry_general(line, &general_scratch);
      FUZZ_CHECK(general.ok());
      FUZZ_CHECK(fast == general.value());
    }
  }

  std::string scratch;
  vonk::Result<MappingEntry> parsed = vonk::parse_mapping_entry(line, &scratch);
  if (!parsed.ok()) {
    const CodecError& error = parsed.error();
    FUZZ_CHECK(error.kind() == CodecError::Kind::kJsonError);
    FUZZ_CHECK(error.number() == 1);
    FUZZ_CHECK(!error.text().empty());
    FUZZ_CHECK(size == 0 ? error.column() == 0
                         : error.column() >= 1 && error.column() <= size);
    return 0;
  }
  const MappingEntry& entry = parsed.value();

  const std::string stored = render_stored(entry);
  check_reparses(stored, entry);
  if (entry.count) {
    std::string fast_scratch;
    MappingEntry fast;
    FUZZ_CHECK(vonk::parse_mapping_entry_fast(stored, &fast_scratch, &fast));
  }
  check_reparses(render_array(entry), entry);
  return 0;
}
