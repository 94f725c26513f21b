#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orv.h"
#include "temp_dir.h"

// Scripted random draws: the library takes rand_r from this binary, so a test chooses the first
// name; without a script the draws come from a plain linear congruential generator.
static std::vector<int> gDraws;
extern "C" int rand_r(unsigned int *seed) noexcept {
  if (gDraws.empty()) return static_cast<int>((*seed = *seed * 1103515245u + 12345u) >> 16);
  int r = gDraws.front();
  gDraws.erase(gDraws.begin());
  return r;
}

namespace {

TEST(TempNames, SuccessiveNamesCountLikeAnOdometer) {
  // The first draw replaces the last X; the leftmost generated character moves fastest.
  // want nullptr: every name is taken.
  // clang-format off
  struct { const char *templ; std::vector<int> draws; std::vector<const char *> existing; const char *want; } cases[] = {
      {"fXX", {10, 61}, {}, "fzA"}, {"fXX", {10, 61}, {"fzA"}, "f0B"}, {"fXX", {0, 5}, {"f50"}, "f60"},
      {"fXX", {10, 61}, {"fzA", "f0B", "f1B"}, "f2B"}, {"fXX", {61, 61}, {"fzz"}, nullptr},
      {"plain", {}, {"plain"}, nullptr}, {"XfX", {1}, {}, "Xf1"}};
  // clang-format on
  for (bool create : {false, true}) {
    for (const auto &c : cases) {
      vaktest::TempDir tmp;
      for (const char *name : c.existing) vaktest::WriteFile(tmp.Sub(name), "");
      gDraws = c.draws;
      std::string templ = tmp.Sub(c.templ);
      int fd = create ? orv_mkstemp(&templ[0]) : (orv_mktemp(&templ[0]) ? 0 : -1);
      std::string got = fd < 0 ? "errno " + std::to_string(errno) : templ;
      struct stat st;
      unsigned mode = fd >= 0 && stat(templ.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
      if (create && fd >= 0) close(fd);
      EXPECT_EQ(got, c.want ? tmp.Sub(c.want) : "errno " + std::to_string(EEXIST)) << create;
      EXPECT_EQ(mode, c.want && create ? 0600u : 0u) << c.templ << " create " << create;
    }
  }
}

TEST(TempNames, MkstempRefusesBadTemplates) {
  vaktest::TempDir tmp;
  vaktest::WriteFile(tmp.Sub("file"), "");
  // clang-format off
  struct { std::string templ; int wantErrno; } cases[] = {{tmp.Sub("missing/fXXXXXX"), ENOENT},
      {tmp.Sub("file/fXXXXXX"), ENOTDIR}, {"", EINVAL}, {tmp.Sub(std::string(5000, 'X')), ENAMETOOLONG}};
  // clang-format on
  for (auto &c : cases) {
    EXPECT_EQ(orv_mkstemp(&c.templ[0]), -1);
    EXPECT_EQ(errno, c.wantErrno) << c.templ.substr(0, 60);
  }
}

}  // namespace
