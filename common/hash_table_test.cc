#include <stdint.h>

#include <random>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "orv.h"

namespace {

struct Rec {
  int key;
  Rec *next;  // at a nonzero offset, so a table that ignores the offset is caught
};

int SameKey(const void *a, const void *b) {
  return static_cast<const Rec *>(a)->key == static_cast<const Rec *>(b)->key;
}
// Identity hash: a key's bucket is key AND mask, so chains and order are predictable.
uint32_t KeyHash(const void *r, const OrvHashTable *) {
  return static_cast<uint32_t>(static_cast<const Rec *>(r)->key);
}

// Random operations against a reference map, checking results, the links of returned records,
// the count, the growth and every chain after each step; then the generator, deleting what it
// returns; then the freed table, which refuses everything.
TEST(HashTable, AgreesWithReferenceMapOverRandomOperations) {
  const int kOps = 100000;
  std::mt19937 rng(12345);
  std::vector<Rec> pool(kOps);
  std::unordered_map<int, Rec *> model;
  OrvHashTable t;
  orvHashAllocTable(&t, 1, 0, offsetof(Rec, next), SameKey, KeyHash);
  ASSERT_TRUE(t.size == 2 && t.threshold == 6);  // at least two buckets; three records a bucket
  for (int i = 0; i < kOps; ++i) {
    Rec *rec = &pool[i], *old = nullptr;
    rec->key = static_cast<int>(rng() % 1024);
    if (model.count(rec->key)) old = model[rec->key];
    Rec *oldLink = old ? old->next : nullptr;
    const int size = t.size;
    switch (rng() % 4) {
      case 0:
        ASSERT_EQ(orvHashCreate(&t, rec), old ? rec : nullptr) << i;
        if (!old) model[rec->key] = rec;
        break;
      case 1:
        ASSERT_EQ(orvHashReplace(&t, rec), old) << i;
        model[rec->key] = rec;
        break;
      case 2:
        ASSERT_EQ(orvHashDelete(&t, rec), old) << i;
        model.erase(rec->key);
        break;
      default:
        ASSERT_EQ(orvHashProbe(&t, rec), old) << i;
        ASSERT_EQ(orvHashCreateAfterProbe(&t, rec), old ? rec : nullptr) << i;
        if (!old) model[rec->key] = rec;
    }
    ASSERT_TRUE(!old || old->next == oldLink) << "a returned record's link changed, step " << i;
    // Fourfold, once the record that reaches the threshold is in.
    ASSERT_TRUE(t.size == size || (t.size == 4 * size && t.count == 3 * size && !t.probeSlot)) << i;
    size_t seen = 0;
    for (int b = 0; b < t.size; ++b) {
      for (Rec *r = static_cast<Rec *>(t.buckets[b]); r != nullptr; r = r->next, ++seen) {
        ASSERT_TRUE(model[r->key] == r && (r->key & t.mask) == b) << "step " << i;
      }
    }
    ASSERT_TRUE(seen == model.size() && static_cast<size_t>(t.count) == seen) << i;
  }
  EXPECT_GE(t.size, 512);     // grown from 2 at least four times
  std::vector<void *> order;  // by bucket, each chain newest first
  for (int b = 0; b < t.size; ++b) {
    for (Rec *r = static_cast<Rec *>(t.buckets[b]); r != nullptr; r = r->next) order.push_back(r);
  }
  OrvHashGenerator *gen = orvHashStartGen(&t);
  void *r;
  for (size_t n = 0; n < order.size(); ++n) {
    ASSERT_TRUE(orvHashGen(gen, &r) == 1 && r == order[n]) << n;
    ASSERT_EQ(orvHashDelete(&t, r), r);
    static_cast<Rec *>(r)->next = nullptr;  // the caller may reuse a removed record at once
  }
  EXPECT_EQ(orvHashGen(gen, &r), 0);
  orvHashStopGen(gen);
  EXPECT_EQ(t.count, 0);
  orvHashFreeTable(&t);
  EXPECT_EQ(orvHashCreateAfterProbe(&t, &pool[0]), &pool[0]);
}

TEST(HashTable, DoubleHashUsesArithmeticShifts) {
  EXPECT_EQ(orvHashDouble(0.0), 0);
  EXPECT_EQ(orvHashDouble(1.0), 0x3FEFC7EF);
  EXPECT_EQ(orvHashDouble(-0.0), 0x7FC07FC0);
}

}  // namespace
