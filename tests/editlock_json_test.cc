// editlock list --json read back: every name and text, whatever its bytes, comes back from the
// JSON Lines exactly as the lock-stake files and the file system hold it, and the lines parse
// with a JSON reader other than ours (python3's json.tool).
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_guard.h"
#include "json_value.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

using vaktest::RunResult;

const std::string kEditlock = vaktest::StagedProgram("editlock");

// A text member as the bytes it stands for: byte by byte when "bytes_escaped" names it.
std::string Bytes(const vaktest::JsonValue &object, const std::string &name) {
  for (const vaktest::JsonValue &escaped : object["bytes_escaped"].items) {
    if (escaped.text != name) continue;
    std::string bytes;
    EXPECT_TRUE(vaktest::CodePointsAsBytes(object[name].text, &bytes)) << name;
    return bytes;
  }
  return object[name].text;
}

std::vector<vaktest::JsonValue> Lines(const std::string &out) {
  std::vector<vaktest::JsonValue> lines;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.emplace_back();
    EXPECT_TRUE(vaktest::ParseJson(out.substr(start, end - start), &lines.back())) << out;
  }
  EXPECT_EQ(start, out.size()) << "every line ends with a line feed";
  return lines;
}

std::string Stake(const std::string &reason, const std::string &pid) {
  return "#\n# Edit Lock-Stake file. CAUTION: Please do not change.\n#\nLockStakeVersion 1.1\n"
         "LoginName ann\nHostName far.example\nProcessIdentifier " + pid +
         "\nProcessCreationTime_UTC 1700000000\nProcessCreationTime_Readable x\n"
         "AppIdentifier ed\nOSType lnx86\nReasonForPlacingEditLock " + reason +
         "\nFilePathUsedToEditLock p\nTimeEditLocked t\n";
}

// Names JSON cannot carry as they are, and texts with them: each listed lock gives back the
// locked file's path and its owner's fields byte for byte.
TEST(EditlockJsonTest, NamesAndTextsComeBackByteForByte) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir dir;
  const std::vector<std::string> names = {
      "with space", "new\nline",   "caf\xe9",          "tab\tand\x01",
      "q\"b\\s",    "\xc3\xa9t\xc3\xa9", "cut\xc3", "\xe2\x82\xac uro",
  };
  std::map<std::string, std::string> reasons;  // path -> reason written
  int pid = 100;
  for (const std::string &name : names) {
    const std::string path = dir.Sub(name);
    std::string reason = "why " + name;
    std::replace(reason.begin(), reason.end(), '\n', ' ');  // a line of its own in the file
    vaktest::WriteFile(path, "x");
    vaktest::WriteFile(path + ".orvlck", Stake(reason, std::to_string(++pid)));
    reasons[path] = reason;
  }
  RunResult r = vaktest::RunProgram({kEditlock, "list", "--json", dir.path()});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::map<std::string, std::string> listed;
  for (const vaktest::JsonValue &lock : Lines(r.out)) {
    const vaktest::JsonValue &owner = lock["owner"];
    listed[Bytes(lock, "path")] = Bytes(owner, "reason");
    EXPECT_EQ(owner["host"].text, "far.example");
    EXPECT_EQ(owner["process_created"].kind, vaktest::JsonValue::kNumber);
    EXPECT_EQ(owner["process_created"].text, "1700000000");
  }
  EXPECT_EQ(listed, reasons);
  EXPECT_EQ(r.out.find_first_of(std::string("\x80\xff", 2)), std::string::npos) << "ASCII only";
}

// The demo's shapes (nested folders, several live holders) and odd names, listed plainly and
// with --check: every line parses with python3's JSON reader.
TEST(EditlockJsonTest, DemoHierarchyParsesWithPythonsJsonTool) {
  vaktest::DaemonGuard guard;
  vaktest::TempDir dir;
  const std::vector<std::string> held = {"docs/report.txt", "docs/drafts/plan.txt", "src/main.c",
                                         "src/odd\nname \xe9.c"};
  for (const std::string &file : held) vaktest::WriteFile(dir.Sub(file), "x");
  vaktest::WriteFile(dir.Sub("src/util.c"), "x");
  std::vector<std::string> argv;
  for (const std::string &file : held) {
    argv.insert(argv.end(), {kEditlock, "hold", "--reason", "demo \"" + file + "\"",
                             dir.Sub(file), "--"});
  }
  argv.insert(argv.end(), {"sh", "-c", "\"$0\" list --json \"$1\"; \"$0\" list --json --check "
                                       "\"$1\"", kEditlock, dir.path()});
  RunResult r = vaktest::RunProgram(argv);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(Lines(r.out).size(), 2 * held.size()) << r.out;
  vaktest::RunOptions input;
  input.input = r.out;
  RunResult python =
      vaktest::RunProgram({"/usr/bin/env", "python3", "-m", "json.tool", "--json-lines"}, input);
  EXPECT_EQ(python.exitStatus, 0) << python.err << r.out;
  EXPECT_EQ(std::count(python.out.begin(), python.out.end(), '{'),
            std::count(r.out.begin(), r.out.end(), '{')) << python.out;
}

}  // namespace
