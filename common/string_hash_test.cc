#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "orv.h"

namespace {

const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// Values of the published lookup8 hash at level 0 (low 32 bits), around the 24-byte block size
// and the 8-byte groups of the tail.
TEST(StringHash, MatchesPublishedValues) {
  struct {
    size_t length;  // prefix of kAlphabet; SIZE_MAX for "abc"
    uint32_t want;
  } cases[] = {{0, 0x938575BF},  {SIZE_MAX, 0xFEA87243}, {8, 0xDB905A5F},
               {16, 0xB0393558}, {23, 0xE7EF90E4},       {24, 0x9125E179},
               {25, 0x77F9B9D4}, {47, 0x600E90EA},       {48, 0x0C86DB69}};
  for (const auto &c : cases) {
    std::string key = c.length == SIZE_MAX ? "abc" : std::string(kAlphabet, c.length);
    EXPECT_EQ(orvHashStringLen(key.data(), key.size()), c.want) << key;
    EXPECT_EQ(orvHashString(key.c_str()), c.want) << key;
    EXPECT_EQ(orvHashString32(key.c_str()), c.want) << key;
  }
}

TEST(StringHash, HighBytesHashTheSameAtEveryAlignment) {
  alignas(8) unsigned char buf[64];
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t i = 0; i < 50; ++i) buf[offset + i] = static_cast<unsigned char>(0x80 + i);
    EXPECT_EQ(orvHashStringLen(buf + offset, 50), 0x6E0CE59Eu) << "offset " << offset;
  }
}

}  // namespace
