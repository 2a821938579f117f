// Fuzz target of TokenMapping::from_jsonl.
//
// The input is a mapping text. The target reads it a second way, with its
// own splitting at LF and trimming of Unicode White_Space and with
// parse_mapping_entry per line, into a model of the four tables (the last
// record carrying a key decides its value). Properties checked:
//  - from_jsonl succeeds exactly when every line parses, and otherwise fails
//    with the first failing line's error;
//  - on success each table has the model's size and every lookup gives the
//    model's value for every key, and misses, with the right error, for a
//    key next to each one that the model does not hold;
//  - when the text is also a valid ranking (read_ranked_text accepts it),
//    the tables built from that ranking equal the model too, and its
//    rendered text reads back to the same ranking and counts and renders
//    to the same bytes again.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "error/codec_error.h"
#include "fuzz_check.h"
#include "mapping/ranked_text.h"
#include "mapping/record.h"
#include "mapping/token_mapping.h"

namespace {

using vonk::CodecError;
using vonk::MappingEntry;
using vonk::TokenMapping;

// Length of the White_Space character that ends at (at_end) or starts at
// the edge of `s`, or 0.
size_t white_space_at(std::string_view s, bool at_end) {
  static constexpr std::string_view kMultiByte[] = {
      "\xc2\x85",     "\xc2\xa0",     "\xe1\x9a\x80", "\xe2\x80\x80",
      "\xe2\x80\x81", "\xe2\x80\x82", "\xe2\x80\x83", "\xe2\x80\x84",
      "\xe2\x80\x85", "\xe2\x80\x86", "\xe2\x80\x87", "\xe2\x80\x88",
      "\xe2\x80\x89", "\xe2\x80\x8a", "\xe2\x80\xa8", "\xe2\x80\xa9",
      "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80"};
  if (s.empty()) return 0;
  const char edge = at_end ? s.back() : s.front();
  if ((edge >= '\t' && edge <= '\r') || edge == ' ') return 1;
  for (std::string_view w : kMultiByte) {
    if (at_end ? s.ends_with(w) : s.starts_with(w)) return w.size();
  }
  return 0;
}

std::string_view trim(std::string_view s) {
  while (size_t n = white_space_at(s, false)) s.remove_prefix(n);
  while (size_t n = white_space_at(s, true)) s.remove_suffix(n);
  return s;
}

struct Model {
  std::map<std::string, int32_t> token_to_mapped;
  std::map<uint32_t, int32_t> token_id_to_mapped;
  std::map<int32_t, uint32_t> mapped_to_token_id;
  std::map<int32_t, std::string> mapped_to_token;
};

void check_tables(const TokenMapping& mapping, const Model& model) {
  FUZZ_CHECK(mapping.token_count() == model.token_to_mapped.size());
  FUZZ_CHECK(mapping.token_id_count() == model.token_id_to_mapped.size());
  FUZZ_CHECK(mapping.mapped_id_count() == model.mapped_to_token_id.size());
  FUZZ_CHECK(model.mapped_to_token.size() == model.mapped_to_token_id.size());

  for (const auto& [token, mapped] : model.token_to_mapped) {
    vonk::Result<int32_t> r = mapping.mapped_id_for_token(token);
    FUZZ_CHECK(r.ok() && r.value() == mapped);
    const std::string near = token + "\x01";
    if (!model.token_to_mapped.contains(near)) {
      vonk::Result<int32_t> miss = mapping.mapped_id_for_token(near);
      FUZZ_CHECK(!miss.ok());
      FUZZ_CHECK(miss.error().kind() == CodecError::Kind::kTokenNotFound);
      FUZZ_CHECK(miss.error().text() == near);
    }
  }

  for (const auto& [token_id, mapped] : model.token_id_to_mapped) {
    vonk::Result<int32_t> r = mapping.mapped_id_for_token_id(token_id);
    FUZZ_CHECK(r.ok() && r.value() == mapped);
    // The mapped id a token id leads to is a key of both reverse tables.
    FUZZ_CHECK(model.mapped_to_token_id.contains(mapped));
    FUZZ_CHECK(mapping.token_id_for_mapped_id(mapped).ok());
    FUZZ_CHECK(mapping.token_for_mapped_id(mapped).ok());
    const uint32_t near = token_id + 1;
    if (!model.token_id_to_mapped.contains(near)) {
      vonk::Result<int32_t> miss = mapping.mapped_id_for_token_id(near);
      FUZZ_CHECK(!miss.ok());
      FUZZ_CHECK(miss.error().kind() == CodecError::Kind::kTokenIdNotFound);
      FUZZ_CHECK(miss.error().number() == near);
    }
  }

  for (const auto& [mapped, token_id] : model.mapped_to_token_id) {
    vonk::Result<uint32_t> r = mapping.token_id_for_mapped_id(mapped);
    FUZZ_CHECK(r.ok() && r.value() == token_id);
    vonk::Result<std::string_view> t = mapping.token_for_mapped_id(mapped);
    FUZZ_CHECK(t.ok() && t.value() == model.mapped_to_token.at(mapped));
    // The token id a mapped id leads to is a key of the forward table.
    FUZZ_CHECK(model.token_id_to_mapped.contains(token_id));
    const int32_t near = static_cast<int32_t>(static_cast<uint32_t>(mapped) + 1);
    if (!model.mapped_to_token_id.contains(near)) {
      vonk::Result<uint32_t> miss = mapping.token_id_for_mapped_id(near);
      FUZZ_CHECK(!miss.ok());
      FUZZ_CHECK(miss.error().kind() == CodecError::Kind::kMappedIdNotFound);
      FUZZ_CHECK(miss.error().number() == near);
      vonk::Result<std::string_view> tmiss = mapping.token_for_mapped_id(near);
      FUZZ_CHECK(!tmiss.ok());
      FUZZ_CHECK(tmiss.error().kind() == CodecError::Kind::kMappedIdNotFound);
      FUZZ_CHECK(tmiss.error().number() == near);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vonk::Result<std::shared_ptr<const TokenMapping>> built =
      TokenMapping::from_jsonl(text);

  Model model;
  std::string scratch;
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t lf = rest.find('\n');
    const std::string_view piece = rest.substr(0, lf);
    rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
    const std::string_view line = trim(piece);
    if (line.empty()) continue;
    vonk::Result<MappingEntry> entry = vonk::parse_mapping_entry(line, &scratch);
    if (!entry.ok()) {
      FUZZ_CHECK(!built.ok());
      FUZZ_CHECK(built.error().kind() == CodecError::Kind::kJsonError);
      FUZZ_CHECK(built.error().display() == entry.error().display());
      return 0;
    }
    const MappingEntry& e = entry.value();
    model.token_to_mapped[std::string(e.token)] = e.mapped_id;
    model.token_id_to_mapped[e.token_id] = e.mapped_id;
    model.mapped_to_token_id[e.mapped_id] = e.token_id;
    model.mapped_to_token[e.mapped_id] = std::string(e.token);
  }
  FUZZ_CHECK(built.ok());
  check_tables(*built.value(), model);

  vonk::Result<vonk::RankedVocabulary> ranked = vonk::read_ranked_text(text);
  if (ranked.ok()) {
    const vonk::RankedVocabulary& vocabulary = ranked.value();
    check_tables(*TokenMapping::from_vocabulary(vocabulary), model);
    const std::string rendered = vonk::render_ranked_text(vocabulary);
    vonk::Result<vonk::RankedVocabulary> again =
        vonk::read_ranked_text(rendered);
    FUZZ_CHECK(again.ok());
    FUZZ_CHECK(again.value().ranking == vocabulary.ranking);
    FUZZ_CHECK(again.value().counts == vocabulary.counts);
    FUZZ_CHECK(vonk::render_ranked_text(again.value()) == rendered);
  }
  return 0;
}
