#include "batch_encoder.h"

#include <algorithm>
#include <chrono>

#include "card_text.h"
#include "encoder_protocol.h"
#include "exit_codes.h"
#include "fault_point.h"
#include "plural.h"
#include "quillon/core/status.h"

namespace quillon::batch {

namespace {

using namespace std::chrono_literals;

std::string trackName(int track) { return "track " + std::to_string(track); }

std::string cardName(const LedgerCard& card) {
  return "card " + std::to_string(card.number);
}

// What differs between the card as meant and as read ("track 2 \"7\"
// instead of \"8\""), or empty.
std::string difference(int selection, const Tracks& meant, const Tracks& got) {
  for (int track = 1; track <= 3; ++track) {
    const auto i = static_cast<std::size_t>(track - 1);
    if (protocol::selectionHasTrack(selection, track) && meant[i] != got[i]) {
      return trackName(track) + " \"" + escapedForDisplay(got[i]) +
             "\" instead of \"" + escapedForDisplay(meant[i]) + "\"";
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

// Where the test seam may stop the program.
enum class Phase { Idle, Writing, ReadingBack };

}  // namespace

BatchEncoder::BatchEncoder(EncoderSession& session, BatchShared& shared,
                           std::size_t index)
    : session_(session),
      shared_(shared),
      index_(index),
      // Tracks 1 and 3 have no read of their own: all three are read.
      readSelection_(
          shared.ledger.selection() == 5 ? 7 : shared.ledger.selection()) {}

std::string BatchEncoder::doubtNote(const LedgerCard& card,
                                    const std::string& port,
                                    const std::string& settleHint) {
  return cardName(card) + " may have been written at " + port +
         (settleHint.empty() ? "" : ": " + settleHint);
}

EncoderOutcome BatchEncoder::run(const std::vector<LedgerCard>& inDoubt) {
  // An operation that an interrupted run left waiting for its card (a
  // kill -9 sends no reset) must not complete on the next card passed.
  const Status status = session_.device().Reset();
  // What an earlier run's frames still had on its way (a late or repeated
  // answer) goes now, before a frame whose answer it could pass for.
  if (status == QUILLON_OK) session_.device().LateInput(kLateAnswerQuiet);
  if (status != QUILLON_OK) {
    // Its cards in doubt stay so: the last message names the first.
    std::optional<LedgerCard> unsettled;
    if (!inDoubt.empty()) unsettled = inDoubt.front();
    return ended(session_.fail(status, "the reset before the batch"),
                 unsettled);
  }
  for (const LedgerCard& card : inDoubt) {
    if (auto end = settle(card)) return *end;
  }
  for (;;) {
    if (shared_.stopped) return ended(kExitDone);
    if (session_.interrupted()) return interrupted(std::nullopt);
    auto taken = shared_.ledger.take(session_.port());
    if (auto* message = std::get_if<std::string>(&taken))
      return ledgerFailed(*message, std::nullopt);
    const auto& card = std::get<std::optional<LedgerCard>>(taken);
    if (!card) break;
    if (auto end = write(*card)) return *end;
  }
  doing("done");
  return ended(kExitDone);
}

BatchEncoder::Step BatchEncoder::settle(const LedgerCard& card) {
  const std::string name = cardName(card);
  askAgain(card, "");
  auto read = readPassed(card, "the read of " + name);
  if (auto* end = std::get_if<EncoderOutcome>(&read)) return *end;
  const auto& passed = std::get<Passed>(read);
  if (passed.holdsCard())
    return confirm(card, "is on the card passed: confirmed, not written again");
  if (!shared_.quiet)
    complain(name + session_.where() + ": " + passed.describe() +
             "; it is written anew");
  return write(card);
}

void BatchEncoder::askAgain(const LedgerCard& card, const std::string& why) {
  const std::string& port = session_.port();
  doing("asks for " + cardName(card) + " again");
  // Asked for even with --quiet: the batch waits for the operator.
  complain(cardName(card) + " may have been written at " + port + why +
           ": pass that card through the encoder at " + port +
           " again; it is read, not written");
}

std::string BatchEncoder::Passed::describe() const {
  if (!readable) return "the card could not be read (blank?)";
  return "the card passed holds " + differs;
}

std::variant<BatchEncoder::Passed, EncoderOutcome> BatchEncoder::readPassed(
    const LedgerCard& card, const std::string& what) {
  for (long reads = 1;; ++reads) {
    Tracks back;
    Status status;
    while ((status = session_.device().ReadTracks(readSelection_, back)) ==
           QUILLON_ERR_NO_REPLY) {
      const Status alive = session_.checkStillAnswers();
      if (alive != QUILLON_OK) return failed(alive, what, card);
    }
    // A whole reply that came with the signal still shows the card.
    if (status == QUILLON_OK)
      return Passed{true,
                    difference(shared_.ledger.selection(), card.tracks, back)};
    // A read cut short by the signal says nothing about the card.
    if (status == QUILLON_ERR_ESCAPE || session_.interrupted())
      return interrupted(card);
    // The encoder's 'q' in a whole reply: the card holds no texts.
    if (status == QUILLON_ERR_DEVICE) return Passed{false, {}};
    // Anything else is no whole reply: it says nothing of the card, which
    // is read again, never written blind.
    if (status != QUILLON_ERR_NO_STATUS || reads > shared_.retries)
      return failed(status, what, card);
    askAgain(card, " (the reply to " + what + " was not whole)");
  }
}

BatchEncoder::Step BatchEncoder::write(const LedgerCard& card) {
  CardLedger& ledger = shared_.ledger;
  EncoderDevice& device = session_.device();
  const std::string name = cardName(card);
  const std::string& port = session_.port();
  Phase phase = Phase::Idle;
  session_.watchTraffic([&](bool sent, std::span<const std::uint8_t> bytes) {
    // The write frame is the one frame of a write that is not the reset.
    if (phase == Phase::Writing && sent &&
        !std::ranges::equal(bytes, protocol::kResetFrame))
      faultPoint("frame", card.number);
    if (phase == Phase::Writing && !sent) faultPoint("reply", card.number);
    if (phase == Phase::ReadingBack && sent)
      faultPoint("read-back", card.number);
  });
  struct Unwatch {
    EncoderSession& session;
    ~Unwatch() { session.watchTraffic({}); }
  } unwatch{session_};

  if (session_.interrupted()) {
    if (auto problem = ledger.markUnwritten(card, port); !problem.empty())
      return ledgerFailed(problem, std::nullopt);
    return interrupted(std::nullopt);
  }
  if (auto problem = ledger.markSent(card, port); !problem.empty()) {
    return ledgerFailed(
        name + " was not started: " + problem + "; the batch stopped",
        std::nullopt);
  }
  faultPoint("before-frame", card.number);
  bool waitedInVain = false;  // the last write frame got no answer
  for (long attempts = 1;; ++attempts) {
    if (session_.interrupted()) {
      // Nothing of this card is on a card: the frame never went out, or
      // the last attempt failed or was read back wrong.
      if (auto problem = ledger.markUnwritten(card, port); !problem.empty())
        return ledgerFailed(problem, card);
      return interrupted(std::nullopt);
    }
    doing("waiting for a card");
    // The last frame's answer, had it come after its wait, would be
    // dropped by the new frame: it is read here, and makes the card one in
    // doubt, as does an answer that came while the encoder was reset.
    bool lateAnswer = waitedInVain && device.LateInput(0ms);
    Status status = QUILLON_ERR_NO_STATUS;
    if (!lateAnswer) {
      phase = Phase::Writing;
      status = device.WriteCard(ledger.selection(), card.tracks[0].c_str(),
                                card.tracks[1].c_str(), card.tracks[2].c_str());
      phase = Phase::Idle;
    }
    if (status == QUILLON_ERR_NO_REPLY) {
      // No card within the wait: ask again while the encoder answers.
      const Status alive = session_.checkStillAnswers(&lateAnswer);
      if (alive != QUILLON_OK)
        return failed(alive, "the write of " + name, card);
      waitedInVain = true;
      if (!lateAnswer) {
        --attempts;
        continue;
      }
      status = QUILLON_ERR_NO_STATUS;
    }
    waitedInVain = false;
    if (status == QUILLON_ERR_ESCAPE) return interrupted(card);
    // A reply that the signal's wait cut short may hide a written card;
    // only the encoder's 'q' says it failed.
    if (status == QUILLON_ERR_NO_STATUS && session_.interrupted())
      return interrupted(card);
    std::string problem;
    if (status == QUILLON_ERR_NO_STATUS) {
      // No whole answer: the card may hold the number. Read it.
      const std::string what = "the write of " + name;
      askAgain(card, lateAnswer ? " (an answer came after the wait for the "
                                  "card had ended)"
                                : " (the encoder's answer to " + what +
                                      " was not whole)");
      auto read = readPassed(card, "the read of " + name);
      if (auto* end = std::get_if<EncoderOutcome>(&read)) return *end;
      const auto& passed = std::get<Passed>(read);
      if (passed.holdsCard())
        return confirm(card,
                       "is on the card passed: confirmed, not written again");
      problem = passed.describe();
    } else if (status == QUILLON_ERR_DEVICE) {
      problem = "the encoder reported a failed write";
    } else if (status != QUILLON_OK) {
      return failed(status, "the write of " + name, card);
    } else if (shared_.verify) {
      // Written, not yet read back: a stop now leaves it in doubt.
      if (session_.interrupted()) return interrupted(card);
      doing("reading " + name + " back");
      phase = Phase::ReadingBack;
      auto read = readBack(card, "the read-back of " + name);
      phase = Phase::Idle;
      if (auto* end = std::get_if<EncoderOutcome>(&read)) return *end;
      problem = std::get<std::string>(read);
    }
    if (problem.empty()) break;
    complain(name + session_.where() + ": " + problem + "; not counted");
    ledger.noteFailure(port);
    if (attempts > shared_.retries) {
      // The card is on no card: another encoder may take it.
      if (auto lost = ledger.markUnwritten(card, port); !lost.empty())
        return ledgerFailed(lost, std::nullopt);
      // One encoder: the batch stops; several: the others go on.
      complain(name + " failed " + counted(attempts, "time") +
               (session_.at().empty()
                    ? (shared_.goOnHint.empty()
                           ? "; the batch stopped"
                           : "; the batch stopped (" + shared_.goOnHint + ")")
                    : session_.at() + "; that encoder stopped"));
      return ended(kExitDevice);
    }
    if (!shared_.quiet)
      complain("pass a new card for " + name + session_.where());
  }
  return confirm(card, nullptr);
}

std::variant<std::string, EncoderOutcome> BatchEncoder::readBack(
    const LedgerCard& card, const std::string& what) {
  auto read = readPassed(card, what);
  if (auto* end = std::get_if<EncoderOutcome>(&read)) return *end;
  const auto& passed = std::get<Passed>(read);
  if (!passed.readable) return std::string("the card could not be read back");
  return passed.holdsCard() ? std::string() : "read back " + passed.differs;
}

BatchEncoder::Step BatchEncoder::confirm(const LedgerCard& card,
                                         const char* how) {
  const std::string name = cardName(card);
  CardRecord record;
  record.sequence = card.number;
  record.time = std::chrono::system_clock::now();
  record.selection = shared_.ledger.selection();
  record.tracks = card.tracks;
  if (auto problem =
          shared_.ledger.markConfirmed(card, session_.port(), record.time);
      !problem.empty()) {
    return ledgerFailed(
        name + " was written but could not be recorded (" + problem +
            "); the batch stopped: " +
            doubtNote(card, session_.port(), shared_.settleHint),
        card);
  }
  if (how != nullptr && !shared_.quiet)
    complain(name + session_.where() + " " + how);
  record.port = session_.port();
  if (const std::string line =
          shared_.resultLine ? shared_.resultLine(record, how != nullptr) : "";
      !line.empty()) {
    const std::lock_guard lock(shared_.resultsMutex);
    // Only a reader gone away stops the batch: the journal is the record.
    if (!shared_.results.put(line) && shared_.results.closedPipe()) {
      shared_.stopped = true;
      return ended(kExitClosedPipe);
    }
  }
  shared_.progress.cardDone(
      index_, card.number, shared_.ledger.confirmed(),
      cardDetail(record.selection, card.tracks, shared_.shownTrack));
  return std::nullopt;
}

EncoderOutcome BatchEncoder::ended(int code,
                                   std::optional<LedgerCard> inDoubt) {
  if (code != kExitDone) doing(code == kExitInterrupted ? "stopped" : "ended");
  return {code, std::move(inDoubt)};
}

EncoderOutcome BatchEncoder::interrupted(std::optional<LedgerCard> inDoubt) {
  session_.resetAfterInterrupt();
  return ended(kExitInterrupted, std::move(inDoubt));
}

EncoderOutcome BatchEncoder::failed(Status status, const std::string& what,
                                    const LedgerCard& card) {
  if (status == QUILLON_ERR_ESCAPE || session_.interrupted())
    return interrupted(card);  // the batch's end says so, once
  const int code = session_.fail(
      status, what,
      "; " + doubtNote(card, session_.port(), shared_.settleHint));
  if (code == kExitPort) doing("lost");
  return ended(code, card);
}

EncoderOutcome BatchEncoder::ledgerFailed(const std::string& message,
                                          std::optional<LedgerCard> inDoubt) {
  shared_.stopped = true;
  // Ctrl-C while the ledger waited for its storage (a server away).
  if (session_.interrupted()) return interrupted(std::move(inDoubt));
  complain(message);
  session_.device().Reset();  // nothing of this encoder's goes on
  return ended(kExitUsage, std::move(inDoubt));
}

void BatchEncoder::doing(const std::string& what) {
  shared_.progress.doing(index_, what);
}

}  // namespace quillon::batch
