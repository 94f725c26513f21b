#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "orv.h"
#include "temp_dir.h"

namespace {

// Every "@" in text stands for the temporary directory.
std::string At(const vaktest::TempDir &tmp, const char *text) {
  std::string s = text != nullptr ? text : "(null)";
  for (size_t pos; (pos = s.find('@')) != std::string::npos;) s.replace(pos, 1, tmp.path());
  return s;
}

// files: blank-separated "path=mode" entries, created empty; data: one "path=content" file.
void MakeTree(const vaktest::TempDir &tmp, const std::string &files, const char *data = nullptr) {
  std::istringstream in(files);
  for (std::string entry; in >> entry;) {
    std::string path = tmp.Sub(entry.substr(0, entry.find('=')));
    vaktest::WriteFile(path, "");
    chmod(path.c_str(), std::stoi(entry.substr(entry.find('=') + 1), nullptr, 8));
  }
  std::string d = data != nullptr ? At(tmp, data) : "";
  if (!d.empty()) vaktest::WriteFile(tmp.Sub(d.substr(0, d.find('='))), d.substr(d.find('=') + 1));
}

// Sets up a fresh child process: PATH (unset for null), ORV_STRM_ACTIVE, working directory, and
// initialisation with arg0 unless it is null.
void Prepare(const vaktest::TempDir &tmp, const char *arg0, const char *path, const char *cwd,
             bool stream = false) {
  path != nullptr ? setenv("PATH", At(tmp, path).c_str(), 1) : unsetenv("PATH");
  stream ? setenv("ORV_STRM_ACTIVE", "", 1) : unsetenv("ORV_STRM_ACTIVE");
  if (chdir(At(tmp, cwd).c_str()) != 0) _exit(99);
  std::string name = At(tmp, arg0);
  char *argv[] = {&name[0], nullptr};
  if (arg0 != nullptr) orvInit(nullptr, argv);
}

const char *Show(char *text) {
  static std::string kept;
  kept = text != nullptr ? text : "(null)";
  free(text);
  return kept.c_str();
}

const std::string kInst = "inst/tools/bin/prog=755 inst/tools/bin/orv_root=755 ";
const std::string kPlatDir = kInst + "inst/tools.lnx86/bin/vakbd=755";
const char kTool[] = "@/inst/tools/bin/vakbd", kPlatTool[] = "@/inst/tools.lnx86/bin/vakbd";

TEST(InstallRoot, DiscoveryFindsRootAndToolsDirectory) {
  // clang-format off
  struct { std::string files; const char *data, *arg0, *path, *cwd; bool stream; const char *wantRoot, *wantTools, *wantErr; } cases[] = {
      {kInst, nullptr, "prog", "/none:@/inst/tools/bin", "@", false, "@/inst", kTool, ""},
      {"inst/tools/bin/prog=755 inst/tools/bin/orv_root=655", nullptr, "prog", "@/inst/tools/bin", "@", false, nullptr, nullptr, ""},
      {"inst/x/y/prog=755 inst/tools/bin/orv_root=700", nullptr, "@/inst/x/y/prog", "", "@", false, "@/inst", kTool, ""},
      {kPlatDir, nullptr, "@/inst/tools/bin/prog", "", "@", false, "@/inst", kPlatTool, ""},
      {"inst/tools.lnx86/bin/prog=755 inst/tools.lnx86/bin/orv_root=755", nullptr, "@/inst/tools.lnx86/bin/prog", "", "@", false, "@/inst", kPlatTool, ""},
      {kPlatDir, "inst/tools/bin/orv_plat.dat=lnx86\r\nx\n", "@/inst/tools/bin/prog", "", "@", false, "@/inst", kTool, ""},
      {kPlatDir, "inst/tools/bin/orv_plat.dat=sun4\n", "@/inst/tools/bin/prog", "", "@", false, "@/inst", nullptr, ""},
      {kInst + "o/tools/bin/prog=755 o/tools/bin/orv_root=755", nullptr, "prog", "@/none::@/o/tools/bin", "@/inst/tools/bin", false, "@/inst", kTool, ""},
      {kInst, nullptr, "prog", "@/none:", "@/inst/tools/bin", false, "@/inst", kTool, ""},
      {kInst, nullptr, "./bin/prog", "", "@/inst/tools", false, "@/inst", kTool, ""},
      {kInst, nullptr, "prog", nullptr, "@/inst/tools/bin", false, "@/inst", kTool, "ERROR! unable to determine search path - check PATH setting\n"},
      {kInst, nullptr, "prog", "@/none", "@", false, nullptr, nullptr, ""},
      {kInst + "s/prog=755", "s/.command_table.dat= prog a b c /x\nprog a b\nprog  a\tb  c   @/inst/tools/bin/prog\r\nprog a b c /x\n", "prog", "@/s", "@", true, "@/inst", kTool, ""},
      {kInst + "s/prog=755", "s/.command_table.dat=prog a b c @/inst/tools/bin/prog\n", "prog", "@/s", "@", false, nullptr, nullptr, ""},
      {kInst, nullptr, nullptr, "", "@", false, nullptr, nullptr, "ERROR! orvInit has not been called\nERROR! orvInit has not been called\n"},
  };
  // clang-format on
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const auto &c = cases[i];
    vaktest::TempDir tmp;
    MakeTree(tmp, c.files, c.data);
    auto r = vaktest::RunInChild([&] {
      Prepare(tmp, c.arg0, c.path, c.cwd, c.stream);
      printf("%s\n", Show(orvGetInstallRoot()));
      printf("%s\n", Show(orvGetToolsPath("bin/vakbd")));
      return 0;
    });
    EXPECT_EQ(r.out, At(tmp, c.wantRoot) + "\n" + At(tmp, c.wantTools) + "\n") << "case " << i;
    EXPECT_EQ(r.err, c.wantErr) << "case " << i;
  }
}

TEST(InstallRoot, PathCleanUpAndRootTest) {
  // clang-format off
  struct { const char *in, *cleaned; int isRoot; } cases[] = {
      {"/a//b/./c/../d", "/a/b/d", 0}, {"/a/b/../../c", "/c", 0}, {"/../x", "/x", 0}, {"/a/..", "/a/..", 0},
      {"//", "/", 1}, {"/../", "/", 1}, {"/..", "/..", 0}};
  // clang-format on
  for (const auto &c : cases) {
    EXPECT_EQ(orvIsRoot(c.in), c.isRoot) << c.in;
    std::string s = c.in;
    orviCleanupRootedPath(&s[0]);
    EXPECT_STREQ(s.c_str(), c.cleaned) << c.in;
  }
}

}  // namespace
