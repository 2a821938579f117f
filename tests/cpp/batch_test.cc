#include "batches/batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <variant>
#include <vector>

#include "batches/integer_layout.h"
#include "codec/codec.h"

namespace vonk {
namespace {

IntegerLayout layout_of(const std::vector<int64_t>& values) {
  return IntegerLayout::packed(std::span<const int64_t>(values));
}

// Documents of random lengths (empty ones among them) of mapped ids, one
// id out of range in document `bad` when it is not -1.
struct Documents {
  std::vector<int64_t> ids;
  std::vector<int64_t> offsets{0};
};

Documents make_documents(int count, uint32_t seed) {
  std::mt19937 rng(seed);
  Documents docs;
  for (int d = 0; d < count; ++d) {
    const size_t length = rng() % 4 == 0 ? 0 : rng() % 300;
    for (size_t i = 0; i < length; ++i) docs.ids.push_back(rng() % 50000);
    docs.offsets.push_back(static_cast<int64_t>(docs.ids.size()));
  }
  return docs;
}

// Runs a batch to its end in stretches of `budget`, as the Python layer
// does; returns the failure, if any.
template <typename Batch, typename Step>
std::optional<DocumentFailure> run(Batch* batch, size_t documents,
                                   Step step) {
  while (batch->next_document < documents) {
    if (auto failure = step()) return failure;
  }
  return std::nullopt;
}

TEST(BatchTest, StretchesOfAnyBudgetResumeWhereTheLastOneStopped) {
  Result<Codec> codec = Codec::open("cl100k_base");
  ASSERT_TRUE(codec.ok());
  const Documents docs = make_documents(60, 7);
  const IntegerLayout layout = layout_of(docs.ids);
  const size_t documents = docs.offsets.size() - 1;
  for (bool gzip : {false, true}) {
    PackedBatch whole;
    ASSERT_FALSE(pack_documents(codec.value(), layout, docs.offsets, gzip,
                                SIZE_MAX, &whole));
    ASSERT_EQ(whole.next_document, documents);
    for (size_t budget : {size_t{1}, size_t{97}}) {
      PackedBatch stretched;
      ASSERT_FALSE(run(&stretched, documents, [&] {
        return pack_documents(codec.value(), layout, docs.offsets, gzip,
                              budget, &stretched);
      }));
      EXPECT_EQ(stretched.payloads, whole.payloads) << budget;
      EXPECT_EQ(stretched.offsets, whole.offsets) << budget;

      UnpackedBatch unpacked;
      std::span<const uint8_t> payloads(whole.payloads.data(),
                                        whole.payloads.size());
      ASSERT_FALSE(run(&unpacked, documents, [&] {
        return unpack_documents(codec.value(), payloads, whole.offsets, gzip,
                                budget, &unpacked);
      }));
      EXPECT_EQ(unpacked.offsets, docs.offsets) << budget;
      std::vector<uint32_t> expected(docs.ids.begin(), docs.ids.end());
      EXPECT_EQ(unpacked.token_ids, std::span<const uint32_t>(expected));
    }
  }
}

TEST(BatchTest, AFailureNamesItsDocumentAndItsIndexInTheWholeSequence) {
  Result<Codec> codec = Codec::open("cl100k_base");
  ASSERT_TRUE(codec.ok());
  Documents docs = make_documents(40, 11);
  // The first id of the first non-empty document past the twentieth.
  size_t bad_document = 20;
  while (docs.offsets[bad_document] == docs.offsets[bad_document + 1]) {
    ++bad_document;
  }
  const auto bad_index = static_cast<size_t>(docs.offsets[bad_document]);
  docs.ids[bad_index] = -5;
  PackedBatch batch;
  std::optional<DocumentFailure> failure =
      run(&batch, docs.offsets.size() - 1, [&] {
        return pack_documents(codec.value(), layout_of(docs.ids), docs.offsets,
                              false, 1, &batch);
      });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->document, bad_document);
  const auto* fault = std::get_if<ElementFault>(&failure->reason);
  ASSERT_NE(fault, nullptr);
  EXPECT_EQ(fault->index, bad_index);
  EXPECT_TRUE(fault->negative);
  EXPECT_EQ(fault->magnitude, 5u);
}

// Widening works in blocks: a misfit past the first block is found at its
// own index, with its own value, in every layout.
TEST(WidenTest, AMisfitPastTheFirstBlockIsNamedExactly) {
  for (size_t at : {size_t{4095}, size_t{4096}, size_t{4097}, size_t{9000}}) {
    std::vector<int64_t> values(10000, 7);
    values[at] = int64_t{1} << 33;
    values[9999] = -1;  // a later misfit must not be the one reported
    for (bool reversed : {false, true}) {
      IntegerLayout layout = layout_of(values);
      if (reversed) {
        std::reverse(values.begin(), values.end());
        layout.data = reinterpret_cast<const std::byte*>(&values.back());
        layout.stride = -static_cast<ptrdiff_t>(sizeof(int64_t));
      }
      std::vector<uint32_t> out(values.size());
      ElementFault fault;
      ASSERT_FALSE(widen(layout, out.data(), &fault));
      EXPECT_EQ(fault.index, at) << at << (reversed ? " reversed" : "");
      EXPECT_FALSE(fault.negative);
      EXPECT_EQ(fault.magnitude, uint64_t{1} << 33);
      if (reversed) std::reverse(values.begin(), values.end());
    }
  }
}

}  // namespace
}  // namespace vonk
