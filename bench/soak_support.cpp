#include "soak_support.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <tuple>

namespace soak {

long statusKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

long residentKiB(pid_t pid) { return statusKiB(pid, "VmRSS"); }

int openDescriptors(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  // Looking at our own descriptors opens one more.
  return pid == getpid() ? count - 1 : count;
}

Summary summarize(const std::vector<Sample>& samples) {
  Summary summary;
  if (samples.empty()) return summary;
  summary.first = samples.front();
  summary.last = samples.back();
  std::map<pid_t, Sample> firstOfProcess;
  for (const Sample& s : samples) {
    summary.maxRssKiB = std::max(summary.maxRssKiB, s.rssKiB);
    summary.maxDescriptors = std::max(summary.maxDescriptors, s.descriptors);
    const Sample& base = firstOfProcess.try_emplace(s.pid, s).first->second;
    summary.maxGrowthKiB =
        std::max(summary.maxGrowthKiB, s.rssKiB - base.rssKiB);
    summary.maxDescriptorGrowth =
        std::max(summary.maxDescriptorGrowth, s.descriptors - base.descriptors);
  }
  return summary;
}

std::vector<RecordedWrite> readWriteRecord(const std::string& path,
                                           int& unreadable) {
  std::vector<RecordedWrite> writes;
  unreadable = 0;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const auto json = nlohmann::json::parse(line, nullptr, false);
    if (!json.is_object() || !json.contains("status")) {
      ++unreadable;
      continue;
    }
    RecordedWrite write;
    write.tracks = {json.value("track1", ""), json.value("track2", ""),
                    json.value("track3", "")};
    write.succeeded = json["status"] == "p";
    writes.push_back(std::move(write));
  }
  return writes;
}

std::string describe(const Tracks& card) {
  return "\"" + card.track1 + "|" + card.track2 + "|" + card.track3 + "\"";
}

std::string firstDifference(const std::vector<Tracks>& meant,
                            const std::vector<Tracks>& found,
                            const std::string& what) {
  const auto [m, f] =
      std::mismatch(meant.begin(), meant.end(), found.begin(), found.end());
  if (m == meant.end() && f == found.end()) return {};
  std::ostringstream out;
  out << what << ": " << meant.size() << " meant, " << found.size()
      << " found; first difference at " << (m - meant.begin()) + 1 << ": "
      << (m == meant.end() ? "nothing" : describe(*m)) << " meant, "
      << (f == found.end() ? "nothing" : describe(*f)) << " found";
  return out.str();
}

int repeatedCards(const std::vector<Tracks>& cards) {
  std::set<std::tuple<std::string, std::string, std::string>> seen;
  int repeated = 0;
  for (const Tracks& c : cards) {
    if (!seen.emplace(c.track1, c.track2, c.track3).second) ++repeated;
  }
  return repeated;
}

}  // namespace soak
