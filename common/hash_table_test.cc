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
int K(const void *r) {
  return static_cast<const Rec *>(r)->key;
}

// Random operations against a reference map, checking results, the links of returned records,
// the count, the growth and every chain after each step; then the generator, deleting what it
// returns; then the freed table, which refuses everything.
TEST(HashTable, AgreesWithReferenceMapOverRandomOperations) {
  std::mt19937 rng(12345);
  std::vector<Rec> pool(100000);
  std::unordered_map<int, Rec *> model;
  OrvHashTable t;
  // Identity hash: a key's bucket is key AND mask, so chains and order are predictable.
  orvHashAllocTable(
      &t, 1, 0, offsetof(Rec, next), [](const void *a, const void *b) { return int{K(a) == K(b)}; },
      [](const void *r, const OrvHashTable *) { return static_cast<uint32_t>(K(r)); });
  ASSERT_TRUE(t.size == 2 && t.threshold == 6);  // at least two buckets; three records a bucket
  for (int i = 0; i < static_cast<int>(pool.size()); ++i) {
    Rec *rec = &pool[i], *old = nullptr;
    rec->key = static_cast<int>(rng() % 1024);
    if (model.count(rec->key)) old = model[rec->key];
    Rec *oldLink = old ? old->next : nullptr;
    const int size = t.size;
    // Create, Replace, Delete, or Probe then CreateAfterProbe; each returns the record it did not
    // store (old for Replace and Delete; the new one when Create finds its key taken).
    const int op = static_cast<int>(rng() % 4);
    ASSERT_TRUE(op != 3 || orvHashProbe(&t, rec) == old) << i;
    void *got = op == 0   ? orvHashCreate(&t, rec)
                : op == 1 ? orvHashReplace(&t, rec)
                : op == 2 ? orvHashDelete(&t, rec)
                          : orvHashCreateAfterProbe(&t, rec);
    ASSERT_EQ(got, op == 1 || op == 2 ? old : old ? rec : nullptr) << "step " << i << " op " << op;
    if (op == 2) {
      model.erase(rec->key);
    } else if (op == 1 || !old) {
      model[rec->key] = rec;
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

}  // namespace
