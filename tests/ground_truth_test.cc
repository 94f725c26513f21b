// The race harness's checker on made-up histories: each legitimate history must pass, and each
// fault (two owners, a lost lock, a failed confirm or release, a stray status) must be named.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ground_truth.h"

namespace {

using namespace vaktest;

// A history, one step a line: "T P S OP FILE" (start), "T P E OP FILE STATUS" (end),
// "T P C FILE STATUS" (confirm), "T P K" (killed), "T R FILE HOST SEEN..." (a read; no SEEN:
// none), "T N" (a round starts), "T F FILE" (a forced release). P is A, B or C, which lock as "hA
// 1", "hB 2", "hC 3".
GroundTruth Replay(const std::vector<std::string> &steps) {
  GroundTruth truth;
  for (const char *p : {"A", "B", "C"}) {
    const int n = truth.AddProcess(std::string("w") + p);
    truth.SetLabel(n, std::string("h") + p + " " + std::to_string(n + 1));
  }
  int round = 0;
  for (const std::string &step : steps) {
    std::istringstream in(step);
    int64_t t;
    std::string who;
    in >> t >> who;
    if (who == "N") {
      truth.Round(t, ++round);
    } else if (who == "F") {
      std::string file;
      in >> file;
      truth.ForcedRelease(file, t);
    } else if (who == "R") {
      std::string file, host, seen;
      in >> file >> host;
      std::getline(in >> std::ws, seen);
      truth.Read(t, file, host, seen);
    } else {
      const int p = who[0] - 'A';
      char kind;
      in >> kind;
      if (kind == 'K') {
        truth.Killed(p, t);
        continue;
      }
      std::ostringstream line;
      line << t << " " << kind << " " << in.rdbuf() << "\n";
      truth.AddRecord(p, line.str());
    }
  }
  return truth;
}

std::string Kinds(const GroundTruth &truth) {
  std::string kinds;
  for (const Violation &v : truth.Check()) kinds += (kinds.empty() ? "" : ",") + v.kind;
  return kinds;
}

TEST(GroundTruth, NamesEachFaultAndPassesLegitimateHistories) {
  const struct {
    const char *name;
    std::vector<std::string> steps;
    const char *kinds;
  } cases[] = {
      {"owners one after the other",
       {"10 A S get f", "12 A E get f 0", "13 A C f 0", "20 A S release f", "22 A E release f 0",
        "30 B S get f", "32 B E get f 0", "40 R f ha hB 2", "41 R f hb hB 2"},
       ""},
      {"two gets both told OK, the second twice",
       {"10 A S get f", "12 A E get f 0", "11 B S get f", "14 B E get f 0", "15 B S get f",
        "16 B E get f 0"},
       "two owners"},
      {"a steal ends the owner's interval; its release is refused",
       {"10 A S get f", "12 A E get f 0", "20 B S steal f", "25 B E steal f 0", "30 A S release f",
        "31 A E release f 15", "40 R f ha hB 2"},
       ""},
      {"an owner's release refused with no steal",
       {"10 A S get f", "12 A E get f 0", "20 A S release f", "21 A E release f 15 not owner"},
       "release"},
      {"a release refused by a steal made during it",
       {"10 A S get f", "12 A E get f 0", "20 B S steal f", "22 A S release f",
        "24 A E release f 15", "30 B E steal f 0"},
       ""},
      {"a dead owner's lock taken over",
       {"10 A S get f", "12 A E get f 0", "20 A K", "21 R f ha hA 1", "22 N", "25 B S get f",
        "30 B E get f 0", "35 R f ha hB 2"},
       ""},
      {"a live owner's lock taken over",
       {"10 A S get f", "12 A E get f 0", "25 B S get f", "30 B E get f 0"},
       "two owners"},
      {"an owner's lock gone", {"10 A S get f", "12 A E get f 0", "20 R f hb"}, "lost lock"},
      {"an owner's lock removed by force; its release is refused",
       {"10 A S get f", "12 A E get f 0", "15 F f", "20 R f hb", "30 A S release f",
        "31 A E release f 15"},
       ""},
      {"another owner read while the owner lives",
       {"10 A S get f", "12 A E get f 0", "20 R f hb hC 3"},
       "lost lock"},
      {"a lock of a live worker that was told it is taken, read by two hosts, twice",
       {"10 A S get f", "12 A E get f 1 taken", "20 R f ha hA 1", "21 R f hb hA 1", "30 N",
        "31 R f ha hA 1"},
       "unowned lock"},
      {"a confirm refused", {"10 A S get f", "12 A E get f 0", "13 A C f 15"}, "unconfirmed"},
      {"a confirm refused after a concurrent steal",
       {"10 B S steal f", "11 A S get f", "12 A E get f 0", "13 A C f 15", "14 B E steal f 0"},
       ""},
      {"a status no operation should give",
       {"10 A S get f", "12 A E get f 16 malformed", "20 B S release f", "21 B E release f 18 x"},
       "status,status"},
      {"a file left unusable: one finding",
       {"10 A S get f", "12 A E get f 16 malformed", "20 B S get f", "21 B E get f 16 malformed",
        "30 R f ha status 16 malformed", "31 R f hb status 16 malformed"},
       "status,status"},
      {"a thief killed inside its steal, which took the lock",
       {"10 A S get f", "12 A E get f 0", "20 B S steal f", "25 B K", "30 R f ha hB 2",
        "40 A S release f", "41 A E release f 15"},
       ""},
      {"a thief killed inside its steal, which did not take it",
       {"10 A S get f", "12 A E get f 0", "20 B S steal f", "25 B K", "30 R f ha hA 1"},
       ""},
      {"an operation that never ended", {"10 A S get f"}, "no answer"},
      {"an operation cut short by a kill", {"10 A S get f", "11 A K"}, ""},
      {"hosts that disagree on a dead owner's lock",
       {"5 N", "10 A S get f", "12 A E get f 0", "15 A K", "20 R f ha hA 1", "21 R f hb"},
       "hosts disagree"},
  };
  for (const auto &c : cases) {
    GroundTruth truth = Replay(c.steps);
    EXPECT_EQ(Kinds(truth), c.kinds) << c.name;
  }
}

TEST(GroundTruth, RecordsInPiecesCountAndExplain) {
  GroundTruth truth;
  const int a = truth.AddProcess("w0"), b = truth.AddProcess("w1");
  truth.Round(1, 1);
  truth.AddRecord(a, "2 I ha 11\n3 S get /v0/f\n5 E get /v0/f 0 -\n6 C /v");
  truth.AddRecord(a, "0/f 0\n");
  truth.AddRecord(b, "2 I hb 22\n3 S get /v1/f\n");
  truth.Killed(a, 7);
  truth.AddRecord(b, "9 E get /v1/f 0 -\n");
  truth.AddRecord(b, "10 S steal /v1/g\n11 E steal /v1/g 0 -\n");
  truth.Read(12, "f", "hb", "ha 11");
  EXPECT_EQ(truth.OwnerAt("f", 6), "ha 11");
  EXPECT_EQ(truth.OwnerAt("f", 10), "hb 22");
  EXPECT_TRUE(truth.AliveAt("hb 22", 12));
  EXPECT_FALSE(truth.AliveAt("ha 11", 12));
  const Figures f = truth.Count();
  EXPECT_EQ(f.gets, 2);
  EXPECT_EQ(f.steals, 1);
  EXPECT_EQ(f.kills, 1);
  EXPECT_EQ(f.killsInside, 0);  // killed once its get had ended
  EXPECT_EQ(f.takeOvers, 1);
  const auto found = truth.Check();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].kind, "lost lock");
  const std::string timeline = truth.Timeline(found[0]);
  for (const char *part : {"w0 (ha 11)  end     get -> OK", "w0 (ha 11)  KILLED",
                           "read from hb: ha 11", "---- round 1"}) {
    EXPECT_NE(timeline.find(part), std::string::npos) << part << "\n" << timeline;
  }
}

}  // namespace
