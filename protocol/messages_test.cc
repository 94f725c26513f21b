#include "messages.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "bool_daemon.h"
#include "compat_daemon.h"

namespace {

// Keywords are prefixes tried in table order after white space, case-sensitively; both daemons'
// version messages are judged alike, a wild version clamped to an int.
TEST(MessagesTest, KeywordsVersionsAndLogInfo) {
  using protocol::VersionCheck;
  const protocol::Dialect &bd = protocol::kBoolDaemon, &cd = protocol::kCompatDaemon;
  const struct {
    const protocol::Dialect *dialect;
    const char *text;
    int kind;          // -1: no keyword
    const char *rest;  // what follows the keyword
    VersionCheck version;
    int shown;  // the version named, for kOtherVersion
  } cases[] = {
      {&bd, " \tDiebug", kBdDie, "bug", VersionCheck::kOtherMessage, 0},
      {&bd, "NotAlive", kBdNotAlive, "", VersionCheck::kOtherMessage, 0},
      {&bd, "VakBoolVersion 1", kBdVersion, " 1", VersionCheck::kAccepted, 0},
      {&bd, "VakBoolVersion 99999999999", kBdVersion, " 99999999999", VersionCheck::kOtherVersion,
       2147483647},
      {&bd, "procalive 1 2", -1, nullptr, VersionCheck::kNoMessage, 0},
      {&cd, "Unlock \"f\" 1", kCdUnlock, " \"f\" 1", VersionCheck::kOtherMessage, 0},
      {&cd, "VakCompatDVersion 3", kCdVersion, " 3", VersionCheck::kOtherVersion, 3},
      {&cd, "VakCompatDVersion 2", kCdVersion, " 2", VersionCheck::kAccepted, 0},
      {&cd, "LogInfo /x", kCdLogInfo, " /x", VersionCheck::kOtherMessage, 0},
      {&cd, "", -1, nullptr, VersionCheck::kNoMessage, 0},
  };
  for (const auto &c : cases) {
    int kind = -1, shown = 0;
    const char *rest = protocol::ParseMessage(*c.dialect, c.text, &kind);
    EXPECT_EQ(c.kind, kind) << c.text;
    EXPECT_EQ(std::string(c.rest ? c.rest : "<none>"), rest ? rest : "<none>") << c.text;
    EXPECT_EQ(c.version, protocol::CheckVersion(*c.dialect, c.text, &shown)) << c.text;
    EXPECT_EQ(c.shown, shown) << c.text;
    const char *info = protocol::LogInfoOf(*c.dialect, c.text);
    EXPECT_EQ(c.kind == c.dialect->logInfoKind, info != nullptr && info == rest) << c.text;
  }
  EXPECT_EQ(nullptr, vakBdParseMsg(nullptr, nullptr));
  EXPECT_EQ(nullptr, protocol::KeywordOf(bd, kBdIndeterminate));
  EXPECT_STREQ("VakBoolVersion 1", protocol::kBdGreeting);
}

// What goes on the wire: requests built by the clients, and the port both ends read.
TEST(MessagesTest, RequestFormsAndPort) {
  char buf[protocol::kProcAliveRequestSize];
  EXPECT_TRUE(protocol::FormatStartLog("/a b", buf, 14));
  EXPECT_STREQ("StartLog /a b", buf);
  EXPECT_FALSE(protocol::FormatStartLog("/a bc", buf, 14));
  EXPECT_EQ(4, protocol::LongestLogName(14));
  protocol::FormatProcAlive(18446744073709551615ull, -5, buf, sizeof buf);
  EXPECT_STREQ("ProcAlive 18446744073709551615 -5", buf);
  char *lock = protocol::NewLockRequest("/p \"q\"", "", 7);
  char *withReason = protocol::NewLockRequest("/p", "why \"not\"", 7);
  char *unlock = protocol::NewUnlockRequest("/p", 4294967295ul);
  EXPECT_STREQ("Lock \"/p \"q\"\" \"\" 7", lock);
  EXPECT_STREQ("Lock \"/p\" \"why \"not\"\" 7", withReason);
  EXPECT_STREQ("Unlock \"/p\" 4294967295", unlock);
  for (char *request : {lock, withReason, unlock}) free(request);
  // clang-format off
  const struct { const char *text; bool accepted; int32_t port; uint16_t used; } ports[] = {
      {" 16724", true, 16724, 16724}, {"70000", true, 70000, 4464}, {"-1", true, -1, 65535},
      {"12x", false, 5, 5}, {"", false, 5, 5}, {nullptr, false, 5, 5}};
  // clang-format on
  for (const auto &p : ports) {
    int32_t port = 5;
    char warning[128] = "";
    FILE *warnings = fmemopen(warning, sizeof warning, "w");
    EXPECT_EQ(p.accepted, protocol::ApplyPortText(p.text, &port, warnings));
    fclose(warnings);
    EXPECT_EQ(p.port, port);
    EXPECT_EQ(p.used, protocol::EffectivePort(port));
    const std::string warned = p.accepted || p.text == nullptr
                                   ? ""
                                   : "Warning (vakbd): bad -portnum value \"" +
                                         std::string(p.text) + "\" ignored\n";
    EXPECT_EQ(warned, warning);
  }
}

}  // namespace
