// What both shift benchmarks share: a process's resident set and open
// descriptors read from /proc, the samples taken over a shift, and the
// simulated encoder's record of written cards.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace soak {

/// The texts of a card's three tracks; an unselected track is empty.
struct Tracks {
  std::string track1, track2, track3;
  friend bool operator==(const Tracks&, const Tracks&) = default;
};

/// Resident set of a process in KiB (VmRSS), -1 when it cannot be read.
long residentKiB(pid_t pid);
/// One line of /proc/<pid>/status in KiB ("RssAnon", "RssFile", ...), -1
/// when it cannot be read.
long statusKiB(pid_t pid, const std::string& field);
/// Open descriptors of a process, -1 when they cannot be counted.
int openDescriptors(pid_t pid);

/// One look at a process after `card` cards of the shift.
struct Sample {
  long card = 0;
  pid_t pid = 0;
  long rssKiB = 0;
  int descriptors = 0;
  int timers = 0;        ///< Velmora only
  int objects = 0;       ///< Velmora only: the dialog's QObject descendants
  long heapKiB = 0;      ///< Velmora only: bytes the allocator has handed out
  long heapHeldKiB = 0;  ///< Velmora only: what the allocator holds
  long anonKiB = 0;      ///< resident pages not backed by a file
};

/// First, last and largest figures, and the largest growth of the
/// resident set and of the descriptors within one process from its first
/// sample.
struct Summary {
  Sample first, last;
  long maxRssKiB = 0;
  long maxGrowthKiB = 0;
  int maxDescriptors = 0;
  int maxDescriptorGrowth = 0;
};
Summary summarize(const std::vector<Sample>& samples);

/// The written cards of a record file (one JSON object per line), with
/// whether the encoder answered 'p'. Lines that do not parse are counted
/// in `unreadable`.
struct RecordedWrite {
  Tracks tracks;
  bool succeeded = false;
};
std::vector<RecordedWrite> readWriteRecord(const std::string& path,
                                           int& unreadable);

/// The first difference between what was meant and what was found, as a
/// line for the report; empty when they are the same list.
std::string firstDifference(const std::vector<Tracks>& meant,
                            const std::vector<Tracks>& found,
                            const std::string& what);

/// How many cards appear more than once (by their three texts).
int repeatedCards(const std::vector<Tracks>& cards);

std::string describe(const Tracks& card);

}  // namespace soak
