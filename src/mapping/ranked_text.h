// The record text of a ranked vocabulary: what a mapping is saved as and
// loaded from, in the layout of the built-in mapping texts (one record per
// line, in ranking order).
#ifndef VONK_MAPPING_RANKED_TEXT_H_
#define VONK_MAPPING_RANKED_TEXT_H_

#include <string>
#include <string_view>

#include "error/result.h"
#include "mapping/ranked_vocabulary.h"

namespace vonk {

// Reads a mapping text with the record reader of the built-in texts and
// checks what a ranking needs: token ids 0..n-1 once each, records by count
// descending and equal counts by id ascending (every record must carry its
// count), and the mapped id of each position. Fails with a JsonError whose
// number() is the line (counted in the whole text, from 1; 0 when the text
// holds no record) and whose column() is the reader's column within the
// trimmed line for a record that does not read, 0 for a rule it breaks.
Result<RankedVocabulary> read_ranked_text(std::string_view text);

// The text of `vocabulary`, one line per record in ranking order, each
// ended by LF, in exactly the layout and escapes of the built-in texts.
// Counts beyond 32 bits are written as kLargestSavedCount. Ids without a
// text (a vocabulary with none) are written as "<|reserved_ID|>".
std::string render_ranked_text(const RankedVocabulary& vocabulary);

}  // namespace vonk

#endif  // VONK_MAPPING_RANKED_TEXT_H_
