#include "host_settings.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace protocol {
namespace {

// Each row: a file's text and the port it sets ("-": none). Lines that need a shell to mean
// something, name other keys or run into the next line are ignored whole.
TEST(HostSettingsTest, TakesOnlyPlainAssignmentsOfItsKeys) {
  // clang-format off
  const struct { std::string text, port; } cases[] = {
      {"VAK_PORTNUM=16724\n", "16724"},
      {"  VAK_PORTNUM=16724   \n", "16724"},
      {"VAK_PORTNUM=16724 # the port\n", "-"},
      {"VAK_PORTNUM=\"16724\"\n", "16724"},
      {"VAK_PORTNUM='16724' \r\n", "16724"},
      {"VAK_PORTNUM=\n", ""},
      {"VAK_PORTNUM=1\nVAK_PORTNUM=2\n", "2"},
      {"VAK_PORTNUM=1\nVAK_PORTNUM=$(reboot)\n", "1"},
      {"# VAK_PORTNUM=16724\n", "-"},
      {"VAK_PORTNUM =16724\n", "-"},
      {"export VAK_PORTNUM=16724\n", "-"},
      {"VAK_PORTNUMBER=16724\n", "-"},
      {"vak_portnum=16724\n", "-"},
      {"VAK_PORTNUM=16724 16725\n", "-"},
      {"VAK_PORTNUM= reboot\n", "-"},
      {"VAK_PORTNUM=16724;reboot\n", "-"},
      {"VAK_PORTNUM=`reboot`\n", "-"},
      {"VAK_PORTNUM=\"$HOME\"\n", "-"},
      {"VAK_PORTNUM=\"a\\\"b\"\n", "-"},
      {"VAK_PORTNUM=\"16724\n16725\"\n", "-"},
      {"VAK_PORTNUM='16724'x\n", "-"},
  };
  // clang-format on
  for (const auto &c : cases) {
    std::vector<char> text(c.text.begin(), c.text.end());
    text.push_back('\0');
    HostSettings settings;
    ParseHostSettings(text.data(), &settings);
    const char *port = settings.values[kSettingPort];
    EXPECT_EQ(port == nullptr ? "-" : port, c.port) << c.text;
  }
}

}  // namespace
}  // namespace protocol
