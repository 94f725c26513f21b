// registry.h - the process-wide registry of the file paths on which this process holds Edit Locks.
#ifndef VAK_REGISTRY_H_
#define VAK_REGISTRY_H_

#include "orv.h"
#include "vak.h"

struct RegistryEntry {
  RegistryEntry *link;  // chain link used by the table (link offset 0)
  char *filePath;       // the path as the application gave it; owned by the entry
};

struct RegistryHandle {
  OrvHashTable *table;
  OrvHashGenerator *generator;  // NULL while no iteration is active
};

extern RegistryHandle *hashTableHandle;

int vakInitHashTable(void);
int vakHashAddEntry(const char *filePath);
int vakHashDeleteEntry(const char *filePath);
void vakHashTableReleaseAllEditLocks(void);

void *vakIntHashProbe(RegistryEntry *key);
void *vakIntHashInsert(RegistryEntry *entry);
void *vakIntHashDelete(RegistryEntry *key);
OrvHashGenerator *vakIntHashStartGen(void);
RegistryEntry *vakIntHashNext(void);

#endif  // VAK_REGISTRY_H_
