// quillon write: one card or a batch, from texts counted up card by card
// or from a CSV file; each card optionally read back, and journalled once
// confirmed so that --resume goes on after the last confirmed card.
#include "card_batch.h"
#include "card_text.h"
#include "commands.h"
#include "exit_codes.h"
#include "journal.h"
#include "output_sink.h"
#include "quillon/core/status.h"

namespace quillon::cli {

namespace {

std::string trackName(int track) { return "track " + std::to_string(track); }

// Everything checked before the port is opened: nothing is sent for bad
// input. The batch, or a message.
std::variant<CardBatch, std::string> planBatch(const WriteOptions& options) {
  if (!options.from.empty()) return CardBatch::fromCsv(options.from);
  std::array<std::optional<std::string>, 3> texts;
  for (std::size_t i = 0; i < 3; ++i) {
    if (!options.texts[i]) continue;
    texts[i] = utf8ToLatin1(*options.texts[i]);
    if (!texts[i]) {
      return "--track" + std::to_string(i + 1) +
             " holds a character that is not one byte (UTF-8 text of "
             "U+0000 to U+00FF only)";
    }
  }
  std::vector<Increment> increments;
  for (const std::string& text : options.increments) {
    auto increment = parseIncrement(text);
    if (auto* message = std::get_if<std::string>(&increment)) return *message;
    increments.push_back(std::get<Increment>(increment));
  }
  const long count = options.count.value_or(1);
  if (count < 1) return std::string("--count must be at least 1");
  return CardBatch::fromTexts(texts, increments,
                              static_cast<std::size_t>(count));
}

// The card to start with: 0, or the one after the journal's last card. A
// message when the journal does not belong to this batch.
std::variant<std::size_t, std::string> firstCard(const WriteOptions& options,
                                                 const Journal& journal,
                                                 CardBatch& batch) {
  const auto& entry = journal.last();
  if (!entry) return std::size_t{0};
  if (!options.resume) {
    return "the journal " + options.journal +
           " already holds confirmed cards: add --resume to go on with that "
           "batch, or name a new journal";
  }
  if (entry->card < 1 || static_cast<std::size_t>(entry->card) > batch.size()) {
    return "the journal's last card, " + std::to_string(entry->card) +
           ", is not one of this batch's " + std::to_string(batch.size());
  }
  const Tracks& planned = batch.at(static_cast<std::size_t>(entry->card - 1));
  for (int track = 1; track <= 3; ++track) {
    if (!protocol::selectionHasTrack(batch.selection(), track)) continue;
    const auto i = static_cast<std::size_t>(track - 1);
    if (planned[i] != entry->tracks[i]) {
      return "the journal does not belong to this batch: its card " +
             std::to_string(entry->card) + " has " + trackName(track) + " \"" +
             escapedForDisplay(entry->tracks[i]) + "\", this batch \"" +
             escapedForDisplay(planned[i]) + "\"";
    }
  }
  return static_cast<std::size_t>(entry->card);
}

// What differs between the card as meant and as read back, or empty.
std::string difference(int selection, const Tracks& meant, const Tracks& got) {
  for (int track = 1; track <= 3; ++track) {
    const auto i = static_cast<std::size_t>(track - 1);
    if (protocol::selectionHasTrack(selection, track) && meant[i] != got[i]) {
      return "read back " + trackName(track) + " \"" +
             escapedForDisplay(got[i]) + "\" instead of \"" +
             escapedForDisplay(meant[i]) + "\"";
    }
  }
  return {};
}

// A short description of a card for progress lines: its counted track,
// else its first track.
std::string cardDetail(int selection, const Tracks& card, int shownTrack) {
  int track = shownTrack;
  if (!protocol::selectionHasTrack(selection, track)) {
    for (track = 1; !protocol::selectionHasTrack(selection, track); ++track) {
    }
  }
  return trackName(track) + " " +
         escapedForDisplay(card[static_cast<std::size_t>(track - 1)]);
}

}  // namespace

int runWrite(const GlobalOptions& global, InterruptSource& interrupt,
             const WriteOptions& options) {
  if (options.resume && options.journal.empty()) {
    complain("--resume needs the batch's --journal");
    return kExitUsage;
  }
  auto planned = planBatch(options);
  if (auto* message = std::get_if<std::string>(&planned)) {
    complain(*message);
    return kExitUsage;
  }
  CardBatch& batch = std::get<CardBatch>(planned);
  if (const auto problem = batch.check()) {
    complain(*problem);
    return kExitUsage;
  }
  // Taken (held for this program alone) and read before the port is
  // opened; changed only once the port is open.
  Journal journal;
  if (!options.journal.empty()) {
    if (const auto problem = journal.take(options.journal); !problem.empty()) {
      complain(problem);
      return kExitUsage;
    }
  }
  const auto start = firstCard(options, journal, batch);
  if (auto* message = std::get_if<std::string>(&start)) {
    complain(*message);
    return kExitUsage;
  }
  const std::size_t first = std::get<std::size_t>(start);
  if (first == batch.size()) {
    if (!global.quiet)
      complain("all " + std::to_string(batch.size()) +
               " cards are confirmed in the journal already");
    return kExitDone;
  }
  Session session(global, interrupt);
  if (const int code = session.open(); code != kExitDone) return code;
  if (!options.journal.empty()) {
    if (const auto problem = journal.startWriting(); !problem.empty()) {
      complain(problem);
      return kExitUsage;
    }
  }

  // An operation that an interrupted run left waiting for its card (a
  // kill -9 sends no reset) must not complete on the next card passed.
  if (const Status status = session.device().Reset(); status != QUILLON_OK)
    return session.fail(status, "the reset before the batch");

  const int selection = batch.selection();
  // Tracks 1 and 3 have no read of their own: all three are read back.
  const int readBack = selection == 5 ? 7 : selection;
  const int shownTrack =
      options.increments.empty() ? 0 : options.increments.front()[0] - '0';
  const auto total = static_cast<long>(batch.size());
  Progress progress(global.quiet);
  OutputSink results;  // "card 3 written  track2=...", on standard output
  EncoderDevice& device = session.device();

  for (std::size_t index = first; index < batch.size(); ++index) {
    const Tracks card = batch.at(index);
    const long number = static_cast<long>(index + 1);
    const std::string name = "card " + std::to_string(number);
    // Where a batch that stops here goes on.
    const std::string resume =
        options.journal.empty() ? "" : "; --resume goes on with " + name;
    for (long attempts = 1;; ++attempts) {
      if (session.interrupted()) return session.stopOnInterrupt();
      Status status = device.WriteCard(selection, card[0].c_str(),
                                       card[1].c_str(), card[2].c_str());
      if (status == QUILLON_ERR_NO_REPLY) {
        // No card within the wait: ask again while the encoder answers.
        const Status alive = session.checkStillAnswers();
        if (alive != QUILLON_OK)
          return session.fail(alive, "the write of " + name, resume);
        --attempts;
        continue;
      }
      std::string problem;
      if (status == QUILLON_ERR_DEVICE || status == QUILLON_ERR_NO_STATUS) {
        problem = "the encoder reported a failed write";
      } else if (status != QUILLON_OK) {
        return session.fail(status, "the write of " + name, resume);
      } else if (options.verify) {
        Tracks back;
        while ((status = device.ReadTracks(readBack, back)) ==
               QUILLON_ERR_NO_REPLY) {
          const Status alive = session.checkStillAnswers();
          if (alive != QUILLON_OK)
            return session.fail(alive, "the read-back of " + name, resume);
        }
        if (status == QUILLON_OK) {
          problem = difference(selection, card, back);
        } else if (status == QUILLON_ERR_DEVICE ||
                   status == QUILLON_ERR_NO_STATUS) {
          problem = "the card could not be read back";
        } else {
          return session.fail(status, "the read-back of " + name, resume);
        }
      }
      if (problem.empty()) break;
      complain("card " + std::to_string(number) + ": " + problem +
               "; not counted");
      if (attempts > options.retries) {
        complain("card " + std::to_string(number) + " failed " +
                 std::to_string(attempts) +
                 " times; the batch stopped (--resume goes on with it)");
        return kExitDevice;
      }
      if (!global.quiet)
        complain("pass a new card for card " + std::to_string(number));
    }

    CardRecord record;
    record.sequence = number;
    record.time = std::chrono::system_clock::now();
    record.selection = selection;
    record.tracks = card;
    if (!options.journal.empty()) {
      if (const auto problem = journal.append(record); !problem.empty()) {
        complain(name + " was written but is not in the journal (" + problem +
                 "); the batch stopped: --resume writes " + name + " again");
        return kExitUsage;
      }
    }
    if (!global.quiet) {
      std::string line = textLine(record);  // "card 3  track2=..."
      // Only a reader gone away stops the batch: the journal is the record.
      if (!results.put(line.insert(line.find("  "), " written")) &&
          results.closedPipe())
        return kExitClosedPipe;
    }
    progress.card(number, total, "written",
                  cardDetail(selection, card, shownTrack));
  }
  return kExitDone;
}

}  // namespace quillon::cli
