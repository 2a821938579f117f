// The general record parser: RapidJSON's SAX reader drives a handler that
// applies the record rules and words their failures.
//
// Reader flags:
//  - iterative: nesting is kept on the heap, so a skipped value nested a
//    hundred thousand levels deep costs memory, not stack;
//  - numbers as strings: every number arrives as its raw text, and the
//    handler decides between integer and floating point itself (an integer
//    has no fraction or exponent, is not "-0", and fits in 64 bits). The
//    reader's own number scanner is replaced for this handler (see below),
//    so numbers beyond the double range are read like any other;
//  - stop when done: the reader stops after the value, and what follows it
//    is checked here;
//  - validate encoding: strings must be valid UTF-8. The reader pairs a
//    high surrogate escape with a low one but lets a lone low surrogate
//    escape through (as the bytes ED B0..BF xx); the handler rejects those.
// The reader takes a NUL byte for the end of its input, so a NUL byte in
// a line fails with the reader's error for an early end, at that byte.
//
// Columns. Every failure is reported at line 1 and a 1-based byte column
// within the line:
//  - a fault in a value, key or bracket is reported at its last byte: the
//    closing quote of a string or key, the last character of a number or
//    literal, the bracket itself (so "missing field" points at the closing
//    brace and "invalid length" at the closing bracket);
//  - a fault found by looking past a value is reported at the byte looked at:
//    the first byte of trailing characters, the closing bracket after a
//    trailing comma, the digit after a leading zero;
//  - a lone surrogate escape is reported at its backslash;
//  - the reader's own syntax errors are reported at the byte where it
//    stopped; a fault at the end of the line at the line's last byte
//    (column 0 for an empty line).

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "mapping/record.h"
#include "rapidjson/error/en.h"
#include "rapidjson/memorystream.h"
#include "rapidjson/reader.h"

namespace vonk {
namespace {

constexpr unsigned kReaderFlags =
    rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag |
    rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseValidateEncodingFlag;

bool is_json_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

size_t skip_json_space(std::string_view line, size_t pos) {
  while (pos < line.size() && is_json_space(line[pos])) ++pos;
  return pos;
}

// 1-based column of the byte at `offset`, or of the last byte when `offset`
// is at (or past) the end of the line.
uint64_t column_at(std::string_view line, size_t offset) {
  return std::min<uint64_t>(offset + 1, line.size());
}

// ---------------------------------------------------------------------------
// Numbers

// How a number's raw text reads: an integer that fits in 64 bits (unsigned,
// or negative down to -2^63), or a floating-point value.
struct NumberClass {
  enum Kind { kUnsigned, kNegative, kFloat };
  Kind kind;
  uint64_t magnitude;  // the absolute value of an integer
};

// `raw` is a syntactically valid JSON number.
NumberClass classify_number(std::string_view raw) {
  if (raw.find_first_of(".eE") != std::string_view::npos) {
    return {NumberClass::kFloat, 0};
  }
  const bool negative = raw.front() == '-';
  if (negative) raw.remove_prefix(1);
  uint64_t value = 0;
  for (char c : raw) {
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return {NumberClass::kFloat, 0};
    value = value * 10 + digit;
  }
  if (!negative) return {NumberClass::kUnsigned, value};
  // "-0" is a floating-point zero; below -2^63 is out of integer range.
  if (value == 0 || value > (uint64_t{1} << 63)) {
    return {NumberClass::kFloat, 0};
  }
  return {NumberClass::kNegative, value};
}

// Whether the finite decimal `raw` (which from_chars could not represent)
// lies above the double range rather than below it.
bool overflows_double(std::string_view raw) {
  // Decimal exponent of the first nonzero digit: digits before the point
  // count up, zeros after it count down; then add the written exponent.
  int64_t position = 0;
  bool seen_point = false;
  bool seen_nonzero = false;
  size_t i = raw.front() == '-' ? 1 : 0;
  for (; i < raw.size() && raw[i] != 'e' && raw[i] != 'E'; ++i) {
    const char c = raw[i];
    if (c == '.') {
      seen_point = true;
    } else if (!seen_nonzero && c == '0') {
      if (seen_point) --position;
    } else {
      if (!seen_nonzero && seen_point) --position;
      seen_nonzero = true;
      if (!seen_point) ++position;
    }
  }
  int64_t exponent = 0;
  if (i < raw.size()) {
    ++i;
    bool exponent_negative = false;
    if (raw[i] == '+' || raw[i] == '-') exponent_negative = raw[i++] == '-';
    for (; i < raw.size(); ++i) {
      exponent = std::min<int64_t>(exponent * 10 + (raw[i] - '0'), 1 << 30);
    }
    if (exponent_negative) exponent = -exponent;
  }
  return position + exponent > 0;
}

// A floating-point value as the messages print it: the shortest digits that
// read back as the same double, written out in full without an exponent,
// with ".0" when there is no fractional part ("-0" reads "-0.0", "1e0"
// reads "1.0", "1e-7" reads "0.0000001"). A value beyond the double range
// (1e400, a 400-digit integer) reads "inf" or "-inf"; one too small for it
// (1e-400, 0e999) reads "0.0" or "-0.0".
std::string float_text(std::string_view raw) {
  const bool negative = raw.front() == '-';
  double value = 0;
  const auto parsed =
      std::from_chars(raw.data(), raw.data() + raw.size(), value);
  if (parsed.ec == std::errc::result_out_of_range) {
    if (overflows_double(raw)) return negative ? "-inf" : "inf";
    value = negative ? -0.0 : 0.0;
  }
  char buffer[64];
  const auto printed = std::to_chars(buffer, buffer + sizeof buffer, value,
                                     std::chars_format::scientific);
  std::string_view text(buffer, static_cast<size_t>(printed.ptr - buffer));
  // text is [-]D[.DDD]e(+|-)XX
  std::string out;
  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  const size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'),
                  text.data() + text.size(), exponent);
  const int64_t point = 1 + static_cast<int64_t>(exponent);
  const int64_t count = static_cast<int64_t>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<size_t>(point - count), '0');
    out += ".0";
  } else {
    out += digits.substr(0, static_cast<size_t>(point));
    out += '.';
    out += digits.substr(static_cast<size_t>(point));
  }
  return out;
}

// "integer `N`" or "floating point `X`".
std::string number_description(std::string_view raw, const NumberClass& n) {
  if (n.kind == NumberClass::kFloat) {
    return "floating point `" + float_text(raw) + "`";
  }
  return "integer `" + std::string(raw) + "`";
}

// ---------------------------------------------------------------------------
// Strings

// Index of the opening quote of the string whose closing quote is at
// `close`. Inside a valid string every quote is escaped, so the opening
// quote is the nearest quote before `close` that follows an even run of
// backslashes.
size_t opening_quote(std::string_view line, size_t close) {
  size_t i = close;
  while (i > 0) {
    --i;
    if (line[i] != '"') continue;
    size_t backslashes = 0;
    while (backslashes < i && line[i - 1 - backslashes] == '\\') ++backslashes;
    if (backslashes % 2 == 0) return i;
  }
  return 0;
}

unsigned hex4(std::string_view s) {
  unsigned value = 0;
  std::from_chars(s.data(), s.data() + 4, value, 16);
  return value;
}

// Offset of the backslash of the first unpaired low surrogate escape in the
// raw string that ends with the closing quote at `close`.
size_t lone_low_surrogate_offset(std::string_view line, size_t close) {
  size_t i = opening_quote(line, close) + 1;
  while (i < close) {
    if (line[i] != '\\') {
      ++i;
      continue;
    }
    if (line[i + 1] != 'u') {
      i += 2;
      continue;
    }
    const unsigned unit = hex4(line.substr(i + 2, 4));
    if (unit >= 0xDC00 && unit <= 0xDFFF) return i;
    // A high surrogate escape is always followed by its low half here.
    i += (unit >= 0xD800 && unit <= 0xDBFF) ? 12 : 6;
  }
  return close;
}

// Whether the decoded string holds an encoded surrogate, which only an
// unpaired low surrogate escape can produce.
bool has_surrogate(const char* s, size_t n) {
  const char* end = s + n;
  while (const void* found = std::memchr(s, 0xED, static_cast<size_t>(end - s))) {
    s = static_cast<const char*>(found) + 1;
    if (s < end && static_cast<unsigned char>(*s) >= 0xA0) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// The record handler

enum class Slot : uint8_t { kToken, kTokenId, kMappedId, kCount, kSkipped };

constexpr const char* kExpectedStruct = "struct MappingEntry";

const char* expected_name(Slot slot) {
  switch (slot) {
    case Slot::kToken:
      return "a string";
    case Slot::kTokenId:
    case Slot::kCount:
      return "u32";
    case Slot::kMappedId:
      return "i32";
    case Slot::kSkipped:
      break;
  }
  return "";
}

const char* field_name(Slot slot) {
  switch (slot) {
    case Slot::kToken:
      return "token";
    case Slot::kTokenId:
      return "token_id";
    case Slot::kMappedId:
      return "mapped_id";
    case Slot::kCount:
      return "count";
    case Slot::kSkipped:
      break;
  }
  return "";
}

Slot slot_for_key(std::string_view key) {
  if (key == "token") return Slot::kToken;
  if (key == "token_id") return Slot::kTokenId;
  if (key == "mapped_id") return Slot::kMappedId;
  if (key == "count") return Slot::kCount;
  return Slot::kSkipped;
}

std::string invalid_type(std::string_view found, std::string_view expected) {
  std::string out = "invalid type: ";
  out += found;
  out += ", expected ";
  out += expected;
  return out;
}

// Receives the reader's events for one line. Depth 0 is outside the value,
// depth 1 directly inside the record's object or array; deeper events
// belong to skipped values and are only counted. Every `false` returned
// stops the reader with the failure recorded here.
class RecordHandler {
 public:
  RecordHandler(std::string_view line, const rapidjson::MemoryStream& stream,
                std::string* scratch)
      : line_(line), stream_(stream), scratch_(scratch) {}

  bool failed() const { return failed_; }
  const std::string& description() const { return description_; }
  uint64_t column() const { return column_; }

  // The record; valid once the reader has finished without failure.
  MappingEntry entry() const {
    return MappingEntry{std::string_view(*scratch_), token_id_, mapped_id_,
                        count_};
  }

  // --- Reader events (the names are the reader's) ---

  bool Null() {
    if (depth_ > 1) return true;
    if (depth_ == 0) return fail_here(invalid_type("null", kExpectedStruct));
    const Slot slot = take_slot();
    if (slot == Slot::kCount) {
      count_.reset();
    } else if (slot != Slot::kSkipped) {
      return fail_here(invalid_type("null", expected_name(slot)));
    }
    return after_value();
  }

  bool Bool(bool value) {
    if (depth_ > 1) return true;
    const char* found = value ? "boolean `true`" : "boolean `false`";
    if (depth_ == 0) return fail_here(invalid_type(found, kExpectedStruct));
    const Slot slot = take_slot();
    if (slot != Slot::kSkipped) {
      return fail_here(invalid_type(found, expected_name(slot)));
    }
    return after_value();
  }

  bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
    const std::string_view raw(text, length);
    // A zero followed by a digit is a leading zero, which JSON forbids; the
    // reader stops before the digit and leaves it to us.
    const size_t next = stream_.Tell();
    if ((raw == "0" || raw == "-0") && next < line_.size() &&
        line_[next] >= '0' && line_[next] <= '9') {
      return fail_at("invalid number", next + 1);
    }
    if (depth_ > 1) return true;
    const NumberClass number = classify_number(raw);
    if (depth_ == 0) {
      return fail_here(
          invalid_type(number_description(raw, number), kExpectedStruct));
    }
    const Slot slot = take_slot();
    switch (slot) {
      case Slot::kSkipped:
        break;
      case Slot::kToken:
        return fail_here(
            invalid_type(number_description(raw, number), "a string"));
      case Slot::kTokenId:
      case Slot::kCount: {
        if (number.kind == NumberClass::kFloat) {
          return fail_here(
              invalid_type(number_description(raw, number), "u32"));
        }
        if (number.kind == NumberClass::kNegative ||
            number.magnitude > UINT32_MAX) {
          return fail_here(invalid_value(raw, "u32"));
        }
        const auto value = static_cast<uint32_t>(number.magnitude);
        if (slot == Slot::kTokenId) {
          token_id_ = value;
        } else {
          count_ = value;
        }
        break;
      }
      case Slot::kMappedId: {
        if (number.kind == NumberClass::kFloat) {
          return fail_here(
              invalid_type(number_description(raw, number), "i32"));
        }
        const uint64_t limit = number.kind == NumberClass::kNegative
                                   ? uint64_t{1} << 31
                                   : (uint64_t{1} << 31) - 1;
        if (number.magnitude > limit) {
          return fail_here(invalid_value(raw, "i32"));
        }
        mapped_id_ = number.kind == NumberClass::kNegative
                         ? static_cast<int32_t>(-static_cast<int64_t>(
                               number.magnitude))
                         : static_cast<int32_t>(number.magnitude);
        break;
      }
    }
    return after_value();
  }

  bool String(const char* text, rapidjson::SizeType length, bool) {
    if (!check_surrogates(text, length)) return false;
    if (depth_ > 1) return true;
    if (depth_ == 0) {
      return fail_here(invalid_type(string_description(text, length),
                                    kExpectedStruct));
    }
    const Slot slot = take_slot();
    if (slot == Slot::kToken) {
      scratch_->assign(text, length);
    } else if (slot != Slot::kSkipped) {
      return fail_here(invalid_type(string_description(text, length),
                                    expected_name(slot)));
    }
    return after_value();
  }

  bool Key(const char* text, rapidjson::SizeType length, bool) {
    if (!check_surrogates(text, length)) return false;
    if (depth_ > 1) return true;
    pending_ = slot_for_key(std::string_view(text, length));
    if (pending_ == Slot::kSkipped) return true;
    const auto bit = static_cast<uint8_t>(1u << static_cast<int>(pending_));
    if (seen_ & bit) {
      return fail_here(std::string("duplicate field `") +
                       field_name(pending_) + "`");
    }
    seen_ |= bit;
    return true;
  }

  bool StartObject() { return start_container(Form::kObject, "map"); }
  bool StartArray() { return start_container(Form::kArray, "sequence"); }

  bool EndObject(rapidjson::SizeType) {
    if (depth_-- > 1) return true;
    for (Slot slot : {Slot::kToken, Slot::kTokenId, Slot::kMappedId}) {
      if (!(seen_ & (1u << static_cast<int>(slot)))) {
        return fail_at_bracket(std::string("missing field `") +
                               field_name(slot) + "`");
      }
    }
    return true;
  }

  bool EndArray(rapidjson::SizeType) {
    if (depth_-- > 1 || index_ == 4) return true;
    return fail_at_bracket("invalid length " + std::to_string(index_) +
                           ", expected struct MappingEntry with 4 elements");
  }

  // Never called: numbers arrive as RawNumber.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(int64_t) { return false; }
  bool Uint64(uint64_t) { return false; }
  bool Double(double) { return false; }

 private:
  enum class Form : uint8_t { kNone, kObject, kArray };

  bool start_container(Form form, const char* found) {
    if (depth_ == 0) {
      form_ = form;
      depth_ = 1;
      return true;
    }
    if (depth_ == 1) {
      const Slot slot = take_slot();
      if (slot != Slot::kSkipped) {
        return fail_at_bracket(invalid_type(found, expected_name(slot)));
      }
    }
    ++depth_;
    return true;
  }

  // The field that the value now arriving at depth 1 belongs to.
  Slot take_slot() {
    if (form_ == Form::kObject) return pending_;
    return static_cast<Slot>(index_);  // index_ < 4, see after_value
  }

  // Called after each accepted value at depth 1. An array ends after its
  // fourth element: anything but the closing bracket fails here, a fifth
  // element as "trailing characters" and a comma before the bracket as
  // "trailing comma"; anything else is left to the reader's syntax errors.
  bool after_value() {
    if (form_ != Form::kArray || ++index_ < 4) return true;
    size_t pos = skip_json_space(line_, stream_.Tell());
    if (pos >= line_.size() || line_[pos] != ',') {
      // The closing bracket, or a syntax error that the reader reports.
      return true;
    }
    pos = skip_json_space(line_, pos + 1);
    if (pos < line_.size() && line_[pos] == ']') {
      return fail_at("trailing comma", pos + 1);
    }
    return fail_at("trailing characters", column_at(line_, pos));
  }

  // Rejects a string holding a lone low surrogate escape.
  bool check_surrogates(const char* text, size_t length) {
    if (!has_surrogate(text, length)) return true;
    const size_t close = stream_.Tell() - 1;
    return fail_at(rapidjson::GetParseError_En(
                       rapidjson::kParseErrorStringUnicodeSurrogateInvalid),
                   lone_low_surrogate_offset(line_, close) + 1);
  }

  static std::string string_description(const char* text, size_t length) {
    std::string out = "string \"";
    out.append(text, length);
    out += '"';
    return out;
  }

  static std::string invalid_value(std::string_view raw,
                                   std::string_view expected) {
    std::string out = "invalid value: integer `";
    out += raw;
    out += "`, expected ";
    out += expected;
    return out;
  }

  // At the last byte of the value or key just read.
  bool fail_here(std::string description) {
    return fail_at(std::move(description), stream_.Tell());
  }
  // At the bracket the reader is looking at (not yet consumed).
  bool fail_at_bracket(std::string description) {
    return fail_at(std::move(description), stream_.Tell() + 1);
  }
  bool fail_at(std::string description, uint64_t column) {
    failed_ = true;
    description_ = std::move(description);
    column_ = column;
    return false;
  }

  std::string_view line_;
  const rapidjson::MemoryStream& stream_;
  std::string* scratch_;

  Form form_ = Form::kNone;
  size_t depth_ = 0;
  Slot pending_ = Slot::kSkipped;  // object form: the field of the last key
  uint8_t seen_ = 0;               // object form: bit per recognised key
  uint32_t index_ = 0;             // array form: elements read

  uint32_t token_id_ = 0;
  int32_t mapped_id_ = 0;
  std::optional<uint32_t> count_;

  bool failed_ = false;
  std::string description_;
  uint64_t column_ = 0;
};

}  // namespace
}  // namespace vonk

namespace rapidjson {

// The reader's number scanner, replaced for the record handler. It reads the
// same grammar (-? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?) and
// stops with the same syntax errors at the same offsets, but sets no bound
// on magnitude or exponent: the library's scanner refuses any number beyond
// the double range ("Number too big to be stored in double."), while the
// record rules skip such a value or read it as a floating-point value. The
// number reaches RawNumber as its raw text within the line; the stream is
// left just past it, where the handler's column rules expect it.
template <>
template <>
void Reader::ParseNumber<vonk::kReaderFlags, MemoryStream,
                         vonk::RecordHandler>(MemoryStream& is,
                                              vonk::RecordHandler& handler) {
  const size_t start = is.Tell();
  const char* const text = is.src_;
  const auto at_digit = [&is] { return is.Peek() >= '0' && is.Peek() <= '9'; };
  const auto skip_digits = [&] {
    while (at_digit()) is.Take();
  };
  if (is.Peek() == '-') is.Take();
  if (is.Peek() == '0') {
    is.Take();  // a digit after it is the handler's "invalid number"
  } else if (at_digit()) {
    skip_digits();
  } else {
    SetParseError(kParseErrorValueInvalid, is.Tell());
    return;
  }
  if (is.Peek() == '.') {
    is.Take();
    if (!at_digit()) {
      SetParseError(kParseErrorNumberMissFraction, is.Tell());
      return;
    }
    skip_digits();
  }
  if (is.Peek() == 'e' || is.Peek() == 'E') {
    is.Take();
    if (is.Peek() == '+' || is.Peek() == '-') is.Take();
    if (!at_digit()) {
      SetParseError(kParseErrorNumberMissExponent, is.Tell());
      return;
    }
    skip_digits();
  }
  if (!handler.RawNumber(text, static_cast<SizeType>(is.Tell() - start),
                         false)) {
    SetParseError(kParseErrorTermination, start);
  }
}

}  // namespace rapidjson

namespace vonk {
namespace {

// The previous byte before `offset` that is not JSON white space, or 0.
char previous_non_space(std::string_view line, size_t offset) {
  while (offset > 0) {
    const char c = line[--offset];
    if (!is_json_space(c)) return c;
  }
  return 0;
}

// Words a syntax error of the reader. A comma before a closing bracket and
// a malformed number get the record reader's own wording; every other
// error keeps the reader's.
CodecError syntax_error(std::string_view line, rapidjson::ParseErrorCode code,
                        size_t offset) {
  const char* description = rapidjson::GetParseError_En(code);
  const char at = offset < line.size() ? line[offset] : '\0';
  switch (code) {
    case rapidjson::kParseErrorValueInvalid:
      // Expected a value: after "[1," at "]", or after a minus sign.
      if (at == ']' && previous_non_space(line, offset) == ',') {
        description = "trailing comma";
      } else if (offset > 0 && line[offset - 1] == '-') {
        description = "invalid number";
      }
      break;
    case rapidjson::kParseErrorObjectMissName:
      // Expected a key: after "{...," at "}".
      if (at == '}' && previous_non_space(line, offset) == ',') {
        description = "trailing comma";
      }
      break;
    case rapidjson::kParseErrorNumberMissFraction:
    case rapidjson::kParseErrorNumberMissExponent:
      description = "invalid number";
      break;
    default:
      break;
  }
  return CodecError::json_error(description, 1, column_at(line, offset));
}

}  // namespace

Result<MappingEntry> parse_mapping_entry_general(std::string_view line,
                                                 std::string* scratch) {
  scratch->clear();
  rapidjson::MemoryStream stream(line.data(), line.size());
  RecordHandler handler(line, stream, scratch);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result =
      reader.Parse<kReaderFlags>(stream, handler);
  if (handler.failed()) {
    return CodecError::json_error(handler.description(), 1, handler.column());
  }
  if (result.IsError()) {
    return syntax_error(line, result.Code(), result.Offset());
  }
  const size_t rest = skip_json_space(line, stream.Tell());
  if (rest < line.size()) {
    return CodecError::json_error("trailing characters", 1, rest + 1);
  }
  return handler.entry();
}

}  // namespace vonk
