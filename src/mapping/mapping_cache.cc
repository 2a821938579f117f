#include "mapping/mapping_cache.h"

#include <mutex>
#include <string>
#include <unordered_map>

#include "mapping/fx_hash.h"
#include "mapping/tokenizer_registry.h"

namespace vonk {
namespace {

// The process-wide cache: requested name -> shared mapping. Entries are
// never removed; the cache itself is never destroyed, so mappings outlive
// any Codec still alive at process exit.
struct MappingCache {
  std::mutex lock;
  std::unordered_map<std::string, std::shared_ptr<const TokenMapping>,
                     FxHasher, std::equal_to<>>
      entries;
};

MappingCache& the_cache() {
  static MappingCache* cache = new MappingCache();
  return *cache;
}

}  // namespace

Result<std::shared_ptr<const TokenMapping>> load_mapping(
    std::string_view name) {
  MappingCache& cache = the_cache();
  {
    std::lock_guard<std::mutex> guard(cache.lock);
    auto it = cache.entries.find(name);
    if (it != cache.entries.end()) return it->second;
  }

  std::optional<std::string_view> text = TokenizerRegistry::find(name);
  if (!text.has_value()) {
    return CodecError::tokenizer_not_found(name, TokenizerRegistry::list());
  }

  // Parse without the lock; two concurrent first loads of one name may both
  // build, and the later insert replaces the earlier entry.
  Result<std::shared_ptr<const TokenMapping>> built =
      TokenMapping::from_jsonl(*text);
  if (!built.ok()) return built;

  std::lock_guard<std::mutex> guard(cache.lock);
  cache.entries.insert_or_assign(std::string(name), built.value());
  return built;
}

}  // namespace vonk
