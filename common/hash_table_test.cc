#include <stdint.h>

#include <random>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "orv.h"

namespace {

struct Rec {
  int key;
  Rec *next;  // link at a nonzero offset, so a table that ignores the offset is caught
};

int SameKey(const void *stored, const void *key) {
  return static_cast<const Rec *>(stored)->key == static_cast<const Rec *>(key)->key;
}
// Identity hash: a key's bucket is key AND mask, so chains and order are predictable.
uint32_t KeyHash(const void *record, const OrvHashTable *) {
  return static_cast<uint32_t>(static_cast<const Rec *>(record)->key);
}

void MakeTable(OrvHashTable &t, int size = 0, int loadFactor = 0) {
  orvHashAllocTable(&t, size, loadFactor, offsetof(Rec, next), SameKey, KeyHash);
}

std::vector<int> GenerateKeys(OrvHashTable &t) {
  std::vector<int> keys;
  OrvHashGenerator *gen = orvHashStartGen(&t);
  void *r;
  while (orvHashGen(gen, &r)) keys.push_back(static_cast<Rec *>(r)->key);
  orvHashStopGen(gen);
  return keys;
}

TEST(HashTable, SetUpRoundsSizeAndDerivesThreshold) {
  struct {
    int size, loadFactor, wantSize, wantThreshold;
  } cases[] = {{0, 0, 64, 192}, {-3, -1, 64, 192}, {1, 0, 2, 6},      {2, 1, 2, 2},
               {3, 2, 4, 8},    {65, 0, 128, 384}, {100, 5, 128, 640}};
  for (const auto &c : cases) {
    OrvHashTable t;
    MakeTable(t, c.size, c.loadFactor);
    EXPECT_EQ(t.size, c.wantSize) << c.size;
    EXPECT_EQ(t.mask, c.wantSize - 1) << c.size;
    EXPECT_EQ(t.threshold, c.wantThreshold) << c.size;
    orvHashFreeTable(&t);
  }
}

TEST(HashTable, GrowsFourfoldWhenCountReachesThreshold) {
  OrvHashTable t;
  MakeTable(t);
  std::vector<Rec> recs(192);
  for (int i = 0; i < 191; ++i) {
    recs[i].key = i * 7;
    ASSERT_EQ(orvHashCreate(&t, &recs[i]), nullptr);
  }
  EXPECT_EQ(t.size, 64);
  recs[191].key = 191 * 7;
  ASSERT_EQ(orvHashProbe(&t, &recs[191]), nullptr);
  ASSERT_EQ(orvHashCreateAfterProbe(&t, &recs[191]), nullptr);  // the 192nd record grows it
  EXPECT_EQ(t.size, 256);
  EXPECT_EQ(t.mask, 255);
  EXPECT_EQ(t.threshold, 768);
  EXPECT_EQ(t.probeSlot, nullptr);  // the remembered bucket belonged to the old array
  for (int i = 0; i < 192; ++i) EXPECT_EQ(orvHashProbe(&t, &recs[i]), &recs[i]) << i;
  orvHashFreeTable(&t);
}

TEST(HashTable, OperationsFollowTheirContract) {
  enum Op { kCreate, kReplace, kDelete, kProbe, kCreateAfterProbe };
  // Each row acts with record `arg` (an index into recs); `want` is the index of the record
  // expected back, -1 for NULL.
  struct {
    Op op;
    int arg, want, count;
  } steps[] = {
      {kCreate, 0, -1, 1},
      {kCreate, 1, 1, 1},  // equal key present: argument back
      {kReplace, 2, 0, 1},
      {kProbe, 1, 2, 1},  // replaced record is found
      {kReplace, 3, -1, 2},
      {kDelete, 4, -1, 2},  // absent: inserted / nothing removed
      {kDelete, 1, 2, 1},
      {kProbe, 1, -1, 1},  // miss remembers the bucket
      {kCreateAfterProbe, 5, -1, 2},
      {kProbe, 3, 3, 2},  // hit forgets it
      {kCreateAfterProbe, 6, 6, 2},
  };
  //                  0  1  2  3  4  5  6
  std::vector<int> keys{1, 1, 1, 2, 9, 1, 2};
  std::vector<Rec> recs;
  for (int k : keys) recs.push_back({k, nullptr});
  OrvHashTable t;
  MakeTable(t);
  for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
    void *arg = &recs[steps[i].arg];
    void *got = nullptr;
    switch (steps[i].op) {
      case kCreate:
        got = orvHashCreate(&t, arg);
        break;
      case kReplace:
        got = orvHashReplace(&t, arg);
        break;
      case kDelete:
        got = orvHashDelete(&t, arg);
        break;
      case kProbe:
        got = orvHashProbe(&t, arg);
        break;
      case kCreateAfterProbe:
        got = orvHashCreateAfterProbe(&t, arg);
        break;
    }
    EXPECT_EQ(got, steps[i].want < 0 ? nullptr : &recs[steps[i].want]) << "step " << i;
    EXPECT_EQ(t.count, steps[i].count) << "step " << i;
  }
  orvHashFreeTable(&t);
  Rec r{1, nullptr};
  EXPECT_EQ(orvHashCreate(&t, &r), nullptr);
  EXPECT_EQ(orvHashProbe(&t, &r), nullptr);
  EXPECT_EQ(orvHashCreateAfterProbe(&t, &r), &r);  // the remembered slot died with the array
  EXPECT_EQ(t.count, 0);
}

TEST(HashTable, ReplaceAndDeleteLeaveTheOldLinkAndNewRecordsGoFirst) {
  OrvHashTable t;
  MakeTable(t);
  Rec a{1, nullptr}, b{65, nullptr}, b2{65, nullptr}, c{2, nullptr};  // 1 and 65 share a bucket
  orvHashCreate(&t, &a);
  orvHashCreate(&t, &b);
  orvHashCreate(&t, &c);
  EXPECT_EQ(GenerateKeys(t), (std::vector<int>{65, 1, 2}));
  EXPECT_EQ(orvHashReplace(&t, &b2), &b);
  EXPECT_EQ(b.next, &a);
  EXPECT_EQ(orvHashDelete(&t, &b2), &b2);
  EXPECT_EQ(b2.next, &a);
  EXPECT_EQ(GenerateKeys(t), (std::vector<int>{1, 2}));
  orvHashFreeTable(&t);
}

TEST(HashTable, GeneratorSurvivesDeletingTheRecordJustReturned) {
  OrvHashTable t;
  MakeTable(t);
  EXPECT_TRUE(GenerateKeys(t).empty());
  std::vector<Rec> recs{{5, nullptr}, {3, nullptr}, {67, nullptr}, {64, nullptr}};
  for (Rec &r : recs) orvHashCreate(&t, &r);
  std::vector<int> seen;
  OrvHashGenerator *gen = orvHashStartGen(&t);
  void *r;
  while (orvHashGen(gen, &r)) {
    seen.push_back(static_cast<Rec *>(r)->key);
    ASSERT_EQ(orvHashDelete(&t, r), r);
    static_cast<Rec *>(r)->next = nullptr;  // as if the caller reused the removed record
  }
  EXPECT_EQ(orvHashGen(gen, &r), 0);
  orvHashStopGen(gen);
  EXPECT_EQ(seen, (std::vector<int>{64, 67, 3, 5}));
  EXPECT_EQ(t.count, 0);
  orvHashFreeTable(&t);
}

TEST(HashTable, AgreesWithReferenceMapOverRandomOperations) {
  const int kOps = 100000, kKeys = 1024;
  std::mt19937 rng(12345);
  std::vector<Rec> pool(kOps);
  std::unordered_map<int, Rec *> model;
  OrvHashTable t;
  MakeTable(t, 1);
  for (int i = 0; i < kOps; ++i) {
    Rec *rec = &pool[i];
    rec->key = static_cast<int>(rng() % kKeys);
    auto it = model.find(rec->key);
    Rec *old = it == model.end() ? nullptr : it->second;
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
        if (!old) {
          ASSERT_EQ(orvHashCreateAfterProbe(&t, rec), nullptr) << i;
          model[rec->key] = rec;
        }
    }
    ASSERT_EQ(static_cast<size_t>(t.count), model.size()) << i;
    size_t seen = 0;
    for (int b = 0; b < t.size; ++b) {
      for (Rec *r = static_cast<Rec *>(t.buckets[b]); r != nullptr; r = r->next, ++seen) {
        ASSERT_EQ(model[r->key], r) << "step " << i << " key " << r->key;
        ASSERT_EQ(KeyHash(r, &t) & static_cast<uint32_t>(t.mask), static_cast<uint32_t>(b));
      }
    }
    ASSERT_EQ(seen, model.size()) << i;
  }
  EXPECT_GT(t.size, 256);  // growth happened more than once along the way
  orvHashFreeTable(&t);
}

TEST(HashTable, DoubleHashUsesArithmeticShifts) {
  struct {
    double value;
    uint32_t want;
  } cases[] = {{0.0, 0}, {1.0, 0x3FEFC7EF}, {-0.0, 0x7FC07FC0}};
  for (const auto &c : cases) {
    EXPECT_EQ(static_cast<uint32_t>(orvHashDouble(c.value)), c.want) << c.value;
  }
}

}  // namespace
