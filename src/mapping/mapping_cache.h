// The process-wide cache of loaded TokenMappings and its loader.
#ifndef VONK_MAPPING_MAPPING_CACHE_H_
#define VONK_MAPPING_MAPPING_CACHE_H_

#include <memory>
#include <string_view>

#include "error/result.h"
#include "mapping/token_mapping.h"

namespace vonk {

// Returns the shared TokenMapping of tokenizer `name`, building it from the
// registry's text on the first request for that exact name and caching it
// for the life of the process. Fails with TokenizerNotFound for a name the
// registry does not hold, or JsonError for a text that does not parse;
// nothing is cached after a failure. The cache lock is held only to probe
// and to insert, never while a text is parsed.
Result<std::shared_ptr<const TokenMapping>> load_mapping(std::string_view name);

}  // namespace vonk

#endif  // VONK_MAPPING_MAPPING_CACHE_H_
