// STUB: replaced by the registry work.
#include "registry.h"

RegistryHandle *hashTableHandle = nullptr;

int vakInitHashTable(void) {
  return 0;
}
int vakHashAddEntry(const char *) {
  return 0;
}
int vakHashDeleteEntry(const char *) {
  return 0;
}
void vakHashTableReleaseAllEditLocks(void) {}
void *vakIntHashProbe(RegistryEntry *) {
  return nullptr;
}
void *vakIntHashInsert(RegistryEntry *) {
  return nullptr;
}
void *vakIntHashDelete(RegistryEntry *) {
  return nullptr;
}
OrvHashGenerator *vakIntHashStartGen(void) {
  return nullptr;
}
RegistryEntry *vakIntHashNext(void) {
  return nullptr;
}
