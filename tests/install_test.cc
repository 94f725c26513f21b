// The install as its users meet it: every file in its place, the libraries' exports, the example
// editors built out of tree against it (pkg-config and find_package) holding locks that the
// installed tool lists, and the Debian package unpacked anywhere.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

using namespace vaktest;

std::vector<std::string> Words(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::string Describe(const RunResult &r) {
  return "status " + std::to_string(r.exitStatus) + "\n" + r.out + r.err;
}

// The program file of the daemon serving the guard's port.
std::string DaemonProgram(const DaemonGuard &guard) {
  char buf[PATH_MAX];
  std::string exe = "/proc/" + std::to_string(VakbdPid("127.0.0.1", guard.port())) + "/exe";
  return realpath(exe.c_str(), buf) != nullptr ? buf : "";
}

std::string Line(FILE *stream) {
  char line[PATH_MAX + 100];
  return stream != nullptr && fgets(line, sizeof line, stream) != nullptr ? line : "";
}

// What an install holds below its prefix beyond what building and running against it shows.
void CheckTree(const std::string &prefix) {
  // "x": executable by all; "f": a non-empty file; else the target of a symbolic link, relative so
  // that a moved or unpacked tree still leads to its own install root.
  // clang-format off
  struct { const char *path, *want; } rows[] = {
      {"tools/bin/orv_root", "x"}, {"tools/bin/vakcompatd", "x"},
      {"bin/vakAdminTool", "../tools/bin/vakAdminTool"}, {"bin/vakbd", "../tools/bin/vakbd"},
      {"lib/libvak.so.6", "libvak.so.6.1.0"}, {"lib/liborv.so.6", "liborv.so.6.1.0"},
      {"share/man/man1/vakAdminTool.1", "f"}, {"share/man/man3/vak.3", "f"}, {"share/man/man8/vakbd.8", "f"},
      {"share/bash-completion/completions/vakAdminTool", "f"}};
  // clang-format on
  for (const auto &row : rows) {
    const std::string path = prefix + "/" + row.path, want = row.want;
    struct stat st;
    char link[PATH_MAX] = "";
    if (want != "x" && want != "f") {
      EXPECT_EQ(std::string(link, std::max<ssize_t>(0, readlink(path.c_str(), link, sizeof link))),
                want)
          << path;
    } else {
      EXPECT_TRUE(lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                  (want == "f" ? st.st_size > 0 : (st.st_mode & 0111) == 0111))
          << path;
    }
  }
}

// Names declared with the export macro at the start of a line of a public header.
std::set<std::string> DeclaredApi(const std::string &header, const std::string &macro) {
  const std::string text = "\n" + ReadFile(header);
  const std::regex declaration("\n[ \t]*" + macro + "\\b[^;(]*?(\\w+)\\s*(\\[\\])?\\s*[(;]");
  std::set<std::string> names;
  for (std::sregex_iterator it(text.begin(), text.end(), declaration), end; it != end; ++it) {
    names.insert((*it)[1]);
  }
  return names;
}

// Defined dynamic symbols of a shared library, without the sanitizers' own.
std::set<std::string> ExportedSymbols(const std::string &library) {
  std::istringstream in(RunProgram({"/usr/bin/nm", "-D", "--defined-only", library}).out);
  std::set<std::string> names;
  for (std::string line; std::getline(in, line);) {
    std::string name = line.substr(line.rfind(' ') + 1);
    if (name.compare(0, 2, "__") != 0 || name.find("san") == std::string::npos) names.insert(name);
  }
  return names;
}

TEST(InstallTest, InstallIsCompleteAndServesApplicationsBuiltAgainstIt) {
  DaemonGuard guard;
  TempDir dir;
  const std::string tree = dir.Sub("prefix"), examples = VAK_SOURCE_DIR "/examples/";
  RunResult install =
      RunProgram({VAK_CMAKE_COMMAND, "--install", VAK_BINARY_DIR, "--prefix", tree});
  ASSERT_EQ(install.exitStatus, 0) << Describe(install);
  CheckTree(tree);
  // Internal functions leaking out would become API that applications rely on; a public function
  // without the macro would be missing. Applications load the file their link recorded: SONAME.
  for (std::string lib : {"vak", "orv"}) {
    const std::string path = tree + "/lib/lib" + lib + ".so";
    std::set<std::string> declared =
        DeclaredApi(tree + "/include/" + lib + ".h", lib == "vak" ? "VAK_API" : "ORV_API");
    EXPECT_TRUE(!declared.empty() && ExportedSymbols(path) == declared) << lib;
    EXPECT_NE(RunProgram({"/usr/bin/readelf", "-d", path}).out.find("[lib" + lib + ".so.6]"),
              std::string::npos);
  }

  // The example editors, built as a makefile would with pkg-config (the C one also proves the
  // headers pedantic C), and with find_package(Vak) in a project of their own.
  const std::string build = dir.Sub("consumer"),
                    cflags = "-Wall -Wextra -Werror " VAK_CONSUMER_FLAGS;
  const std::vector<std::string> editors = {dir.Sub("pc-editor"), build + "/vak-editor",
                                            build + "/vak-editor++"};
  RunOptions pc, slow;
  pc.env = {{"PKG_CONFIG_LIBDIR", tree + "/lib/pkgconfig"}};
  RunResult flags = RunProgram({"/usr/bin/env", "pkg-config", "--cflags", "--libs", "vak"}, pc);
  RunResult compiled =
      RunProgram(Words(VAK_C_COMPILER " -std=c99 -pedantic -o " + editors[0] + " " + examples +
                       "editor.c " + cflags + " " + flags.out + " -Wl,-rpath," + tree + "/lib"));
  ASSERT_EQ(compiled.exitStatus, 0) << flags.err << Describe(compiled);
  slow.timeoutSeconds = 120;
  RunResult configure =
      RunProgram({VAK_CMAKE_COMMAND, "-S", VAK_SOURCE_DIR "/tests/consumer", "-B", build,
                  "-DCMAKE_PREFIX_PATH=" + tree, "-DVAK_EXAMPLES_DIR=" + examples,
                  "-DCMAKE_C_COMPILER=" VAK_C_COMPILER, "-DCMAKE_CXX_COMPILER=" VAK_CXX_COMPILER,
                  "-DCMAKE_C_FLAGS=" + cflags, "-DCMAKE_CXX_FLAGS=" + cflags},
                 slow);
  ASSERT_EQ(configure.exitStatus, 0) << Describe(configure);
  // The package must come from this install, not from one elsewhere on the machine.
  EXPECT_NE(ReadFile(build + "/CMakeCache.txt").find("Vak_DIR:PATH=" + tree + "/lib/cmake/Vak"),
            std::string::npos);
  compiled = RunProgram({VAK_CMAKE_COMMAND, "--build", build}, slow);
  ASSERT_EQ(compiled.exitStatus, 0) << Describe(compiled);

  // Each editor holds the lock of its file for a while; living outside the install, it finds the
  // daemon through the vakbd link on PATH. The installed tool, started by bare name through the
  // link in bin/, finds its install root and lists them all.
  const std::string work = dir.Sub("work"), path = tree + "/bin:/usr/bin:/bin";
  std::vector<FILE *> running;
  for (size_t i = 0; i < editors.size(); ++i) {
    const std::string file = work + "/doc" + std::to_string(i);
    WriteFile(file, "draft\n");
    running.push_back(
        popen(("PATH=" + path + " exec " + editors[i] + " --hold 15 " + file).c_str(), "r"));
    EXPECT_EQ(Line(running[i]), "locked " + file + "\n");
  }
  RunOptions viaPath;
  viaPath.env = {{"PATH", path}};
  RunResult list = RunProgram({"/usr/bin/env", "vakAdminTool", "-ale", work}, viaPath);
  EXPECT_EQ(list.err, "");
  for (size_t i = 0; i < editors.size(); ++i) {
    EXPECT_NE(list.out.find("\n " + work + "/doc" + std::to_string(i) + " "), std::string::npos)
        << list.out;
  }
  EXPECT_NE(list.out.find("SUMMARY: A total of 3 Edit Locks were found"), std::string::npos)
      << list.out;
  EXPECT_EQ(DaemonProgram(guard), tree + "/tools/bin/vakbd");
  for (size_t i = 0; i < running.size(); ++i) {
    EXPECT_EQ(Line(running[i]), "released " + work + "/doc" + std::to_string(i) + "\n");
    EXPECT_EQ(running[i] != nullptr ? pclose(running[i]) : -1, 0) << editors[i];
  }
}

TEST(InstallTest, DebianPackageUnpacksIntoARunnableTree) {
  DaemonGuard guard;
  TempDir dir;
  RunOptions slow;
  slow.timeoutSeconds = 240;
  RunResult pack = RunProgram({VAK_CPACK_COMMAND, "-G", "DEB", "--config",
                               VAK_BINARY_DIR "/CPackConfig.cmake", "-B", dir.path()},
                              slow);
  const size_t end = pack.out.find(".deb generated"), start = pack.out.rfind("package: ", end);
  ASSERT_TRUE(pack.exitStatus == 0 && end != std::string::npos && start != std::string::npos)
      << Describe(pack);
  const std::string deb = pack.out.substr(start + 9, end + 4 - start - 9), root = dir.Sub("root");
  EXPECT_NE(RunProgram({"/usr/bin/dpkg-deb", "-f", deb, "Depends"}).out.find("libc6"),
            std::string::npos);
  ASSERT_EQ(RunProgram({"/usr/bin/dpkg-deb", "-x", deb, root}).exitStatus, 0);
  CheckTree(root + "/usr");
  // Without the vakbd link on PATH, only the install root found from /usr/bin/vakAdminTool can
  // lead the tool to the daemon.
  ASSERT_EQ(unlink((root + "/usr/bin/vakbd").c_str()), 0);
  RunOptions viaPath;
  viaPath.env = {{"PATH", root + "/usr/bin:/usr/bin:/bin"}};
  RunResult list =
      RunProgram({"/usr/bin/env", "vakAdminTool", "-ale", root + "/usr/include"}, viaPath);
  EXPECT_EQ(list.err, "");
  EXPECT_NE(list.out.find("SUMMARY: No Edit Locks were found"), std::string::npos) << list.out;
  EXPECT_EQ(DaemonProgram(guard), root + "/usr/tools/bin/vakbd");
}

}  // namespace
