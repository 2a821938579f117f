// Counting how often each token id occurs in a buffer of ids.
#ifndef VONK_BATCHES_TOKEN_COUNTS_H_
#define VONK_BATCHES_TOKEN_COUNTS_H_

#include <cstdint>
#include <span>

#include "batches/integer_layout.h"

namespace vonk {

// Adds one to counts[id] for every element of `ids`. Returns true, or false
// with *fault describing the first element that is no id below
// counts.size() (counts then hold the elements before it). Touches nothing
// but the layout's elements and the counts; allocates nothing.
bool count_token_ids(const IntegerLayout& ids, std::span<uint64_t> counts,
                     ElementFault* fault);

}  // namespace vonk

#endif  // VONK_BATCHES_TOKEN_COUNTS_H_
