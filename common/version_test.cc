#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "orv.h"

namespace {

TEST(Version, MinusVersionArgumentPrintsSecondAndThirdWordAndExits) {
  const std::string longText = "a " + std::string(5000, 'x') + " c";
  // clang-format off
  struct { std::vector<const char *> args; const char *text; int wantStatus; std::string wantOut; } cases[] = {
      {{"p", "a", "b", "-version"}, "@(#)$ORV: version 06.01 09/07/2006 03:05 (h) $", 0, "TOOL:\tversion\t06.01\n"},
      {{"p", "-version"}, nullptr, 0, "No Version string\n"},
      {{"p", "-version"}, " \t a\r\nb\v\fc d", 0, "TOOL:\tb\tc\n"},
      {{"p", "-version"}, "abc", 0, "TOOL:\t\t\n"},
      {{"p", "-version"}, "a b", 0, "TOOL:\tb\t\n"},
      {{"p", "-version"}, longText.c_str(), 0, "TOOL:\t" + std::string(4095, 'x') + "\n"},  // cut
      {{"-version"}, "x y z", 3, ""},  // element 0 is never examined
      {{"p", "-Version", "-versionx", "-versio"}, "x y z", 3, ""},
  };
  // clang-format on
  for (const auto &c : cases) {
    auto r = vaktest::RunInChild([&] {
      std::vector<char *> argv;
      for (const char *a : c.args) argv.push_back(const_cast<char *>(a));
      orvProcMinusVersionArg(static_cast<int>(argv.size()), argv.data(), c.text);
      return 3;
    });
    EXPECT_EQ(r.exitStatus, c.wantStatus) << (c.text ? c.text : "(null)");
    EXPECT_EQ(r.out, c.wantOut) << (c.text ? c.text : "(null)");
  }
}

}  // namespace
