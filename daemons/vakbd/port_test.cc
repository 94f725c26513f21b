#include "port.h"

#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

namespace vakbd {
namespace {

// The daemon must land on the port the client computes from the same text.
TEST(PortTest, TextIsReadAsTheClientReadsIt) {
  struct {
    const char *text;
    uint16_t port;  // effective port afterwards; 16723 when refused with a warning
  } cases[] = {{"  +4000", 4000}, {"70000", 4464},  {"-1", 65535},
               {"4000x", 16723},  {"4000 ", 16723}, {"", 16723}};
  for (const auto &c : cases) {
    int32_t port = kDefaultPort;
    char *warning = nullptr;
    size_t size = 0;
    FILE *sink = open_memstream(&warning, &size);
    EXPECT_EQ(ApplyPortText(c.text, &port, sink), c.port != 16723) << c.text;
    fclose(sink);
    EXPECT_EQ(EffectivePort(port), c.port) << c.text;
    EXPECT_EQ(std::string(warning, size), c.port != 16723
                                              ? ""
                                              : "Warning (vakbd): bad -portnum value \"" +
                                                    std::string(c.text) + "\" ignored\n");
    free(warning);
  }
}

}  // namespace
}  // namespace vakbd
