#include "stake_file.h"

#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "posix_io.h"
#include "status.h"

namespace {

std::string Line(const char *key, const std::string &value) {
  char head[40];
  snprintf(head, sizeof head, "%-30s ", key);
  return head + value + "\n";
}

// One section exactly as the writer must produce it.
std::string Section(bool current, const std::string &login) {
  return (current ? "#\n# Edit Lock-Stake file. CAUTION: Please do not change.\n#\n"
                    "# Information about current Edit Lock Owner.\n#\n"
                  : "#\n# Information about former Edit Lock Owner.\n#\n") +
         Line("LockStakeVersion", "1.1") + Line("LoginName", login) + Line("HostName", "h.org") +
         Line("ProcessIdentifier", "42") + Line("ProcessCreationTime_UTC", "-17") +
         Line("ProcessCreationTime_Readable", "Mon Jan  5 10:00:00 2026 UTC") +
         Line("AppIdentifier", "editor") + Line("OSType", "lnx86") +
         Line("ReasonForPlacingEditLock", "Not specified") +
         Line("FilePathUsedToEditLock", "./a b") + Line("TimeEditLocked", "Mon Jan  5 2026");
}

int Read(const std::string &text, LockStake **chain, char **msg) {
  orv::UniqueFile f(tmpfile());
  fwrite(text.data(), 1, text.size(), f.get());
  rewind(f.get());
  return vakReadLockStakeInfo(f.get(), chain, msg);
}

TEST(StakeFileTest, RoundTripGivesTheSameBytes) {
  std::string text;
  for (int sections = 1; sections <= 3; ++sections) {
    text += Section(sections == 1, "user" + std::to_string(sections));
    LockStake *chain = nullptr;
    ASSERT_EQ(VAK_OK, Read(text, &chain, nullptr)) << sections;
    orv::UniqueFile f(tmpfile());
    ASSERT_EQ(VAK_OK, vakWriteLockStakeInfo("a b", f.get(), chain, nullptr));
    std::string again(static_cast<size_t>(ftell(f.get())), '\0');
    rewind(f.get());
    EXPECT_EQ(again.size(), fread(&again[0], 1, again.size(), f.get()));
    EXPECT_EQ(text, again) << sections;
    vakFreeLockStake(chain);
  }
}

TEST(StakeFileTest, ReaderRules) {
  const std::string one = Section(true, "ann");
  auto edit = [&](const std::string &from, const std::string &to) {
    std::string t = one;
    return t.replace(t.find(from), from.size(), to);
  };
  std::string crlf;
  for (char c : one) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const int kBad = VAK_MALFORMED_LOCK_STAKE_FILE;
  const struct {
    std::string text;
    int want;
    const char *login;  // LoginName read when the read succeeds
    uint64_t pid;
  } cases[] = {
      {"", kBad, nullptr, 0},
      {one.substr(0, one.size() - 1), kBad, nullptr, 0},  // last line without LF
      {one + "\n", kBad, nullptr, 0},                     // blank line after the last section
      {edit("LoginName ", "LoginNamex"), kBad, nullptr, 0},
      {edit("ann", std::string("a\0n", 3)), kBad, nullptr, 0},
      {edit("LoginName", "loginNAME"), VAK_OK, "ann", 42},
      {crlf, VAK_OK, "ann", 42},
      {edit("42", "x"), VAK_OK, "ann", 0},
      {edit("ann\n", "\t ann  \n"), VAK_OK, "ann  ", 42},
      {edit(Line("LoginName", "ann"), "LoginName ann\n"), VAK_OK, "ann", 42},
      {edit("ann\n", "\n"), VAK_OK, "", 42},
      {"\n# note\n  " + one.substr(1), VAK_OK, "ann", 42},
  };
  int row = 0;
  for (const auto &c : cases) {
    LockStake *chain = reinterpret_cast<LockStake *>(&chain);  // must be reset on failure
    char *msg = nullptr;
    EXPECT_EQ(c.want, Read(c.text, &chain, &msg)) << "row " << row;
    if (c.want != VAK_OK) {
      EXPECT_EQ(nullptr, chain) << "row " << row;
      EXPECT_STREQ(vakMalformedMsg, msg) << "row " << row++;
      free(msg);
      continue;
    }
    EXPECT_STREQ(c.login, chain->header->loginName) << "row " << row;
    EXPECT_EQ(c.pid, chain->header->processId->processId) << "row " << row++;
    vakFreeLockStake(chain);
  }
}

}  // namespace
