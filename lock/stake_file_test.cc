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

// The text of one section as the writer must produce it; pid and login vary per section.
std::string Section(bool current, const std::string &login, const std::string &pid) {
  std::string s = current ? "#\n# Edit Lock-Stake file. CAUTION: Please do not change.\n#\n"
                            "# Information about current Edit Lock Owner.\n#\n"
                          : "#\n# Information about former Edit Lock Owner.\n#\n";
  return s + Line("LockStakeVersion", "1.1") + Line("LoginName", login) +
         Line("HostName", "alpha.example.org") + Line("ProcessIdentifier", pid) +
         Line("ProcessCreationTime_UTC", "-17") +
         Line("ProcessCreationTime_Readable", "Mon Jan  5 10:00:00 2026 UTC") +
         Line("AppIdentifier", "editor") + Line("OSType", "lnx86") +
         Line("ReasonForPlacingEditLock", "Not specified") +
         Line("FilePathUsedToEditLock", "./report.txt") +
         Line("TimeEditLocked", "Mon Jan  5 10:00:01 2026 UTC");
}

int Read(const std::string &text, LockStake **chain, char **msg) {
  orv::UniqueFile f(tmpfile());
  fwrite(text.data(), 1, text.size(), f.get());
  rewind(f.get());
  return vakReadLockStakeInfo(f.get(), chain, msg);
}

std::string Write(const LockStake *chain) {
  orv::UniqueFile f(tmpfile());
  EXPECT_EQ(VAK_OK, vakWriteLockStakeInfo("report.txt", f.get(), chain, nullptr));
  std::string text(static_cast<size_t>(ftell(f.get())), '\0');
  rewind(f.get());
  EXPECT_EQ(text.size(), fread(&text[0], 1, text.size(), f.get()));
  return text;
}

TEST(StakeFileTest, RoundTripKeepsLayoutAndOrder) {
  for (int sections = 1; sections <= 3; ++sections) {
    std::string text;
    for (int i = 0; i < sections; ++i) text += Section(i == 0, "user" + std::to_string(i), "42");
    LockStake *chain = nullptr;
    ASSERT_EQ(VAK_OK, Read(text, &chain, nullptr)) << sections;
    int i = 0;
    for (LockStake *s = chain; s != nullptr; s = s->next, ++i) {
      EXPECT_EQ("user" + std::to_string(i), s->header->loginName);
      EXPECT_EQ(42u, s->header->processId->processId);
      EXPECT_EQ(-17, s->header->processId->creationTime);
      EXPECT_STREQ("./report.txt", s->trailer->filePathUsed);
    }
    EXPECT_EQ(sections, i);
    EXPECT_EQ(text, Write(chain)) << "writing what was read must give the same bytes";
    vakFreeLockStake(chain);
  }
}

TEST(StakeFileTest, ReaderRules) {
  const std::string one = Section(true, "ann", "42");
  auto replace = [&](const std::string &from, const std::string &to) {
    std::string t = one;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  std::string crlf;
  for (char c : one) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const int kBad = VAK_MALFORMED_LOCK_STAKE_FILE;
  struct Case {
    const char *name;
    std::string text;
    int want;
    const char *login;  // expected LoginName when the read succeeds
    uint64_t pid;
  } cases[] = {
      {"empty file", "", kBad, nullptr, 0},
      {"last line without LF", one.substr(0, one.size() - 1), kBad, nullptr, 0},
      {"blank line after last section", one + "\n", kBad, nullptr, 0},
      {"comment after last section", one + "#\n", kBad, nullptr, 0},
      {"key followed by a letter", replace("LoginName ", "LoginNamex"), kBad, nullptr, 0},
      {"missing key", replace(Line("OSType", "lnx86"), ""), kBad, nullptr, 0},
      {"NUL byte", replace("ann", std::string("a\0n", 3)), kBad, nullptr, 0},
      {"key in lower case", replace("LoginName", "loginname"), VAK_OK, "ann", 42},
      {"CR LF lines", crlf, VAK_OK, "ann", 42},
      {"non-numeric pid", replace(Line("ProcessIdentifier", "42"), Line("ProcessIdentifier", "x")),
       VAK_OK, "ann", 0},
      {"leading blanks dropped, trailing kept", replace("ann\n", "\t ann  \n"), VAK_OK, "ann  ",
       42},
      {"single blank after key", replace(Line("LoginName", "ann"), "LoginName ann\n"), VAK_OK,
       "ann", 42},
      {"empty value", replace("ann\n", "\n"), VAK_OK, "", 42},
      {"blank and comment lines before keys", "\n# note\n  " + one.substr(1), VAK_OK, "ann", 42},
  };
  for (const Case &c : cases) {
    LockStake *chain = reinterpret_cast<LockStake *>(&chain);  // must be reset to NULL on failure
    char *msg = nullptr;
    EXPECT_EQ(c.want, Read(c.text, &chain, &msg)) << c.name;
    if (c.want != VAK_OK) {
      EXPECT_EQ(nullptr, chain) << c.name;
      EXPECT_STREQ(vakMalformedMsg, msg) << c.name;
      free(msg);
      continue;
    }
    ASSERT_NE(nullptr, chain) << c.name;
    EXPECT_STREQ(c.login, chain->header->loginName) << c.name;
    EXPECT_EQ(c.pid, chain->header->processId->processId) << c.name;
    EXPECT_EQ(nullptr, chain->next) << c.name;
    vakFreeLockStake(chain);
  }
}

}  // namespace
