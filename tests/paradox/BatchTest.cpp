// The batch's key filter on its own: a batch refuses a duplicate key only through it, and skips the
// look at the blocks for every key it has not seen.
#include <gtest/gtest.h>

#include "platform/paradox/PdxBatch.h"

using namespace paradox::detail;

namespace {

// A key as the engine stores a Long: four bytes, big-endian, the sign bit flipped.
uint64_t LongKeyHash(uint32_t k) {
  const uint8_t key[4] = {uint8_t((k >> 24) ^ 0x80), uint8_t(k >> 16), uint8_t(k >> 8), uint8_t(k)};
  return KeyHash(key, 4);
}

}  // namespace

// Every key given is a "perhaps", across the growth from stage to stage (the first holds 2^18
// keys), and a key never given is seldom one: with 16 bits a key about one in a thousand a full
// stage, with 48 (the unique-value filters) about one in a million.
TEST(ParadoxBatch, KeyFilterAnswersPerhapsForEveryKeyGivenAndSeldomForOthers) {
  struct TCase {
    size_t BitsPerKey;
    uint32_t Keys;
    uint32_t Others;
    uint32_t MostWrong;  // wrong "perhaps" among the others
  } cases[] = {
      {16, 100000, 1000000, 200},
      {16, 900000, 1000000, 4000},  // three stages
      {48, 300000, 1000000, 20},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.BitsPerKey << " bits, " << c.Keys << " keys");
    TKeyFilter filter(c.BitsPerKey);
    for (uint32_t k = 0; k < c.Keys; ++k) filter.Add(LongKeyHash(k));
    uint32_t missed = 0, wrong = 0;
    for (uint32_t k = 0; k < c.Keys; ++k) missed += !filter.MayHold(LongKeyHash(k));
    for (uint32_t k = c.Keys; k < c.Keys + c.Others; ++k) wrong += filter.MayHold(LongKeyHash(k));
    EXPECT_EQ(missed, 0u);
    EXPECT_LE(wrong, c.MostWrong);
    filter.Clear();
    EXPECT_FALSE(filter.MayHold(LongKeyHash(0)));
  }
}
