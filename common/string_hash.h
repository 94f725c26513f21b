// string_hash.h - the 32-bit string hash behind orvHashString*.
#ifndef ORV_STRING_HASH_H_
#define ORV_STRING_HASH_H_

#include <stdint.h>

namespace orv {

uint32_t HashStringLen(const void *key, uint64_t length);
// A NULL key hashes like the empty text.
uint32_t HashString(const char *key);

}  // namespace orv

#endif  // ORV_STRING_HASH_H_
