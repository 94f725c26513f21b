#include <string>

#include <gtest/gtest.h>

#include "orv.h"

namespace {

// Values of the published lookup8 hash at level 0 (low 32 bits), on prefixes of one text around
// the 8-byte groups of the tail and the 24-byte blocks.
TEST(StringHash, MatchesPublishedValues) {
  const std::string text = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  // clang-format off
  struct { std::string key; uint32_t want; } cases[] = {
      {"", 0x938575BF}, {"abc", 0xFEA87243}, {text.substr(0, 16), 0xB0393558}, {text.substr(0, 23), 0xE7EF90E4},
      {text.substr(0, 24), 0x9125E179}, {text.substr(0, 25), 0x77F9B9D4}, {text.substr(0, 47), 0x600E90EA},
      {text.substr(0, 48), 0x0C86DB69}};
  // clang-format on
  for (const auto &c : cases) {
    EXPECT_EQ(orvHashString(c.key.c_str()), c.want) << c.key;
    EXPECT_EQ(orvHashString32(c.key.c_str()), c.want) << c.key;
  }
  // Bytes above 0x7f, at every alignment.
  alignas(8) unsigned char buf[64];
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t i = 0; i < 50; ++i) buf[offset + i] = static_cast<unsigned char>(0x80 + i);
    EXPECT_EQ(orvHashStringLen(buf + offset, 50), 0x6E0CE59Eu) << "offset " << offset;
  }
}

}  // namespace
