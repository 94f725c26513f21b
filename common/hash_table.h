// hash_table.h - the generic chained hash table behind orvHash* (orv.h describes the contract).
#ifndef ORV_HASH_TABLE_H_
#define ORV_HASH_TABLE_H_

#include "orv.h"

namespace orv {

void HashAllocTable(OrvHashTable *table, int initialSize, int loadFactor, int linkOffset,
                    OrvHashCompareFunc compare, OrvHashFunc hash);
void HashFreeTable(OrvHashTable *table);
void *HashCreate(OrvHashTable *table, void *record);
void *HashReplace(OrvHashTable *table, void *record);
void *HashDelete(OrvHashTable *table, const void *key);
void *HashProbe(OrvHashTable *table, const void *key);
void *HashCreateAfterProbe(OrvHashTable *table, void *record);
OrvHashGenerator *HashStartGen(OrvHashTable *table);
int HashGen(OrvHashGenerator *gen, void **record);
void HashStopGen(OrvHashGenerator *gen);
int32_t HashDouble(double value);

}  // namespace orv

#endif  // ORV_HASH_TABLE_H_
