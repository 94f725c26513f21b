#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
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
  // want nullptr: every name is taken, EEXIST.
  // clang-format off
  struct { const char *templ; std::vector<int> draws; std::vector<const char *> existing; const char *want; } cases[] = {
      {"fXX", {10, 61}, {}, "fzA"}, {"fXX", {10, 61}, {"fzA"}, "f0B"}, {"fXX", {0, 5}, {"f50"}, "f60"},
      {"fXX", {10, 61}, {"fzA", "f0B", "f1B"}, "f2B"}, {"fXX", {61, 61}, {"fzz"}, nullptr},
      {"plain", {}, {}, "plain"}, {"plain", {}, {"plain"}, nullptr}, {"XfX", {1}, {}, "Xf1"}};
  // clang-format on
  for (bool create : {false, true}) {
    for (const auto &c : cases) {
      vaktest::TempDir tmp;
      for (const char *name : c.existing) vaktest::WriteFile(tmp.Sub(name), "");
      gDraws = c.draws;
      std::string templ = tmp.Sub(c.templ);
      int fd = create ? orv_mkstemp(&templ[0]) : (orv_mktemp(&templ[0]) ? 0 : -1);
      int err = errno;
      struct stat st;
      bool exists = stat(templ.c_str(), &st) == 0;
      if (c.want == nullptr) {
        EXPECT_TRUE(fd == -1 && err == EEXIST) << c.templ << " create " << create;
      } else {
        ASSERT_GE(fd, 0) << c.templ << " create " << create;
        EXPECT_EQ(templ, tmp.Sub(c.want)) << "create " << create;
        EXPECT_EQ(exists ? st.st_mode & 0777 : 0, create ? 0600u : 0);
        if (create) close(fd);
      }
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

TEST(TempNames, TempnamJoinsDirectoryAndPrefix) {
  vaktest::TempDir tmp;
  // clang-format off
  struct { std::string dir; const char *prefix; std::string want; } cases[] = {
      {tmp.path() + "/", "p.", tmp.path() + "/p."}, {tmp.path(), nullptr, tmp.Sub("tmp.")},
      {"", "q", "/tmp/q"}, {std::string(5000, 'd'), "r", "/tmp/r"}};
  // clang-format on
  for (const auto &c : cases) {
    char buf[ORV_PATH_BUF_SIZE];
    ASSERT_EQ(orvMkUniqueFilePath(c.dir.c_str(), c.prefix, buf), buf) << c.want;
    EXPECT_EQ(std::string(buf).substr(0, c.want.size()), c.want);
    EXPECT_EQ(strlen(buf), c.want.size() + 6);
  }
}

TEST(TempNames, TmpDirHonoursVariablesInOrder) {
  vaktest::TempDir tmp;
  const std::string w = tmp.Sub("w"), w2 = tmp.Sub("w2"), none = tmp.Sub("none");
  mkdir(w.c_str(), 0700);
  mkdir(w2.c_str(), 0700);
  // clang-format off
  struct { const char *orvTmpDir, *tmpDir, *tempDir; std::string want; } cases[] = {
      {nullptr, w.c_str(), nullptr, w}, {none.c_str(), w.c_str(), w2.c_str(), w}, {w2.c_str(), w.c_str(), nullptr, w2},
      {nullptr, nullptr, w.c_str(), w}, {nullptr, nullptr, nullptr, "/tmp"}, {"", "", w2.c_str(), w2}};
  // clang-format on
  for (const auto &c : cases) {
    auto r = vaktest::RunInChild([&] {
      const char *names[] = {"ORV_TMP_DIR", "TMPDIR", "TEMPDIR"};
      const char *values[] = {c.orvTmpDir, c.tmpDir, c.tempDir};
      for (int i = 0; i < 3; ++i) values[i] ? setenv(names[i], values[i], 1) : unsetenv(names[i]);
      char *dir = orvGetTmpDir(nullptr);
      printf("%s", dir ? dir : "(null)");
      free(dir);
      return 0;
    });
    EXPECT_EQ(r.out, c.want);
  }
  EXPECT_FALSE(vaktest::Exists(w + "/orvFileWritableTest"));
}

TEST(TempNames, ProbesAsUnprivilegedUser) {
  vaktest::TempDir tmp;
  chmod(tmp.path().c_str(), 0755);
  vaktest::WriteFile(tmp.Sub("locked"), "keep");
  vaktest::WriteFile(tmp.Sub("open"), "keep");
  chmod(tmp.Sub("open").c_str(), 0666);
  mkdir(tmp.Sub("lockedDir").c_str(), 0755);
  mkdir(tmp.Sub("openDir").c_str(), 0);
  chmod(tmp.Sub("openDir").c_str(), 0777);
  const char *paths[] = {"locked", "open", "lockedDir", "openDir", "missing"};  // 0 1 0 1 0
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to user nobody";
  auto r = vaktest::RunInChild([&] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 77;
    for (int i = 0; i < 5; ++i) printf("%d", orvFileWritable(tmp.Sub(paths[i]).c_str()));
    printf(" %d", orvGetFilesysCaseSensitivity(tmp.Sub("lockedDir/x").c_str()));
    return 0;
  });
  if (r.exitStatus == 77) GTEST_SKIP() << "cannot switch to user nobody";
  EXPECT_EQ(r.out, "01010 " + std::to_string(FS_CASE_INDETERMINATE));
  EXPECT_EQ(vaktest::ReadFile(tmp.Sub("open")), "keep");
  EXPECT_FALSE(vaktest::Exists(tmp.Sub("openDir/orvFileWritableTest")));
}

TEST(TempNames, CaseProbeUsesNearestExistingDirectory) {
  vaktest::TempDir tmp;
  // clang-format off
  struct { std::string path; int want; } cases[] = {
      {tmp.Sub("missing/sub/file"), FS_CASE_SENSITIVE}, {tmp.path(), FS_CASE_SENSITIVE},
      {"/nonexistent-orv/x", FS_CASE_INDETERMINATE}, {"", FS_CASE_INDETERMINATE}, {std::string(5000, 'p'), FS_CASE_INDETERMINATE}};
  // clang-format on
  for (const auto &c : cases) {
    EXPECT_EQ(orvGetFilesysCaseSensitivity(c.path.c_str()), c.want) << c.path.substr(0, 60);
    for (const char *probe : {"orvfscasesensitivity.", "orvFsCaseSensitivity."}) {
      EXPECT_FALSE(vaktest::Exists(tmp.Sub(probe + std::to_string(getpid()))));
    }
  }
}

}  // namespace
