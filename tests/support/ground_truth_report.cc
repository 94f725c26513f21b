// ground_truth_report.cc - the figures of a race and the timeline around each finding.
#include <stdio.h>

#include <algorithm>

#include "ground_truth.h"
#include "vak.h"

namespace vaktest {

Figures GroundTruth::Count() const {
  Figures f;
  for (const Process &p : processes_) {
    f.kills += p.killed != INT64_MAX;
    f.killsInside += p.killed != INT64_MAX && !p.events.empty() && p.events.back().kind == 'S';
    for (const TruthEvent &e : p.events) {
      f.gets += e.kind == 'E' && e.op == "get" && e.status == VAK_OK;
      f.steals += e.kind == 'E' && e.op == "steal" && e.status == VAK_OK;
      f.releases += e.kind == 'E' && e.op == "release";
    }
  }
  // A get that followed a claim ended by its owner's death took that lock over.
  for (const auto &fc : Claims()) {
    for (size_t i = 1; i < fc.second.size(); ++i) {
      f.takeOvers += fc.second[i].byGet && fc.second[i - 1].died &&
                     fc.second[i - 1].process != fc.second[i].process;
    }
  }
  return f;
}

std::string GroundTruth::Timeline(const Violation &v, size_t maxLines) const {
  // From the start of the round before the one of v.from to the end of the round of v.to.
  auto roundAt = [&](int64_t t) {
    return std::upper_bound(rounds_.begin(), rounds_.end(), std::make_pair(t, INT32_MAX)) -
           rounds_.begin();
  };
  const long first = roundAt(v.from) - 2, last = roundAt(v.to);
  const int64_t lo = first >= 0 ? rounds_[first].first : INT64_MIN;
  const int64_t hi = last < static_cast<long>(rounds_.size()) ? rounds_[last].first : INT64_MAX;
  std::vector<std::pair<int64_t, std::string>> lines;
  for (size_t p = 0; p < processes_.size(); ++p) {
    const Process &proc = processes_[p];
    bool touches = false;
    for (const TruthEvent &e : proc.events) {
      if (e.file != v.file) continue;
      touches |= e.t >= lo && e.t < hi;
      if (e.t < lo || e.t >= hi) continue;
      std::string what = e.kind == 'S'   ? "start   " + e.op
                         : e.kind == 'E' ? "end     " + e.op + " -> " + StatusName(e.status)
                                         : "confirm -> " + StatusName(e.status);
      if (e.kind == 'E' && e.status != VAK_OK) what += ": " + e.text;
      lines.push_back({e.t, Describe(static_cast<int>(p)) + "  " + what});
    }
    if (touches && proc.killed >= lo && proc.killed < hi) {
      lines.push_back({proc.killed, Describe(static_cast<int>(p)) + "  KILLED"});
    }
  }
  for (const Reading &r : readings_) {
    if (r.file == v.file && r.t >= lo && r.t < hi) {
      lines.push_back({r.t, "read from " + r.host + ": " + (r.seen.empty() ? "no lock" : r.seen)});
    }
  }
  for (auto f = forced_.lower_bound(v.file); f != forced_.upper_bound(v.file); ++f) {
    if (f->second >= lo && f->second < hi) lines.push_back({f->second, "FORCED RELEASE"});
  }
  for (const auto &round : rounds_) {
    if (round.first >= lo && round.first < hi) {
      lines.push_back({round.first, "---- round " + std::to_string(round.second)});
    }
  }
  std::stable_sort(lines.begin(), lines.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });
  // Keep the lines nearest the violation when there are too many.
  size_t end = lines.size();
  while (end > maxLines && lines[end - 1].first > v.to) --end;
  const size_t begin = end > maxLines ? end - maxLines : 0;
  std::string text = "  " + v.kind + ": " + v.what + "\n  timeline of " + v.file + ":\n";
  for (size_t i = begin; i < end; ++i) {
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%12.3f ms  ", static_cast<double>(lines[i].first - base_) / 1e6);
    text += "    " + std::string(stamp) + lines[i].second + "\n";
  }
  return text;
}

}  // namespace vaktest
