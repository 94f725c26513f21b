// The install as its users meet it: the libraries' exported symbols and names, the public headers
// compiled strictly, the example editors built out of tree against the install (pkg-config and
// find_package) holding locks that the installed tool lists, and the Debian package.
#include <ctype.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
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
  return "status " + std::to_string(r.exitStatus) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

// Installs the build into a fresh prefix, as `cmake --install build --prefix P` does.
class InstalledTree {
 public:
  InstalledTree() {
    RunResult r =
        RunProgram({VAK_CMAKE_COMMAND, "--install", VAK_BINARY_DIR, "--prefix", prefix()});
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
  }
  std::string prefix() const { return dir_.Sub("prefix"); }
  std::string Path(const std::string &relative) const { return prefix() + "/" + relative; }
  // PATH with the install's bin first, as a user who installed it would have.
  std::string SearchPath() const { return Path("bin") + ":/usr/bin:/bin"; }
  std::string Scratch(const std::string &relative) const { return dir_.Sub(relative); }

 private:
  TempDir dir_;
};

std::string RealPath(const std::string &path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) != nullptr ? buf : "";
}

bool IsNameChar(char ch) {
  return isalnum(static_cast<unsigned char>(ch)) || ch == '_';
}

// The identifier that ends just before position end, skipping blanks and "[]".
std::string NameBefore(const std::string &text, size_t end) {
  while (end > 0 && !IsNameChar(text[end - 1])) --end;
  size_t begin = end;
  while (begin > 0 && IsNameChar(text[begin - 1])) --begin;
  return text.substr(begin, end - begin);
}

// Names declared with the given export macro at the start of a line of a public header: the
// function before the first "(", else the variable at the end of the declaration.
std::set<std::string> DeclaredApi(const std::string &header, const std::string &macro) {
  std::set<std::string> names;
  std::string text = ReadFile(header);
  for (size_t at = text.find(macro); at != std::string::npos; at = text.find(macro, at + 1)) {
    size_t lineStart = text.rfind('\n', at);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    if (text.find_first_not_of(" \t", lineStart) != at) continue;  // e.g. "#define VAK_API"
    std::string declaration = text.substr(at, text.find(';', at) - at);
    size_t paren = declaration.find('(');
    names.insert(NameBefore(declaration, paren != std::string::npos ? paren : declaration.size()));
  }
  return names;
}

// Defined dynamic symbols of a shared library, without the sanitizers' own.
std::set<std::string> ExportedSymbols(const std::string &library) {
  RunResult r = RunProgram({"/usr/bin/nm", "-D", "--defined-only", library});
  EXPECT_EQ(r.exitStatus, 0) << Describe(r);
  std::set<std::string> names;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> w = Words(line);
    if (w.empty()) continue;
    const std::string &name = w.back();
    bool sanitizer = false;
    for (const char *prefix : {"__asan", "__odr_asan", "__ubsan", "__lsan", "__sanitizer"}) {
      sanitizer = sanitizer || name.compare(0, strlen(prefix), prefix) == 0;
    }
    if (!sanitizer) names.insert(name);
  }
  return names;
}

std::string Joined(const std::set<std::string> &names) {
  std::string text;
  for (const auto &n : names) text += " " + n;
  return text;
}

TEST(InstallTest, SharedLibrariesExportExactlyThePublicApi) {
  InstalledTree tree;
  struct Case {
    std::string library, header, macro, soname;
  } cases[] = {
      // Internal functions leaking out would become API that applications start to rely on;
      // a public function without the macro would be missing from the library.
      {"lib/libvak.so", "include/vak.h", "VAK_API", "libvak.so.6"},
      {"lib/liborv.so", "include/orv.h", "ORV_API", "liborv.so.6"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.library);
    std::set<std::string> declared = DeclaredApi(tree.Path(c.header), c.macro);
    std::set<std::string> exported = ExportedSymbols(tree.Path(c.library));
    ASSERT_FALSE(declared.empty());
    std::set<std::string> leaked, missing;
    for (const auto &n : exported) {
      if (declared.count(n) == 0) leaked.insert(n);
    }
    for (const auto &n : declared) {
      if (exported.count(n) == 0) missing.insert(n);
    }
    EXPECT_TRUE(leaked.empty()) << "exported but not public:" << Joined(leaked);
    EXPECT_TRUE(missing.empty()) << "public but not exported:" << Joined(missing);
    // Applications record the SONAME at link time and load that file at run time.
    RunResult dynamic = RunProgram({"/usr/bin/readelf", "-d", tree.Path(c.library)});
    EXPECT_NE(dynamic.out.find("Library soname: [" + c.soname + "]"), std::string::npos)
        << dynamic.out;
    EXPECT_TRUE(Exists(tree.Path("lib/" + c.soname)));
  }
}

TEST(InstallTest, PublicHeadersCompileStrictlyOnTheirOwn) {
  InstalledTree tree;
  struct Case {
    std::string compiler, language, standard, header;
  } cases[] = {
      {VAK_C_COMPILER, "c", "-std=c99", "vak.h"},
      {VAK_C_COMPILER, "c", "-std=c99", "orv.h"},
      {VAK_CXX_COMPILER, "c++", "-std=c++17", "vak.h"},
      {VAK_CXX_COMPILER, "c++", "-std=c++17", "orv.h"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.language + " " + c.header);
    const std::string source = tree.Scratch("use_" + c.header + "." + c.language);
    // Including the header alone catches a header that depends on another being included first.
    WriteFile(source, "#include <" + c.header + ">\nint main(void) { return 0; }\n");
    RunResult r =
        RunProgram({c.compiler, "-x", c.language, c.standard, "-Wall", "-Wextra", "-pedantic",
                    "-Werror", "-fsyntax-only", "-I", tree.Path("include"), source});
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
  }
}

// A program started in the background with its output going to files.
struct Background {
  pid_t pid = -1;
  std::string outFile, errFile;
  bool ended = false;
  int exitStatus = -1;  // when ended: its exit status, or -1 when killed by a signal
};

Background Start(const std::vector<std::string> &argv, const std::string &outFile,
                 const std::string &searchPath) {
  Background b;
  b.outFile = outFile;
  b.errFile = outFile + ".err";
  b.pid = fork();
  if (b.pid == 0) {
    int out = open(b.outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(b.errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    setenv("PATH", searchPath.c_str(), 1);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return b;
}

// Records the end of the program when it has ended; true then.
bool Ended(Background *b) {
  int status = 0;
  if (!b->ended && waitpid(b->pid, &status, WNOHANG) == b->pid) {
    b->ended = true;
    b->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return b->ended;
}

void Pause() {
  struct timespec pause = {0, 50 * 1000 * 1000};
  nanosleep(&pause, nullptr);
}

// Waits until the program's output begins with prefix; false when it ended or the time ran out.
bool WaitForOutput(Background *b, const std::string &prefix, int limitSeconds) {
  for (int i = 0; i < limitSeconds * 20; ++i) {
    if (ReadFile(b->outFile).compare(0, prefix.size(), prefix) == 0) return true;
    if (Ended(b)) return false;
    Pause();
  }
  return false;
}

// Exit status of a background program; it is killed when it has not ended within the limit.
int Finish(Background *b, int limitSeconds) {
  for (int i = 0; i < limitSeconds * 20 && !Ended(b); ++i) Pause();
  if (!Ended(b)) {
    kill(b->pid, SIGKILL);
    waitpid(b->pid, nullptr, 0);
    b->ended = true;
    b->exitStatus = -2;
  }
  return b->exitStatus;
}

// Builds the example editors with pkg-config, as a makefile would; returns the programs.
std::vector<std::string> BuildWithPkgConfig(const InstalledTree &tree) {
  RunOptions env;
  env.env = {{"PKG_CONFIG_LIBDIR", tree.Path("lib/pkgconfig")}};
  RunResult flags = RunProgram({"/usr/bin/env", "pkg-config", "--cflags", "--libs", "vak"}, env);
  EXPECT_EQ(flags.exitStatus, 0) << Describe(flags);
  RunResult libdir = RunProgram({"/usr/bin/env", "pkg-config", "--variable=libdir", "vak"}, env);
  std::vector<std::string> extra = Words(flags.out + " " + VAK_CONSUMER_FLAGS);
  extra.push_back("-Wl,-rpath," + Words(libdir.out).at(0));
  struct Build {
    std::string compiler, standard, source, program;
  } builds[] = {
      {VAK_C_COMPILER, "-std=c99", "editor.c", "pc-editor"},
      {VAK_CXX_COMPILER, "-std=c++17", "editor.cc", "pc-editor++"},
  };
  std::vector<std::string> programs;
  for (const Build &b : builds) {
    std::vector<std::string> argv = {b.compiler,
                                     b.standard,
                                     "-Wall",
                                     "-Wextra",
                                     "-Werror",
                                     "-o",
                                     tree.Scratch(b.program),
                                     std::string(VAK_SOURCE_DIR) + "/examples/" + b.source};
    argv.insert(argv.end(), extra.begin(), extra.end());
    RunResult r = RunProgram(argv);
    EXPECT_EQ(r.exitStatus, 0) << Describe(r);
    programs.push_back(tree.Scratch(b.program));
  }
  return programs;
}

// Builds the example editors with find_package(Vak) in a project of their own.
std::vector<std::string> BuildWithCMakePackage(const InstalledTree &tree) {
  const std::string build = tree.Scratch("consumer-build");
  const std::string flags = VAK_CONSUMER_FLAGS;
  RunResult configure = RunProgram(
      {VAK_CMAKE_COMMAND, "-S", std::string(VAK_SOURCE_DIR) + "/tests/consumer", "-B", build,
       "-DCMAKE_PREFIX_PATH=" + tree.prefix(), "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
       "-DVAK_EXAMPLES_DIR=" + std::string(VAK_SOURCE_DIR) + "/examples",
       "-DCMAKE_C_COMPILER=" VAK_C_COMPILER, "-DCMAKE_CXX_COMPILER=" VAK_CXX_COMPILER,
       "-DCMAKE_C_FLAGS=-Wall -Wextra -Werror " + flags,
       "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror " + flags},
      RunOptions{"", {}, {}, "", 120});
  EXPECT_EQ(configure.exitStatus, 0) << Describe(configure);
  // The package must come from this install, not from one elsewhere on the machine.
  EXPECT_NE(ReadFile(build + "/CMakeCache.txt").find("Vak_DIR:PATH=" + tree.Path("lib/cmake/Vak")),
            std::string::npos);
  RunResult compile =
      RunProgram({VAK_CMAKE_COMMAND, "--build", build}, RunOptions{"", {}, {}, "", 120});
  EXPECT_EQ(compile.exitStatus, 0) << Describe(compile);
  return {build + "/vak-editor", build + "/vak-editor++"};
}

TEST(InstallTest, ExampleEditorsBuiltOutOfTreeHoldLocksThatTheInstalledToolLists) {
  DaemonGuard guard;
  InstalledTree tree;
  std::vector<std::string> editors = BuildWithPkgConfig(tree);
  for (const auto &e : BuildWithCMakePackage(tree)) editors.push_back(e);
  ASSERT_EQ(editors.size(), 4u);

  // Every editor holds the lock of its own file at the same time.
  const std::string work = tree.Scratch("work");
  std::vector<Background> running;
  std::map<std::string, std::string> expectedOwner;  // locked path -> owner pid
  for (size_t i = 0; i < editors.size(); ++i) {
    const std::string file = work + "/doc" + std::to_string(i) + ".txt";
    WriteFile(file, "draft\n");
    running.push_back(Start({editors[i], "--hold", "4", file},
                            tree.Scratch("editor" + std::to_string(i) + ".out"),
                            tree.SearchPath()));
    expectedOwner[file] = std::to_string(running.back().pid);
  }
  for (size_t i = 0; i < running.size(); ++i) {
    EXPECT_TRUE(WaitForOutput(&running[i], "locked ", 20))
        << editors[i] << ": " << ReadFile(running[i].errFile);
  }

  // The tool, started by bare name through the link in bin/, finds its install root: no
  // complaint about the root or the daemon on standard error.
  RunOptions viaPath;
  viaPath.env = {{"PATH", tree.SearchPath()}};
  RunResult list = RunProgram({"/usr/bin/env", "vakAdminTool", "-ale", work}, viaPath);
  EXPECT_EQ(list.exitStatus, 0);
  EXPECT_EQ(list.err, "");
  std::map<std::string, std::string> listedOwner;
  std::istringstream report(list.out);
  for (std::string line; std::getline(report, line);) {
    std::vector<std::string> w = Words(line);
    if (line.compare(0, 1, " ") == 0 && w.size() == 4) listedOwner[w[0]] = w[2];
  }
  EXPECT_EQ(listedOwner, expectedOwner) << list.out;
  EXPECT_NE(list.out.find("SUMMARY: A total of 4 Edit Locks were found in the directory "
                          "hierarchy: " +
                          work + "\n"),
            std::string::npos)
      << list.out;

  // The daemon serving this test's port is the installed one.
  pid_t daemon = VakbdPid("127.0.0.1", guard.port());
  ASSERT_GT(daemon, 0);
  EXPECT_EQ(RealPath("/proc/" + std::to_string(daemon) + "/exe"),
            RealPath(tree.Path("tools/bin/vakbd")));

  for (size_t i = 0; i < running.size(); ++i) {
    const std::string file = work + "/doc" + std::to_string(i) + ".txt";
    SCOPED_TRACE(editors[i]);
    EXPECT_EQ(Finish(&running[i], 30), 0) << ReadFile(running[i].errFile);
    EXPECT_EQ(ReadFile(running[i].outFile), "locked " + file + "\nreleased " + file + "\n");
    EXPECT_FALSE(Exists(file + ".orvlck"));
  }
}

TEST(InstallTest, DebianPackageUnpacksIntoARunnableTree) {
  DaemonGuard guard;
  TempDir dir;
  RunResult pack =
      RunProgram({VAK_CPACK_COMMAND, "-G", "DEB", "--config",
                  std::string(VAK_BINARY_DIR) + "/CPackConfig.cmake", "-B", dir.path()},
                 RunOptions{"", {}, {}, dir.path(), 240});
  ASSERT_EQ(pack.exitStatus, 0) << Describe(pack);
  const size_t debEnd = pack.out.find(".deb generated");
  const size_t debStart = pack.out.rfind("package: ", debEnd);
  ASSERT_TRUE(debEnd != std::string::npos && debStart != std::string::npos) << pack.out;
  const std::string deb = pack.out.substr(debStart + 9, debEnd + 4 - debStart - 9);

  RunResult depends = RunProgram({"/usr/bin/dpkg-deb", "-f", deb, "Depends"});
  EXPECT_NE(depends.out.find("libc6"), std::string::npos) << Describe(depends);

  RunResult contents = RunProgram({"/usr/bin/dpkg-deb", "-c", deb});
  std::set<std::string> listed;
  std::istringstream in(contents.out);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> w = Words(line);
    if (w.size() >= 6) listed.insert(w[5]);
  }
  // What running the unpacked tree below does not show.
  const char *const expected[] = {
      "./usr/include/vak.h",        "./usr/lib/libvak.so.6",
      "./usr/lib/pkgconfig/vak.pc", "./usr/lib/cmake/Vak/VakConfig.cmake",
      "./usr/share/man/man3/vak.3", "./usr/share/bash-completion/completions/vakAdminTool",
  };
  for (const char *path : expected) EXPECT_EQ(listed.count(path), 1u) << path;

  // Unpacked anywhere, the tree finds itself: /usr/bin/vakAdminTool leads to the /usr root.
  const std::string root = dir.Sub("root");
  RunResult unpack = RunProgram({"/usr/bin/dpkg-deb", "-x", deb, root});
  ASSERT_EQ(unpack.exitStatus, 0) << Describe(unpack);
  // Without the vakbd link on PATH, only the install root can lead the tool to the daemon.
  ASSERT_EQ(unlink((root + "/usr/bin/vakbd").c_str()), 0);
  const std::string empty = dir.Sub("empty");
  WriteFile(empty + "/plain.txt", "x");
  RunOptions viaPath;
  viaPath.env = {{"PATH", root + "/usr/bin:/usr/bin:/bin"}};
  RunResult list = RunProgram({"/usr/bin/env", "vakAdminTool", "-ale", empty}, viaPath);
  EXPECT_EQ(list.err, "");
  EXPECT_EQ(list.out,
            "BEGIN: Edit Locks List\nEND: Edit Locks List\n\nSUMMARY: No Edit Locks "
            "were found in the directory hierarchy: " +
                empty + "\n");
  pid_t daemon = VakbdPid("127.0.0.1", guard.port());
  ASSERT_GT(daemon, 0);
  EXPECT_EQ(RealPath("/proc/" + std::to_string(daemon) + "/exe"),
            RealPath(root + "/usr/tools/bin/vakbd"));
}

}  // namespace
