// registry.cc - the registry of the Edit Locks this process holds, released at normal process
// exit (see registry.h).
#include "registry.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "posix_io.h"

RegistryHandle *hashTableHandle = nullptr;

namespace {

int vakCompareHashElement(const void *stored, const void *key) {
  const RegistryEntry *a = static_cast<const RegistryEntry *>(stored);
  const RegistryEntry *b = static_cast<const RegistryEntry *>(key);
  return a != nullptr && b != nullptr && a->releasePath != nullptr && b->releasePath != nullptr &&
         strcmp(a->releasePath, b->releasePath) == 0;
}

uint32_t vakFilePathHash(const void *record, const OrvHashTable *) {
  return orvHashString(static_cast<const RegistryEntry *>(record)->releasePath);
}

// filePath joined to the working directory, from malloc; filePath itself when the directory
// cannot be had (removed, say): the best that is left.
char *ReleasePathOf(const char *filePath) {
  if (filePath[0] == '/') return strdup(filePath);
  orv::MallocPtr<char> cwd(getcwd(nullptr, 0));
  if (cwd == nullptr || cwd.get()[0] != '/') return strdup(filePath);
  size_t size = strlen(cwd.get()) + strlen(filePath) + 2;
  char *joined = static_cast<char *>(malloc(size));
  if (joined != nullptr) {
    snprintf(joined, size, "%s%s%s", cwd.get(), strcmp(cwd.get(), "/") == 0 ? "" : "/", filePath);
  }
  return joined;
}

unsigned ModeOf(int noFollow) {
  return noFollow != 0 ? kHeldNotFollowing : kHeldFollowing;
}

void FreeEntry(RegistryEntry *entry) {
  free(entry->filePath);
  free(entry->releasePath);
  free(entry);
}

OrvHashTable *Table() {
  return hashTableHandle != nullptr ? hashTableHandle->table : nullptr;
}

// A lookup key for filePath: its release path is made now and owned by *releasePath. False for a
// null or empty path, or out of memory.
bool MakeKey(const char *filePath, orv::MallocPtr<char> *releasePath, RegistryEntry *key) {
  if (filePath == nullptr || *filePath == '\0') return false;
  releasePath->reset(ReleasePathOf(filePath));
  *key = {nullptr, const_cast<char *>(filePath), releasePath->get(), 0};
  return *releasePath != nullptr;
}

// Clears mode (all modes: ~0u) of the entry for filePath, and removes the entry once it holds
// none. 1 when there was an entry.
int Forget(const char *filePath, unsigned mode) {
  if (hashTableHandle == nullptr) return 0;
  orv::MallocPtr<char> releasePath;
  RegistryEntry key;
  if (!MakeKey(filePath, &releasePath, &key)) return 0;
  auto *found = static_cast<RegistryEntry *>(vakIntHashProbe(&key));
  if (found == nullptr) return 0;
  found->modes &= ~mode;
  if (found->modes == 0) FreeEntry(static_cast<RegistryEntry *>(vakIntHashDelete(&key)));
  return 1;
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

int RegistryRecordLock(const char *filePath, int noFollow) {
  orv::MallocPtr<char> releasePath;
  RegistryEntry key;
  if (!MakeKey(filePath, &releasePath, &key) || !vakInitHashTable()) return 0;
  if (auto *found = static_cast<RegistryEntry *>(vakIntHashProbe(&key))) {
    found->modes |= ModeOf(noFollow);
    return 1;
  }
  orv::MallocPtr<RegistryEntry> entry(
      static_cast<RegistryEntry *>(calloc(1, sizeof(RegistryEntry))));
  if (entry == nullptr) return 0;
  entry->filePath = strdup(filePath);
  if (entry->filePath == nullptr) return 0;
  entry->releasePath = releasePath.release();
  entry->modes = ModeOf(noFollow);
  vakIntHashInsert(entry.release());
  return 1;
}

// A lock taken both ways is two locks where the path is a symbolic link: the entry stays until
// both are released.
int RegistryForgetLock(const char *filePath, int noFollow) {
  return Forget(filePath, ModeOf(noFollow));
}

int vakHashAddEntry(const char *filePath) {
  return RegistryRecordLock(filePath, 0);
}

int vakHashDeleteEntry(const char *filePath) {
  return Forget(filePath, ~0u);
}

void RegistryReleaseEach(RegistryRelease release) {
  OrvHashTable *table = Table();
  if (table == nullptr || table->buckets == nullptr) return;
  for (int32_t i = 0; i < table->size; ++i) {
    void *entry = table->buckets[i];
    while (entry != nullptr) {
      // Removing this entry unlinks it from its chain, so read the link first.
      void *next = *reinterpret_cast<void **>(static_cast<char *>(entry) + table->linkOffset);
      RegistryEntry *held = static_cast<RegistryEntry *>(entry);
      for (unsigned mode = kHeldFollowing; mode <= kHeldNotFollowing; mode <<= 1) {
        if ((held->modes & mode) != 0 && release(*held, mode == kHeldNotFollowing) == VAK_OK) {
          held->modes &= ~mode;
        }
      }
      if (held->modes == 0) FreeEntry(static_cast<RegistryEntry *>(vakIntHashDelete(held)));
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
