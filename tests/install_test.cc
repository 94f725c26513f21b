// The install as its users meet it: every file in its place, the libraries' exports, the example
// editors built out of tree against it (pkg-config and find_package) holding locks that the
// installed tool lists. The Debian packages have a test of their own (tests/package_test.sh).
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

using namespace vaktest;

// Runs a bash script that stops at the first failing command, traced on standard error, with the
// install tree in $T, a scratch folder in $D, the source and build in $S and $B, and the tools.
RunResult Script(const std::string &script, const std::string &tree, const std::string &dir) {
  const char *flags = "-Wall -Wextra -Werror " VAK_CONSUMER_FLAGS;
  // Through the environment, so that paths with blanks arrive whole (the scripts quote them).
  RunOptions options{"",
                     {{"T", tree},
                      {"D", dir},
                      {"FLAGS", flags},
                      {"S", VAK_SOURCE_DIR},
                      {"B", VAK_BINARY_DIR},
                      {"CC", VAK_C_COMPILER},
                      {"CXX", VAK_CXX_COMPILER},
                      {"CMAKE", VAK_CMAKE_COMMAND}},
                     {},
                     "",
                     240};
  return RunProgram({"/bin/bash", "-xec", script}, options);
}

std::string Line(FILE *stream) {
  char line[PATH_MAX + 100];
  return stream != nullptr && fgets(line, sizeof line, stream) != nullptr ? line : "";
}

// The link to the program file of the daemon serving the guard's port.
std::string DaemonExe(const DaemonGuard &guard) {
  return "/proc/" + std::to_string(VakbdPid("127.0.0.1", guard.port())) + "/exe";
}

// A symbolic link's target, "x" for a file executable by all, "f" for another non-empty file.
std::string Kind(const std::string &path) {
  char link[PATH_MAX];
  struct stat st;
  ssize_t n = readlink(path.c_str(), link, sizeof link);
  if (n > 0) return std::string(link, n);
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "missing";
  return (st.st_mode & 0111) == 0111 ? "x" : st.st_size > 0 ? "f" : "empty";
}

// What an install holds below its prefix beyond what building and running against it shows. The
// links are relative, so that a moved or unpacked tree still leads to its own install root.
void CheckTree(const std::string &prefix) {
  // clang-format off
  struct { const char *path, *want; } rows[] = {
      {"tools/bin/orv_root", "x"}, {"tools/bin/vakcompatd", "x"},
      {"bin/vakAdminTool", "../tools/bin/vakAdminTool"}, {"bin/vakbd", "../tools/bin/vakbd"},
      {"bin/editlock", "../tools/bin/editlock"}, {"share/man/man1/editlock.1", "f"},
      {"lib/libvak.so.6", "libvak.so.6.1.0"}, {"lib/liborv.so.6", "liborv.so.6.1.0"},
      {"share/man/man1/vakAdminTool.1", "f"}, {"share/man/man3/vak.3", "f"}, {"share/man/man8/vakbd.8", "f"},
      {"share/bash-completion/completions/vakAdminTool", "f"},
      {"share/bash-completion/completions/editlock", "f"},
      {"share/man/man8/vakcompatd.8", "f"},
      {"share/doc/editlock/copyright", "f"},
      {"lib/systemd/system/vakbd.service", "f"}};
  // clang-format on
  for (const auto &row : rows) EXPECT_EQ(Kind(prefix + "/" + row.path), row.want) << row.path;
}

TEST(InstallTest, InstallIsCompleteAndServesApplicationsBuiltAgainstIt) {
  DaemonGuard guard;
  TempDir dir;
  const std::string tree = dir.Sub("prefix");
  // Exactly the names declared with the export macro are exported: an internal function leaking
  // out becomes API that applications rely on. Applications load the file their link recorded,
  // the SONAME. The example editors build as a makefile would with pkg-config (the C one also
  // proves the headers pedantic C), and with find_package(Vak), which must find this install.
  RunResult r = Script(R"sh("$CMAKE" --install "$B" --prefix "$T"
    for lib in vak orv; do
      nm -D --defined-only "$T/lib/lib$lib.so" | awk '{print $NF}' | grep -v '^__.*san' | sort >"$D/got"
      grep -oP "^\s*${lib^^}_API\b[^;(]*?\K\w+(?=\s*(\[\])?\s*[(;])" "$T/include/$lib.h" | sort >"$D/want"
      diff "$D/want" "$D/got" && test -s "$D/want"
      readelf -d "$T/lib/lib$lib.so" | grep -F "Library soname: [lib$lib.so.6]"
    done
    export PKG_CONFIG_LIBDIR=$T/lib/pkgconfig
    "$CC" -std=c99 -pedantic $FLAGS -o "$D/pc-editor" "$S/examples/editor.c" \
        $(pkg-config --cflags --libs vak) -Wl,-rpath,"$T/lib"
    "$CMAKE" -S "$S/tests/consumer" -B "$D/consumer" -DCMAKE_PREFIX_PATH="$T" \
        -DVAK_EXAMPLES_DIR="$S/examples" -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
        "-DCMAKE_C_FLAGS=$FLAGS" "-DCMAKE_CXX_FLAGS=$FLAGS"
    grep -xF "Vak_DIR:PATH=$T/lib/cmake/Vak" "$D/consumer/CMakeCache.txt"
    "$CMAKE" --build "$D/consumer")sh",
                       tree, dir.path());
  ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
  CheckTree(tree);

  // Each editor holds the lock of its file for a while; living outside the install, it finds the
  // daemon through the vakbd link on PATH. The installed tool, started by bare name through the
  // link in bin/, finds its install root and lists them all.
  const std::string path = tree + "/bin:/usr/bin:/bin", work = dir.Sub("work/doc");
  const char *editors[] = {"pc-editor", "consumer/vak-editor", "consumer/vak-editor++"};
  std::vector<FILE *> running;
  for (int i = 0; i < 3; ++i) {
    WriteFile(work + std::to_string(i), "draft\n");
    std::string command = "PATH=" + path + " exec " + dir.Sub(editors[i]) + " --hold 15 " + work;
    running.push_back(popen((command + std::to_string(i)).c_str(), "r"));
    EXPECT_EQ(Line(running[i]), "locked " + work + std::to_string(i) + "\n");
  }
  RunOptions viaPath{"", {{"PATH", path}}, {}, ""};
  RunResult list = RunProgram({"/usr/bin/env", "vakAdminTool", "-ale", dir.Sub("work")}, viaPath);
  EXPECT_EQ(list.err, "");
  EXPECT_NE(list.out.find("SUMMARY: A total of 3 Edit Locks"), std::string::npos) << list.out;
  EXPECT_EQ(Kind(DaemonExe(guard)), tree + "/tools/bin/vakbd");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Line(running[i]), "released " + work + std::to_string(i) + "\n");
    EXPECT_EQ(running[i] != nullptr ? pclose(running[i]) : -1, 0) << editors[i];
  }
}

// The hardening of a distribution build, read from the installed files: relocations read-only
// and bound at start-up, programs at a random address, the stack protector (and, where the build
// fortifies, glibc's checked calls) in use. libvak finds liborv beside itself, so that a program
// linked with --as-needed against libvak alone runs from an install under any prefix.
TEST(InstallTest, InstalledFilesAreHardenedAndFindTheirLibraries) {
  if (!VAK_HARDENED) GTEST_SKIP() << "built with VAK_HARDENING=OFF";
  TempDir dir;
  const std::string tree = dir.Sub("opt/editlock");
  RunResult install = Script(R"sh("$CMAKE" --install "$B" --prefix "$T" >/dev/null)sh", tree, "");
  ASSERT_EQ(install.exitStatus, 0) << install.err;
  // clang-format off
  struct { const char *file; bool program; } rows[] = {
      {"tools/bin/vakbd", true}, {"tools/bin/vakAdminTool", true}, {"tools/bin/editlock", true},
      {"tools/bin/vakcompatd", true}, {"lib/libvak.so", false}, {"lib/liborv.so", false}};
  // clang-format on
  for (const auto &row : rows) {
    std::string script = R"sh(f="$T/$1"
      readelf -d "$f" | grep -E "\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW"
      readelf -lW "$f" | grep -w GNU_RELRO
      nm -D "$f" | grep -w __stack_chk_fail)sh";
    if (row.program)
      script += R"sh(
      readelf -h "$f" | grep -F "DYN (Position-Independent")sh";
    if (VAK_FORTIFIED)
      script += R"sh(
      nm -D "$f" | grep -E " U __[a-z]+_chk@")sh";
    RunResult r =
        RunProgram({"/bin/bash", "-xec", script, "check", row.file}, {"", {{"T", tree}}, {}, ""});
    EXPECT_EQ(r.exitStatus, 0) << row.file << "\n" << r.out << r.err;
  }
  // Only libvak on the link line, RUNPATH (which serves the program's own needs only) to the
  // install: liborv comes through libvak's $ORIGIN.
  RunResult r = Script(R"sh(readelf -d "$T/lib/libvak.so" | grep -F "Library runpath: [\$ORIGIN]"
    printf '#include <stdio.h>\n#include <vak.h>\nint main(void) { puts(VAK_LOCK_STAKE_FILE_SUFFIX); return 0; }\n' >"$D/suffix.c"
    "$CC" $FLAGS -I"$T/include" -o "$D/suffix" "$D/suffix.c" -Wl,--as-needed -L"$T/lib" -lvak \
        -Wl,--enable-new-dtags,-rpath,"$T/lib"
    test "$(readelf -d "$D/suffix" | grep -c liborv)" = 0
    test "$(env -u LD_LIBRARY_PATH "$D/suffix")" = .orvlck)sh",
                       tree, dir.path());
  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
}

}  // namespace
