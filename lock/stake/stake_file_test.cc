#include "stake/stake_file.h"

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

// Files from other writers that keep the layout are read; anything else is malformed, never a
// partial chain. What the writer makes of a chain read from its own layout is the same bytes.
TEST(StakeFileTest, ReadsOtherWritersRefusesTheRestWritesItsOwnBack) {
  const std::string one = Section(true, "ann");
  auto edit = [&](const std::string &from, const std::string &to) {
    std::string t = one;
    return t.replace(t.find(from), from.size(), to);
  };
  const std::string longLogin(3000, 'x');  // longer than the writer's line buffer
  std::string crlf;
  for (char c : one) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const struct {
    std::string text;
    const char *login;  // LoginName read; nullptr: the file is malformed
    uint64_t pid;
    bool own = false;  // the writer's own layout
  } cases[] = {
      {"", nullptr, 0},
      {one.substr(0, one.size() - 1), nullptr, 0},  // last line without LF
      {one + "\n", nullptr, 0},                     // blank line after the last section
      {edit("LoginName ", "LoginNamex"), nullptr, 0},
      {edit("ann", std::string("a\0n", 3)), nullptr, 0},
      {one, "ann", 42, true},
      {one + Section(false, "bob") + Section(false, "cy"), "ann", 42, true},
      {edit("ann", longLogin), longLogin.c_str(), 42, true},
      {edit("LoginName", "loginNAME"), "ann", 42},
      {crlf, "ann", 42},
      {edit("42", "x"), "ann", 0},
      {edit("ann\n", "\t ann  \n"), "ann  ", 42},
      {edit(Line("LoginName", "ann"), "LoginName ann\n"), "ann", 42},
      {edit("ann\n", "\n"), "", 42},
      {"\n# note\n  " + one.substr(1), "ann", 42},
  };
  for (const auto &c : cases) {
    orv::UniqueFile in(tmpfile()), out(tmpfile());
    fwrite(c.text.data(), 1, c.text.size(), in.get());
    rewind(in.get());
    LockStake *chain = reinterpret_cast<LockStake *>(&chain);  // must be reset on failure
    char *msg = nullptr;
    int status = vakReadLockStakeInfo(in.get(), &chain, &msg);
    if (c.login == nullptr) {
      EXPECT_EQ(VAK_MALFORMED_LOCK_STAKE_FILE, status) << c.text;
      EXPECT_EQ(nullptr, chain) << c.text;
      EXPECT_STREQ(vakMalformedMsg, msg) << c.text;
      free(msg);
      continue;
    }
    ASSERT_EQ(VAK_OK, status) << c.text;
    EXPECT_STREQ(c.login, chain->header->loginName) << c.text;
    EXPECT_EQ(c.pid, chain->header->processId->processId) << c.text;
    ASSERT_EQ(VAK_OK, vakWriteLockStakeInfo("a b", out.get(), chain, nullptr));
    std::string again(static_cast<size_t>(ftell(out.get())), '\0');
    rewind(out.get());
    EXPECT_EQ(again.size(), fread(&again[0], 1, again.size(), out.get()));
    EXPECT_TRUE(!c.own || again == c.text) << again;
    vakFreeLockStake(chain);
  }
}

}  // namespace

namespace {

// A line feed inside a value would end its line early: each is written as a blank, also across
// the writer's internal chunks.
TEST(StakeFileTest, LineFeedsInValuesBecomeBlanks) {
  for (const std::string &reason : {std::string("a\nb"), std::string("\n"),
                                    std::string(1020, 'r') + "\n\nx" + std::string(2000, 'y')}) {
    std::string expected = reason;
    for (char &c : expected) c = c == '\n' ? ' ' : c;
    LockStakeTrailer trailer = {};
    trailer.reason = const_cast<char *>(reason.c_str());
    trailer.filePathUsed = const_cast<char *>("f");
    trailer.timeLocked = const_cast<char *>("t");
    orv::UniqueFile out(tmpfile());
    ASSERT_EQ(VAK_OK, vakWriteTrailerInfo(out.get(), &trailer, nullptr));
    std::string text(static_cast<size_t>(ftell(out.get())), '\0');
    rewind(out.get());
    ASSERT_EQ(text.size(), fread(&text[0], 1, text.size(), out.get()));
    EXPECT_EQ(Line("ReasonForPlacingEditLock", expected) + Line("FilePathUsedToEditLock", "f") +
                  Line("TimeEditLocked", "t"),
              text);
  }
}

}  // namespace
