// registry.cc - the registry of the file paths on which this process holds Edit Locks, released
// at normal process exit. Paths are kept as the application gave them: two spellings of one file
// are two entries.
#include "registry.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "posix_io.h"

RegistryHandle *hashTableHandle = nullptr;

namespace {

int vakCompareHashElement(const void *stored, const void *key) {
  const RegistryEntry *a = static_cast<const RegistryEntry *>(stored);
  const RegistryEntry *b = static_cast<const RegistryEntry *>(key);
  return a != nullptr && b != nullptr && a->filePath != nullptr && b->filePath != nullptr &&
         strcmp(a->filePath, b->filePath) == 0;
}

uint32_t vakFilePathHash(const void *record, const OrvHashTable *) {
  return orvHashString(static_cast<const RegistryEntry *>(record)->filePath);
}

OrvHashTable *Table() {
  return hashTableHandle != nullptr ? hashTableHandle->table : nullptr;
}

}  // namespace

// A registry whose creation failed for lack of memory is tried again on the next registration;
// until it exists nothing is recorded (the caller then gives the lock back, see the API).
int vakInitHashTable(void) {
  if (hashTableHandle != nullptr) return 1;
  orv::MallocPtr<RegistryHandle> handle(
      static_cast<RegistryHandle *>(calloc(1, sizeof(RegistryHandle))));
  orv::MallocPtr<OrvHashTable> table(static_cast<OrvHashTable *>(calloc(1, sizeof(OrvHashTable))));
  if (handle == nullptr || table == nullptr) return 0;
  orvHashAllocTable(table.get(), 0, 0, offsetof(RegistryEntry, link), vakCompareHashElement,
                    vakFilePathHash);
  if (table->buckets == nullptr) return 0;
  handle->table = table.release();
  handle->generator = nullptr;
  hashTableHandle = handle.release();
  return 1;
}

int vakHashAddEntry(const char *filePath) {
  if (filePath == nullptr || *filePath == '\0') return 0;
  if (!vakInitHashTable()) return 0;
  RegistryEntry key = {nullptr, const_cast<char *>(filePath)};
  if (vakIntHashProbe(&key) != nullptr) return 1;
  orv::MallocPtr<RegistryEntry> entry(
      static_cast<RegistryEntry *>(calloc(1, sizeof(RegistryEntry))));
  if (entry == nullptr) return 0;
  entry->filePath = strdup(filePath);
  if (entry->filePath == nullptr) return 0;
  vakIntHashInsert(entry.release());
  return 1;
}

int vakHashDeleteEntry(const char *filePath) {
  if (filePath == nullptr || *filePath == '\0') return 0;
  RegistryEntry key = {nullptr, const_cast<char *>(filePath)};
  RegistryEntry *removed = static_cast<RegistryEntry *>(vakIntHashDelete(&key));
  if (removed == nullptr) return 0;
  free(removed->filePath);
  free(removed);
  return 1;
}

void vakHashTableReleaseAllEditLocks(void) {
  OrvHashTable *table = Table();
  if (table == nullptr || table->buckets == nullptr) return;
  for (int32_t i = 0; i < table->size; ++i) {
    void *entry = table->buckets[i];
    while (entry != nullptr) {
      // A successful release deletes and frees this very entry, so read the link first.
      void *next = *reinterpret_cast<void **>(static_cast<char *>(entry) + table->linkOffset);
      vakReleaseEditLock(static_cast<RegistryEntry *>(entry)->filePath, nullptr);
      entry = next;
    }
  }
}

void *vakIntHashProbe(RegistryEntry *key) {
  return orvHashProbe(Table(), key);
}
void *vakIntHashInsert(RegistryEntry *entry) {
  return orvHashCreate(Table(), entry);
}
void *vakIntHashDelete(RegistryEntry *key) {
  OrvHashTable *table = Table();
  return table != nullptr ? orvHashDelete(table, key) : nullptr;
}

OrvHashGenerator *vakIntHashStartGen(void) {
  if (hashTableHandle == nullptr) return nullptr;
  orvHashStopGen(hashTableHandle->generator);
  hashTableHandle->generator = orvHashStartGen(hashTableHandle->table);
  return hashTableHandle->generator;
}

RegistryEntry *vakIntHashNext(void) {
  if (hashTableHandle == nullptr || hashTableHandle->generator == nullptr) return nullptr;
  void *record = nullptr;
  if (!orvHashGen(hashTableHandle->generator, &record)) return nullptr;
  return static_cast<RegistryEntry *>(record);
}
