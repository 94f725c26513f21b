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
    std::istringstream files(c.files);  // "path=mode" entries, made empty; then data, "path=text"
    for (std::string entry; files >> entry;) {
      vaktest::WriteFile(tmp.Sub(entry.substr(0, entry.find('='))), "");
      chmod(tmp.Sub(entry.substr(0, entry.find('='))).c_str(),
            std::stoi(entry.substr(entry.find('=') + 1), nullptr, 8));
    }
    std::string data = c.data != nullptr ? At(tmp, c.data) : "";
    if (!data.empty())
      vaktest::WriteFile(tmp.Sub(data.substr(0, data.find('='))), data.substr(data.find('=') + 1));
    auto r = vaktest::RunInChild([&] {
      c.path != nullptr ? setenv("PATH", At(tmp, c.path).c_str(), 1) : unsetenv("PATH");
      c.stream ? setenv("ORV_STRM_ACTIVE", "", 1) : unsetenv("ORV_STRM_ACTIVE");
      std::string name = At(tmp, c.arg0);
      char *argv[] = {&name[0], nullptr};
      if (chdir(At(tmp, c.cwd).c_str()) != 0) return 99;
      if (c.arg0 != nullptr) orvInit(nullptr, argv);
      for (char *found : {orvGetInstallRoot(), orvGetToolsPath("bin/vakbd")}) {
        printf("%s\n", found != nullptr ? found : "(null)");
        free(found);
      }
      return 0;
    });
    EXPECT_EQ(r.out, At(tmp, c.wantRoot) + "\n" + At(tmp, c.wantTools) + "\n") << "case " << i;
    EXPECT_EQ(r.err, c.wantErr) << "case " << i;
  }
}

}  // namespace
