#include "error/codec_error.h"

#include <utility>

namespace vonk {

CodecError CodecError::tokenizer_not_found(std::string_view name,
                                           std::vector<std::string> available) {
  CodecError e(Kind::kTokenizerNotFound, std::string(name), 0);
  e.available_ = std::move(available);
  return e;
}

CodecError CodecError::invalid_payload(std::string_view what) {
  return CodecError(Kind::kInvalidPayload, std::string(what), 0);
}

CodecError CodecError::json_error(std::string_view description, uint64_t line,
                                  uint64_t column) {
  CodecError e(Kind::kJsonError, std::string(description),
               static_cast<int64_t>(line));
  e.column_ = column;
  return e;
}

CodecError CodecError::token_id_not_found(uint32_t token_id) {
  return CodecError(Kind::kTokenIdNotFound, std::string(), token_id);
}

CodecError CodecError::mapped_id_not_found(int32_t mapped_id) {
  return CodecError(Kind::kMappedIdNotFound, std::string(), mapped_id);
}

CodecError CodecError::token_not_found(std::string_view token) {
  return CodecError(Kind::kTokenNotFound, std::string(token), 0);
}

std::string CodecError::display() const {
  std::string out;
  switch (kind_) {
    case Kind::kTokenizerNotFound: {
      size_t size = 60 + text_.size();
      for (const std::string& name : available_) size += name.size() + 2;
      out.reserve(size);
      out += "Mapping for tokenizer '";
      out += text_;
      out += "' not found. Available: ";
      for (size_t i = 0; i < available_.size(); ++i) {
        if (i > 0) out += ", ";
        out += available_[i];
      }
      break;
    }
    case Kind::kInvalidPayload:
      out = "Invalid payload: " + text_;
      break;
    case Kind::kJsonError:
      out = "JSON parsing error: " + text_;
      if (number_ != 0) {
        out += " at line " + std::to_string(number_) + " column " +
               std::to_string(column_);
      }
      break;
    case Kind::kTokenIdNotFound:
      out = "Token ID " + std::to_string(static_cast<uint32_t>(number_)) +
            " not found in mapping";
      break;
    case Kind::kMappedIdNotFound:
      out = "Mapped ID " + std::to_string(static_cast<int32_t>(number_)) +
            " not found in reverse mapping";
      break;
    case Kind::kTokenNotFound:
      out = "Token '" + text_ + "' not found in mapping";
      break;
  }
  return out;
}

}  // namespace vonk
