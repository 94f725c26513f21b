#include "port.h"

#include <stdlib.h>

#include <gtest/gtest.h>

namespace vakbd {
namespace {

TEST(PortTest, TextIsReadAsTheClientReadsIt) {
  struct Case {
    const char *text;
    bool accepted;
    uint16_t port;  // effective port afterwards (16723 when refused)
  } cases[] = {
      {"4000", true, 4000},    {"  4000", true, 4000},   // strtol skips leading white space
      {"+4000", true, 4000},   {"70000", true, 4464},    // low 16 bits, as the client uses them
      {"-1", true, 65535},     {"4000x", false, 16723},  // something follows the number
      {"4000 ", false, 16723}, {"", false, 16723},       // nothing converted
      {"abc", false, 16723},
  };
  for (const Case &c : cases) {
    int32_t port = kDefaultPort;
    char *warning = nullptr;
    size_t size = 0;
    FILE *sink = open_memstream(&warning, &size);
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(ApplyPortText(c.text, &port, sink), c.accepted) << c.text;
    fclose(sink);
    EXPECT_EQ(EffectivePort(port), c.port) << c.text;
    std::string expected = c.accepted ? ""
                                      : std::string("Warning (vakbd): bad -portnum value \"") +
                                            c.text + "\" ignored\n";
    EXPECT_EQ(std::string(warning, size), expected) << c.text;
    free(warning);
  }
}

}  // namespace
}  // namespace vakbd
