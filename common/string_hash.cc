// string_hash.cc - 32-bit string hash: the 64-bit lookup8 hash by Bob Jenkins at level 0, reduced
// to the low 32 bits.
//
// The value depends only on the bytes, never on where they lie: bytes count as unsigned and the
// 64-bit groups are read as little-endian numbers. Each group is read with memcpy, which compiles
// to one word load on the little-endian targets (aligned or not) without the undefined behaviour
// of a misaligned pointer dereference, so one path serves every alignment.
#include <stdint.h>
#include <string.h>

#include "string_hash.h"

namespace {

inline uint64_t LoadLittleEndian64(const unsigned char *p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint64_t word;
  memcpy(&word, p, sizeof word);
  return word;
#else
  uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = (word << 8) | p[i];
  return word;
#endif
}

inline void MixRound(uint64_t &a, uint64_t &b, uint64_t &c, int s1, int s2, int s3) {
  a -= b;
  a -= c;
  a ^= c >> s1;
  b -= c;
  b -= a;
  b ^= a << s2;
  c -= a;
  c -= b;
  c ^= b >> s3;
}

inline void Mix(uint64_t &a, uint64_t &b, uint64_t &c) {
  MixRound(a, b, c, 43, 9, 8);
  MixRound(a, b, c, 38, 23, 5);
  MixRound(a, b, c, 35, 49, 11);
  MixRound(a, b, c, 12, 18, 22);
}

}  // namespace

namespace orv {

uint32_t HashStringLen(const void *key, uint64_t length) {
  const unsigned char *k = static_cast<const unsigned char *>(key);
  uint64_t a = 0;
  uint64_t b = 0;  // the level
  uint64_t c = UINT64_C(0x9e3779b97f4a7c13);
  uint64_t remaining = length;

  while (remaining >= 24) {
    a += LoadLittleEndian64(k);
    b += LoadLittleEndian64(k + 8);
    c += LoadLittleEndian64(k + 16);
    Mix(a, b, c);
    k += 24;
    remaining -= 24;
  }

  c += length;
  // The lowest byte of c already holds the length, so the tail's bytes 16..22 start one byte up.
  for (uint64_t i = 0; i < remaining; ++i) {
    uint64_t byte = k[i];
    if (i < 8) {
      a += byte << (8 * i);
    } else if (i < 16) {
      b += byte << (8 * (i - 8));
    } else {
      c += byte << (8 * (i - 15));
    }
  }
  Mix(a, b, c);
  return static_cast<uint32_t>(c);
}

uint32_t HashString(const char *key) {
  if (key == nullptr) key = "";  // hashed like the empty text rather than crashing
  return HashStringLen(key, strlen(key));
}

}  // namespace orv
