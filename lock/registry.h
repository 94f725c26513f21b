// registry.h - the process-wide registry of the Edit Locks this process holds, released at normal
// process exit.
#ifndef VAK_REGISTRY_H_
#define VAK_REGISTRY_H_

#include "orv.h"
#include "vak.h"

// One held lock. The exit release cannot use the path as given: the process may have changed its
// working directory since, and a lock taken without following a symbolic link is the link's own.
// So the entry records, when the lock is taken, the path made absolute (lexically, from the
// working directory then; two spellings of one file stay two entries) and how it was taken.
struct RegistryEntry {
  RegistryEntry *link;  // chain link used by the table (link offset 0)
  char *filePath;       // the path as the application gave it; owned by the entry
  char *releasePath;    // the key: filePath made absolute at lock time; owned by the entry
  unsigned modes;       // kHeldFollowing and/or kHeldNotFollowing
};

enum { kHeldFollowing = 1, kHeldNotFollowing = 2 };

struct RegistryHandle {
  OrvHashTable *table;
  OrvHashGenerator *generator;  // NULL while no iteration is active
};

extern RegistryHandle *hashTableHandle;

int vakInitHashTable(void);
// Record and forget a lock taken by following links.
int vakHashAddEntry(const char *filePath);
int vakHashDeleteEntry(const char *filePath);
// The same with the no-follow flag of the get, steal or release: 1 when recorded or forgotten.
int RegistryRecordLock(const char *filePath, int noFollow);
int RegistryForgetLock(const char *filePath, int noFollow);
// Calls release once for each way each recorded lock was taken (noFollow 0 or 1), and forgets
// what it released (VAK_OK); an entry stays while a release of it fails. The registry only keeps
// the record: how a held lock is released is the caller's affair.
typedef int (*RegistryRelease)(const RegistryEntry &held, int noFollow);
void RegistryReleaseEach(RegistryRelease release);

void *vakIntHashProbe(RegistryEntry *key);
void *vakIntHashInsert(RegistryEntry *entry);
void *vakIntHashDelete(RegistryEntry *key);
OrvHashGenerator *vakIntHashStartGen(void);
RegistryEntry *vakIntHashNext(void);

#endif  // VAK_REGISTRY_H_
