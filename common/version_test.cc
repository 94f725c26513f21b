#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "orv.h"

namespace {

TEST(Version, PrintsSecondAndThirdWord) {
  struct {
    const char *text;
    std::string want;
  } cases[] = {
      {nullptr, "No Version string\n"},
      {"@(#)$ORV: version 06.01 09/07/2006 03:05 (host) $", "TOOL:\tversion\t06.01\n"},
      {"@(#)$ORV: VAK version 06.01", "TOOL:\tVAK\tversion\n"},
      {" \t a\r\nb\v\fc d", "TOOL:\tb\tc\n"},
      {"abc", "TOOL:\t\t\n"},
      {"a b", "TOOL:\tb\t\n"},
      {"", "TOOL:\t\t\n"},
  };
  for (const auto &c : cases) {
    auto r = vaktest::RunInChild([&] {
      orviPrintVersion(c.text);
      return 0;
    });
    EXPECT_EQ(r.out, c.want) << (c.text ? c.text : "(null)");
  }
  // A word longer than the line buffer is cut, not written past the buffer.
  std::string longText = "a " + std::string(5000, 'x') + " c";
  auto r = vaktest::RunInChild([&] {
    orviPrintVersion(longText.c_str());
    return 0;
  });
  EXPECT_EQ(r.out, "TOOL:\t" + std::string(4095, 'x') + "\n");
}

TEST(Version, MinusVersionArgumentPrintsAndExits) {
  const int kReturned = 3;
  struct {
    std::vector<const char *> args;
    const char *text;
    int wantStatus;
    std::string wantOut;
  } cases[] = {
      {{"prog", "a", "b", "-version"}, "x VAK version", 0, "TOOL:\tVAK\tversion\n"},
      {{"prog", "-version"}, nullptr, 0, "No Version string\n"},
      {{"-version"}, "x y z", kReturned, ""},  // element 0 is never examined
      {{"prog", "-Version", "-versionx", "-versio"}, "x y z", kReturned, ""},
  };
  for (const auto &c : cases) {
    auto r = vaktest::RunInChild([&] {
      std::vector<char *> argv;
      for (const char *a : c.args) argv.push_back(const_cast<char *>(a));
      orvProcMinusVersionArg(static_cast<int>(argv.size()), argv.data(), c.text);
      return kReturned;
    });
    EXPECT_EQ(r.exitStatus, c.wantStatus) << c.args.back();
    EXPECT_EQ(r.out, c.wantOut) << c.args.back();
  }
}

}  // namespace
