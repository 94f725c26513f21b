#include "resolve.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "status.h"
#include "temp_dir.h"

namespace {

// The exported suffix is the one the library resolves with, and the public name check (through
// the C boundary) recognises exactly the names that end in it.
TEST(ResolveTest, ExportedSuffixAndNameCheck) {
  EXPECT_STREQ(VAK_LOCK_STAKE_FILE_SUFFIX, vak::kStakeSuffix);
  EXPECT_EQ(strlen(VAK_LOCK_STAKE_FILE_SUFFIX),
            static_cast<size_t>(VAK_LOCK_STAKE_FILE_SUFFIX_LENGTH));
  const struct {
    const char *name;
    int want;
  } rows[] = {{nullptr, 0},  {"", 0},         {".orvlck", 1},    {"d/a.orvlck", 1},
              {"orvlck", 0}, {"a.ORVLCK", 0}, {"a.orvlck.1", 0}, {"a.orvlck.dirlock", 0}};
  for (const auto &row : rows) {
    EXPECT_EQ(vakIsLockStakeFileName(row.name), row.want) << (row.name ? row.name : "NULL");
  }
}

TEST(ResolveTest, ResolutionTable) {
  vaktest::TempDir tmp;
  const std::string d = tmp.path() + "/";
  for (const char *f : {"plain", "dir/t", "other/target", "hard", "sub/f"})
    vaktest::WriteFile(d + f, "x");
  ASSERT_EQ(0, link((d + "hard").c_str(), (d + "hard2").c_str()));
  ASSERT_EQ(0, symlink("t", (d + "dir/l").c_str()));
  ASSERT_EQ(0, symlink((d + "other/target").c_str(), (d + "dir/abs").c_str()));
  ASSERT_EQ(0, symlink("nowhere", (d + "dangling").c_str()));
  // chain21 -> c1 -> ... -> c20 -> plain is 21 links; c1 starts a chain of exactly 20.
  for (int i = 20; i >= 0; --i) {
    std::string to = i == 20 ? "plain" : "c" + std::to_string(i + 1);
    ASSERT_EQ(0, symlink(to.c_str(), (d + (i == 0 ? "chain21" : "c" + std::to_string(i))).c_str()));
  }
  // Paths that fit no working buffer: the link's own target, and the lock-stake path.
  ASSERT_EQ(0, symlink((std::string(2100, '/') + "plain").c_str(), (d + "longlink").c_str()));
  const std::string longPath = std::string(2045 - d.size() - 5, '/') + "plain";

  const int kUnset = -7;
  struct Case {
    std::string path;
    int noFollow, hardLinks, want;
    std::string stake;  // expected lock-stake path relative to the directory, or the message
    int exists, wasLink;
  } cases[] = {
      {"plain", 0, 0, VAK_OK, "plain.orvlck", 1, 0},
      {"missing", 0, 0, VAK_OK, "missing.orvlck", 0, 0},
      {"dir/l", 0, 0, VAK_OK, "dir/t.orvlck", kUnset, 1},
      {"dir/l", 1, 0, VAK_OK, "dir/l.orvlck", 1, 0},
      {"dir/abs", 0, 0, VAK_OK, "other/target.orvlck", kUnset, 1},
      {"dangling", 0, 0, VAK_SYS_ERROR, strerror(ENOENT), kUnset, 1},
      {"sub", 0, 0, VAK_DIR_NOT_LOCKABLE,
       "Lock on the file path \"" + d + "sub\" is refused since it is a directory.", kUnset,
       kUnset},
      {"hard", 0, 0, VAK_HARD_LINK_NOT_LOCKABLE,
       "Lock on the file path \"" + d +
           "hard\" is refused since it has Hard Links. To override "
           "this, set the VAK_LOCK_HARD_LINKS environment variable to YES",
       kUnset, kUnset},
      {"hard", 0, 1, VAK_OK, "hard.orvlck", 1, 0},
      {"c1", 0, 0, VAK_OK, "plain.orvlck", kUnset, 1},
      {"chain21", 0, 0, VAK_ELOOP, vakTooManyLinksMsg, kUnset, 1},
      {"longlink", 0, 0, VAK_SYS_ERROR, strerror(ENAMETOOLONG), kUnset, kUnset},
      {longPath, 0, 0, VAK_SYS_ERROR, strerror(ENAMETOOLONG), kUnset, kUnset},
  };
  VakEnvironment env = {}, *saved = vakEnv;
  vakEnv = &env;
  for (const Case &c : cases) {
    env.lockHardLinks = c.hardLinks;
    char *stake = nullptr, *msg = nullptr;
    int exists = kUnset, wasLink = kUnset;
    int got =
        vakGetLockStakeFile((d + c.path).c_str(), c.noFollow, &stake, &exists, &wasLink, &msg);
    EXPECT_EQ(c.want, got) << c.path;
    EXPECT_EQ(got == VAK_OK ? d + c.stake : c.stake, got == VAK_OK ? stake : msg) << c.path;
    EXPECT_EQ(c.exists, exists) << c.path;
    EXPECT_EQ(c.wasLink, wasLink) << c.path;
    EXPECT_EQ(0, chasingLink + linksTraversed) << "resolution state must be at rest";
    free(stake);
    free(msg);
  }
  vakEnv = saved;
}

}  // namespace
