#include "ground_truth.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "vak.h"

namespace vaktest {

namespace {

std::string BaseName(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The entry of key, or an empty one, without a copy.
template <typename Map>
const typename Map::mapped_type &At(const Map &map, const std::string &key) {
  static const typename Map::mapped_type none;
  auto it = map.find(key);
  return it != map.end() ? it->second : none;
}

bool Allowed(const std::string &op, int status) {
  if (op == "release") return status == VAK_OK || status == VAK_NOT_EDIT_LOCK_OWNER;
  return status == VAK_OK || status == VAK_FILE_ALREADY_LOCKED;
}

}  // namespace

std::string StatusName(int status) {
  switch (status) {
    case VAK_OK:
      return "OK";
    case VAK_FILE_ALREADY_LOCKED:
      return "ALREADY_LOCKED";
    case VAK_FILE_NOT_LOCKED:
      return "NOT_LOCKED";
    case VAK_NOT_EDIT_LOCK_OWNER:
      return "NOT_OWNER";
    case VAK_MALFORMED_LOCK_STAKE_FILE:
      return "MALFORMED";
    case VAK_SYS_ERROR:
      return "SYS_ERROR";
    default:
      return "status " + std::to_string(status);
  }
}

int64_t MonotonicNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int GroundTruth::AddProcess(const std::string &name) {
  processes_.push_back(Process());
  processes_.back().name = name;
  return static_cast<int>(processes_.size()) - 1;
}

void GroundTruth::SetLabel(int process, const std::string &label) {
  processes_[process].label = label;
}

void GroundTruth::AddEvent(int process, const TruthEvent &event) {
  base_ = std::min(base_, event.t);
  processes_[process].events.push_back(event);
}

void GroundTruth::AddRecord(int process, const std::string &lines) {
  Process &p = processes_[process];
  p.partial += lines;
  size_t at = 0;
  for (size_t end; (end = p.partial.find('\n', at)) != std::string::npos; at = end + 1) {
    std::istringstream in(p.partial.substr(at, end - at));
    TruthEvent e;
    std::string path;
    in >> e.t >> e.kind;
    if (e.kind == 'I') {
      std::string host, pid;
      in >> host >> pid;
      SetLabel(process, host + " " + pid);
      continue;
    }
    if (e.kind != 'C') in >> e.op;
    in >> path;
    if (e.kind != 'S') in >> e.status;
    std::getline(in >> std::ws, e.text);
    e.file = BaseName(path);
    if (!e.file.empty()) AddEvent(process, e);
  }
  p.partial.erase(0, at);
}

void GroundTruth::Killed(int process, int64_t t) {
  base_ = std::min(base_, t);
  processes_[process].killed = t;
}

void GroundTruth::Read(int64_t t, const std::string &file, const std::string &host,
                       const std::string &seen) {
  base_ = std::min(base_, t);
  readings_.push_back({t, file, host, seen});
}

void GroundTruth::ForcedRelease(const std::string &file, int64_t t) {
  base_ = std::min(base_, t);
  forced_.insert({file, t});
}

void GroundTruth::Round(int64_t t, int round) {
  base_ = std::min(base_, t);
  rounds_.push_back({t, round});
}

std::map<std::string, std::vector<GroundTruth::Steal>> GroundTruth::Steals() const {
  std::map<std::string, std::vector<Steal>> steals;
  for (size_t p = 0; p < processes_.size(); ++p) {
    int64_t start = 0;
    const Process &proc = processes_[p];
    for (const TruthEvent &e : proc.events) {
      if (e.kind == 'S') start = e.t;
      if (e.kind == 'E' && e.op == "steal" && e.status == VAK_OK) {
        steals[e.file].push_back({static_cast<int>(p), start, e.t, false});
      }
    }
    const TruthEvent *last = proc.events.empty() ? nullptr : &proc.events.back();
    if (last != nullptr && last->kind == 'S' && last->op == "steal" && proc.killed != INT64_MAX) {
      steals[last->file].push_back({static_cast<int>(p), last->t, proc.killed, true});
    }
  }
  return steals;
}

std::map<std::string, std::vector<GroundTruth::Claim>> GroundTruth::Claims() const {
  std::map<std::string, std::vector<Claim>> claims;
  for (size_t p = 0; p < processes_.size(); ++p) {
    const Process &proc = processes_[p];
    std::map<std::string, size_t> open;  // file -> its claim now running
    int64_t start = 0;
    for (size_t i = 0; i < proc.events.size(); ++i) {
      const TruthEvent &e = proc.events[i];
      auto it = open.find(e.file);
      if (e.kind == 'S') start = e.t;
      if (e.kind == 'S' && e.op == "release" && it != open.end()) {
        claims[e.file][it->second].end = e.t;
        claims[e.file][it->second].releaseEvent = i;
        open.erase(it);
      }
      if (e.kind == 'E' && (e.op == "get" || e.op == "steal") && e.status == VAK_OK) {
        if (it != open.end()) claims[e.file][it->second].end = e.t;  // renewed: a new claim
        Claim c = {static_cast<int>(p), start, e.t, INT64_MAX, e.op == "get"};
        open[e.file] = claims[e.file].size();
        claims[e.file].push_back(c);
      }
    }
  }
  const auto steals = Steals();
  for (auto &fc : claims) {
    for (Claim &c : fc.second) {
      const Process &proc = processes_[c.process];
      if (c.end > proc.killed) {
        c.end = std::max(c.since, proc.killed);
        c.died = true;
      }
      const int64_t natural = c.end;
      c.maybeEnd = natural;
      for (const Steal &s : At(steals, fc.first)) {
        if (s.process == c.process || s.end <= c.opStart || s.start >= natural) continue;
        c.end = std::min(c.end, std::max(c.since, s.start));
        if (s.start >= c.since && !s.unfinished) c.maybeEnd = std::min(c.maybeEnd, s.start);
        c.stolen = true;
        c.stolenAt = std::min(c.stolenAt, s.start);
      }
      for (auto f = forced_.lower_bound(fc.first); f != forced_.upper_bound(fc.first); ++f) {
        if (f->second < c.since || f->second >= natural) continue;
        c.end = std::min(c.end, f->second);
        c.maybeEnd = std::min(c.maybeEnd, f->second);
        c.stolen = true;
        c.stolenAt = std::min(c.stolenAt, f->second);
      }
    }
    std::sort(fc.second.begin(), fc.second.end(),
              [](const Claim &a, const Claim &b) { return a.since < b.since; });
  }
  return claims;
}

std::string GroundTruth::Describe(int process) const {
  const Process &p = processes_[process];
  return p.name + " (" + (p.label.empty() ? "?" : p.label) + ")";
}

bool GroundTruth::AliveAt(const std::string &label, int64_t t) const {
  for (const Process &p : processes_) {
    if (p.label == label && p.killed > t && (p.events.empty() || p.events[0].t <= t)) return true;
  }
  return false;
}

std::string GroundTruth::OwnerAt(const std::string &file, int64_t t) const {
  const auto claims = Claims();
  for (const Claim &c : At(claims, file)) {
    if (c.since <= t && t < c.end) return processes_[c.process].label;
  }
  return "";
}

std::vector<Violation> GroundTruth::Check() const {
  std::vector<Violation> found = extra_;
  auto claims = Claims();
  const auto steals = Steals();
  auto ms = [&](int64_t t) {
    char text[32];
    snprintf(text, sizeof text, "%.3f ms", static_cast<double>(t - base_) / 1e6);
    return std::string(text);
  };
  // What the hosts read against the owner by the ground truth, first: an interval ends where its
  // lock was found lost, so that what follows from one loss is not reported again.
  std::map<std::pair<size_t, std::string>, std::set<std::string>> perRound;
  std::set<std::string> strays;  // "file owner" of each unowned lock reported: once each
  for (const Reading &r : readings_) {
    const size_t round = static_cast<size_t>(
        std::upper_bound(rounds_.begin(), rounds_.end(), std::make_pair(r.t, INT32_MAX)) -
        rounds_.begin());
    perRound[{round, r.file}].insert(r.seen);
    if (r.seen.compare(0, 7, "status ") == 0) {
      found.push_back({"status", r.file, r.host + " read " + r.file + ": " + r.seen, r.t, r.t});
      continue;
    }
    Claim *owner = nullptr;
    std::set<std::string> may;  // owners the ground truth allows
    for (Claim &c : claims[r.file]) {
      if (c.since <= r.t && r.t < c.end) owner = &c;
      if (c.since <= r.t && r.t < std::max(c.end, c.maybeEnd)) {
        may.insert(processes_[c.process].label);
      }
    }
    const std::string seen = r.seen.empty() ? "no lock" : r.seen;
    if (owner != nullptr && (r.seen.empty() || may.count(r.seen) == 0)) {
      found.push_back({"lost lock", r.file,
                       Describe(owner->process) + " owns " + r.file + " by the ground truth, but " +
                           r.host + " read " + seen + " at " + ms(r.t),
                       owner->opStart, r.t});
      owner->end = owner->maybeEnd = r.t;
      owner->lost = true;
    } else if (owner == nullptr && !r.seen.empty() && may.count(r.seen) == 0 &&
               AliveAt(r.seen, r.t) && strays.insert(r.file + " " + r.seen).second) {
      found.push_back({"unowned lock", r.file,
                       r.host + " read a lock of live " + r.seen + " on " + r.file + " at " +
                           ms(r.t) + ", which does not own it by the ground truth",
                       r.t, r.t});
    }
  }
  // Two owners at once.
  for (const auto &fc : claims) {
    std::vector<const Claim *> active;
    std::set<std::pair<int, int>> pairs;  // reported once per pair of processes
    for (const Claim &c : fc.second) {
      if (c.end <= c.since) continue;
      active.erase(std::remove_if(active.begin(), active.end(),
                                  [&](const Claim *a) { return a->end <= c.since; }),
                   active.end());
      for (const Claim *a : active) {
        if (a->process == c.process || !pairs.insert({a->process, c.process}).second) continue;
        found.push_back({"two owners", fc.first,
                         Describe(a->process) + " owned " + fc.first + " from " + ms(a->since) +
                             " (by its " + (a->byGet ? "get" : "steal") + ") when " +
                             Describe(c.process) + " was told VAK_OK by its " +
                             (c.byGet ? "get" : "steal") + " at " + ms(c.since),
                         std::min(a->opStart, c.opStart), std::min(a->end, c.end)});
      }
      active.push_back(&c);
    }
  }
  for (const auto &rf : perRound) {
    if (rf.second.size() < 2) continue;
    std::string seen;
    for (const std::string &s : rf.second) seen += " [" + s + "]";
    const int64_t t = rf.first.first > 0 ? rounds_[rf.first.first - 1].first : base_;
    found.push_back({"hosts disagree", rf.first.second, "hosts read" + seen, t, t});
  }
  // 3 to 5, per process: confirms, releases, statuses, answers.
  for (size_t p = 0; p < processes_.size(); ++p) {
    const Process &proc = processes_[p];
    const TruthEvent *start = nullptr;
    size_t startIndex = 0;
    int64_t lastOk = -1;
    for (size_t i = 0; i < proc.events.size(); ++i) {
      const TruthEvent &e = proc.events[i];
      const std::vector<Claim> &fileClaims = At(claims, e.file);
      if (e.kind == 'S') start = &e, startIndex = i;
      if (e.kind == 'E' && e.op != "details" && !Allowed(e.op, e.status)) {
        found.push_back({"status", e.file,
                         Describe(static_cast<int>(p)) + " " + e.op + " " + e.file + " gave " +
                             StatusName(e.status) + ": " + e.text,
                         start ? start->t : e.t, e.t});
      }
      if (e.kind == 'E' && e.status == VAK_OK && e.op != "release") lastOk = e.t;
      if (e.kind == 'C' && e.status != VAK_OK) {
        bool excused = false;
        for (const Claim &c : fileClaims) {
          excused |= c.process == static_cast<int>(p) && c.since == lastOk && c.stolenAt < e.t;
        }
        if (!excused) {
          found.push_back({"unconfirmed", e.file,
                           Describe(static_cast<int>(p)) + " was told VAK_OK on " + e.file +
                               " at " + ms(lastOk) + ", but its confirm at once gave " +
                               StatusName(e.status),
                           start ? start->t : lastOk, e.t});
        }
      }
      if (e.kind == 'E' && e.op == "release" && e.status == VAK_NOT_EDIT_LOCK_OWNER && start) {
        const Claim *own = nullptr;
        for (const Claim &c : fileClaims) {
          if (c.process == static_cast<int>(p) && c.releaseEvent == startIndex) own = &c;
        }
        bool stolen = own == nullptr || own->stolen || own->lost;
        for (const Steal &s : At(steals, e.file)) {
          stolen |= s.process != static_cast<int>(p) && s.start < e.t && s.end > start->t;
        }
        if (!stolen) {
          found.push_back({"release", e.file,
                           Describe(static_cast<int>(p)) + " owned " + e.file + " since " +
                               ms(own->since) + " and nobody stole it, but its release gave " +
                               StatusName(e.status) + ": " + e.text,
                           own->opStart, e.t});
        }
      }
      if (e.kind == 'E') start = nullptr;
    }
    if (start != nullptr && proc.killed == INT64_MAX) {
      found.push_back(
          {"no answer", start->file,
           Describe(static_cast<int>(p)) + " " + start->op + " " + start->file + " never ended",
           start->t, start->t});
    }
  }
  // A file left unusable (a lock-stake file that stays malformed) fails every later operation
  // on it the same way: one finding per file and status, with the number of repeats.
  std::vector<Violation> merged;
  std::map<std::string, std::pair<size_t, int>> first;  // "file status" -> finding, repeats
  for (const Violation &v : found) {
    const size_t cut = v.what.find(" gave ") != std::string::npos ? v.what.find(" gave ")
                                                                  : v.what.find(": status ");
    const std::string key = v.file + v.what.substr(cut == std::string::npos ? 0 : cut, 20);
    auto it = first.find(key);
    if (v.kind != "status" || cut == std::string::npos || it == first.end()) {
      if (v.kind == "status") first[key] = {merged.size(), 0};
      merged.push_back(v);
      continue;
    }
    ++it->second.second;
  }
  for (const auto &f : first) {
    if (f.second.second > 0) {
      merged[f.second.first].what += " (and " + std::to_string(f.second.second) + " times more)";
    }
  }
  return merged;
}

}  // namespace vaktest
