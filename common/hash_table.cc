// hash_table.cc - chained hash table over caller-owned records that carry their own next link.
//
// The table never allocates, copies or frees a record; it owns only its bucket array. Bucket
// counts are powers of two so that a record's bucket is its hash AND mask.
//
// Allocation failure (the table itself does not report errors):
//   - set-up whose bucket array cannot be allocated leaves the table in the freed state (no bucket
//     array, size 0), so every operation on it returns NULL without effect;
//   - growth whose new array cannot be allocated keeps the old array and goes on working at a
//     higher load; the next insertion tries to grow again;
//   - a generator that cannot be allocated is reported as NULL, which HashGen treats as an
//     exhausted iteration.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "hash_table.h"

namespace {

const int kDefaultSize = 64;
const int kDefaultLoadFactor = 3;
// Largest bucket count reachable without overflowing the signed 32-bit size and index.
const int32_t kMaxSize = INT32_C(1) << 30;

// The link is a pointer field of the record, hence pointer-aligned.
void **LinkSlot(const OrvHashTable *table, void *record) {
  return reinterpret_cast<void **>(static_cast<char *>(record) + table->linkOffset);
}

void *LinkOf(const OrvHashTable *table, void *record) {
  return *LinkSlot(table, record);
}

void SetLink(const OrvHashTable *table, void *record, void *next) {
  *LinkSlot(table, record) = next;
}

void **AllocBuckets(int32_t size) {
  return static_cast<void **>(calloc(static_cast<size_t>(size), sizeof(void *)));
}

void **BucketOf(const OrvHashTable *table, const void *record) {
  uint32_t hash = table->hash(record, table);
  return &table->buckets[hash & static_cast<uint32_t>(table->mask)];
}

// The slot (a bucket head or the link of the preceding record) that points at the record equal to
// key, or NULL; unlinking and replacing then need no second walk.
void **FindSlot(const OrvHashTable *table, void **head, const void *key) {
  void **slot = head;
  while (*slot != nullptr) {
    if (table->compare(*slot, key)) return slot;
    slot = LinkSlot(table, *slot);
  }
  return nullptr;
}

bool Usable(const OrvHashTable *table) {
  return table != nullptr && table->buckets != nullptr;
}

void RebuildTable(OrvHashTable *table) {
  if (table->size < 1) return;
  if (table->threshold < 1) table->threshold = 3 * table->size;
  // Growth clears the probe slot even when it fails, so a caller never relies on a slot that
  // might have moved.
  table->probeSlot = nullptr;
  if (table->size > kMaxSize / 4) return;
  int32_t newSize = table->size * 4;
  void **fresh = AllocBuckets(newSize);
  if (fresh == nullptr) return;

  void **old = table->buckets;
  int32_t oldSize = table->size;
  table->buckets = fresh;
  table->size = newSize;
  table->mask = newSize - 1;
  table->threshold = table->threshold > INT32_MAX / 4 ? INT32_MAX : table->threshold * 4;
  for (int32_t i = 0; i < oldSize; ++i) {
    void *record = old[i];
    while (record != nullptr) {
      void *next = LinkOf(table, record);
      void **head = BucketOf(table, record);
      SetLink(table, record, *head);
      *head = record;
      record = next;
    }
  }
  free(old);
}

void LinkAtHead(OrvHashTable *table, void **head, void *record) {
  SetLink(table, record, *head);
  *head = record;
  ++table->count;
  if (table->count >= table->threshold) RebuildTable(table);
}

}  // namespace

namespace orv {

void HashAllocTable(OrvHashTable *table, int initialSize, int loadFactor, int linkOffset,
                       OrvHashCompareFunc compare, OrvHashFunc hash) {
  if (table == nullptr) return;
  if (initialSize < 1) initialSize = kDefaultSize;
  int32_t size = 2;
  while (size < initialSize && size < kMaxSize) size *= 2;
  if (loadFactor < 1) loadFactor = kDefaultLoadFactor;

  table->size = size;
  table->mask = size - 1;
  int64_t threshold = static_cast<int64_t>(loadFactor) * size;
  table->threshold = threshold > INT32_MAX ? INT32_MAX : static_cast<int32_t>(threshold);
  table->count = 0;
  table->probeSlot = nullptr;
  table->linkOffset = linkOffset;
  table->compare = compare;
  table->hash = hash;
  table->buckets = AllocBuckets(size);
  if (table->buckets == nullptr) table->size = 0;
}

void HashFreeTable(OrvHashTable *table) {
  if (table == nullptr) return;
  free(table->buckets);
  table->buckets = nullptr;
  table->size = 0;
  table->count = 0;
  // The remembered slot pointed into the array just freed; forgetting it makes a later
  // HashCreateAfterProbe refuse instead of writing into freed memory.
  table->probeSlot = nullptr;
}

void *HashCreate(OrvHashTable *table, void *record) {
  if (!Usable(table) || record == nullptr) return nullptr;
  void **head = BucketOf(table, record);
  if (FindSlot(table, head, record) != nullptr) return record;
  LinkAtHead(table, head, record);
  return nullptr;
}

void *HashReplace(OrvHashTable *table, void *record) {
  if (!Usable(table) || record == nullptr) return nullptr;
  void **head = BucketOf(table, record);
  void **slot = FindSlot(table, head, record);
  if (slot == nullptr) {
    LinkAtHead(table, head, record);
    return nullptr;
  }
  void *old = *slot;
  SetLink(table, record, LinkOf(table, old));
  *slot = record;
  return old;
}

void *HashDelete(OrvHashTable *table, const void *key) {
  if (!Usable(table) || key == nullptr) return nullptr;
  void **slot = FindSlot(table, BucketOf(table, key), key);
  if (slot == nullptr) return nullptr;
  void *old = *slot;
  *slot = LinkOf(table, old);
  --table->count;
  return old;
}

void *HashProbe(OrvHashTable *table, const void *key) {
  if (!Usable(table) || key == nullptr) return nullptr;
  void **head = BucketOf(table, key);
  table->probeSlot = head;
  void **slot = FindSlot(table, head, key);
  if (slot == nullptr) return nullptr;
  table->probeSlot = nullptr;
  return *slot;
}

void *HashCreateAfterProbe(OrvHashTable *table, void *record) {
  if (table == nullptr || record == nullptr) return nullptr;
  if (table->probeSlot == nullptr || table->buckets == nullptr) return record;
  LinkAtHead(table, table->probeSlot, record);
  return nullptr;
}

OrvHashGenerator *HashStartGen(OrvHashTable *table) {
  if (table == nullptr) return nullptr;
  OrvHashGenerator *gen = static_cast<OrvHashGenerator *>(malloc(sizeof *gen));
  if (gen == nullptr) return nullptr;
  gen->table = table;
  gen->bucket = 0;
  // A table without buckets yields nothing rather than reading through a null array.
  gen->next = (table->buckets != nullptr && table->size > 0) ? table->buckets[0] : nullptr;
  return gen;
}

int HashGen(OrvHashGenerator *gen, void **record) {
  if (gen == nullptr || record == nullptr) return 0;
  const OrvHashTable *table = gen->table;
  while (gen->next == nullptr) {
    if (gen->bucket >= table->size || table->buckets == nullptr) return 0;
    ++gen->bucket;
    if (gen->bucket >= table->size) return 0;
    gen->next = table->buckets[gen->bucket];
  }
  *record = gen->next;
  gen->next = LinkOf(table, gen->next);
  return 1;
}

void HashStopGen(OrvHashGenerator *gen) {
  free(gen);
}

int32_t HashDouble(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  int32_t h = static_cast<int32_t>(static_cast<uint32_t>(bits) ^ static_cast<uint32_t>(bits >> 32));
  // Arithmetic shifts: the sign bit is copied in (GCC and Clang define >> on negative values so).
  h ^= h >> 16;
  h ^= h >> 9;
  return h;
}

}  // namespace orv
