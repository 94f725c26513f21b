// STUB: replaced by the hash table work.
#include "orv.h"

extern "C" {
void orvHashAllocTable(OrvHashTable *, int, int, int, OrvHashCompareFunc, OrvHashFunc) {}
void orvHashFreeTable(OrvHashTable *) {}
void *orvHashCreate(OrvHashTable *, void *) {
  return nullptr;
}
void *orvHashReplace(OrvHashTable *, void *) {
  return nullptr;
}
void *orvHashDelete(OrvHashTable *, const void *) {
  return nullptr;
}
void *orvHashProbe(OrvHashTable *, const void *) {
  return nullptr;
}
void *orvHashCreateAfterProbe(OrvHashTable *, void *) {
  return nullptr;
}
OrvHashGenerator *orvHashStartGen(OrvHashTable *) {
  return nullptr;
}
int orvHashGen(OrvHashGenerator *, void **) {
  return 0;
}
void orvHashStopGen(OrvHashGenerator *) {}
int32_t orvHashDouble(double) {
  return 0;
}
}
