// quillon write: one card or a batch, from texts counted up card by card
// or from a CSV file, over one encoder or several at once (a thread each);
// each card optionally read back, and kept in the batch's ledger (the
// journal, so that --resume settles the cards in doubt and goes on; or a
// queue that several stations share).
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "batch_encoder.h"
#include "batch_progress.h"
#include "card_batch.h"
#include "card_text.h"
#include "commands.h"
#include "doubt_placement.h"
#include "exit_codes.h"
#include "journal.h"
#include "journal_ledger.h"
#include "output_sink.h"
#include "queue_ledger.h"
#include "quillon/core/status.h"
#include "station_name.h"
#include "write_results.h"

namespace quillon::cli {

namespace {

// The batch as the options give it, or a message.
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

}  // namespace

// Everything checked before the port is opened: nothing is sent for bad
// input.
std::variant<CardBatch, std::string> checkedBatch(const WriteOptions& options) {
  auto planned = planBatch(options);
  if (auto* batch = std::get_if<CardBatch>(&planned)) {
    const bool upperCased = !options.rules.keepCase && batch->upperCaseTrack1();
    if (auto problem = batch->check(trackLimits(options.rules),
                                    overLimitNote(options.rules)))
      return *problem;
    if (upperCased && !options.quiet) complain(kUpperCasedNote);
  }
  return planned;
}

namespace {

// The program's end after every encoder has ended: one exit code and, for
// what no encoder's own message said, one message.
int concludeBatch(const GlobalOptions& global, const std::string& settleHint,
                  const std::vector<EncoderOutcome>& outcomes) {
  const auto& ports = global.ports;
  std::string doubts;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    if (outcomes[i].inDoubt)
      doubts += "; " + BatchEncoder::doubtNote(*outcomes[i].inDoubt, ports[i],
                                               settleHint);
  }
  const auto ended = [&](int code) {
    return std::ranges::any_of(
        outcomes, [code](const auto& o) { return o.code == code; });
  };
  if (ended(kExitInterrupted)) {
    // Every encoder sees the signal: each stopped and was reset.
    if (!global.quiet || !doubts.empty()) {
      complain(std::string("interrupted; ") +
               (ports.size() > 1
                    ? "every encoder was reset"
                    : "the encoder at " + ports[0] + " was reset") +
               doubts);
    }
    return kExitInterrupted;
  }
  if (ended(kExitClosedPipe)) return kExitClosedPipe;
  for (const int code : {kExitUsage, kExitPort, kExitNoReply, kExitDevice}) {
    if (!ended(code)) continue;
    if (ports.size() > 1 && (code == kExitPort || code == kExitNoReply)) {
      // Each lost encoder said so when it stopped; the others went on.
      std::string lost;
      for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (outcomes[i].code == kExitPort || outcomes[i].code == kExitNoReply)
          lost += (lost.empty() ? "" : ", ") + ports[i];
      }
      complain("the batch went on without the encoder at " + lost + doubts);
    }
    return code;
  }
  return kExitDone;
}

// The batch's ledger over the queue's batch; an exit code after a message.
std::variant<std::unique_ptr<CardLedger>, int> openQueue(
    const GlobalOptions& global, InterruptSource& interrupt,
    const WriteOptions& options) {
  const auto url =
      checkedQueueUrl(options.queue,
                      "--batch takes its cards from the queue: --queue URL (or "
                      "QUILLON_QUEUE) names its server");
  if (!url) return kExitUsage;
  const std::string station =
      options.station.empty() ? defaultStationName() : options.station;
  auto opened = QueueLedger::open(
      *url, options.batch, station, global.ports,
      [&interrupt] { return interrupt.raised(); },
      [](const std::string& line) { complain(line); }, interrupt.fd());
  if (auto* problem = std::get_if<QueueLedger::Problem>(&opened)) {
    complain(problem->message);
    return problem->code;
  }
  return std::unique_ptr<CardLedger>(
      std::move(std::get<std::unique_ptr<QueueLedger>>(opened)));
}

// A journal batch keeps a state and a port name a card in memory (about
// 33 bytes): 330 MB at most.
constexpr std::size_t kMostJournalCards = 10'000'000;

// The batch's ledger over its journal (or memory); an exit code after a
// message.
std::variant<std::unique_ptr<CardLedger>, int> openJournal(
    const WriteOptions& options, Journal& journal) {
  if (options.resume && options.journal.empty()) {
    complain("--resume needs the batch's --journal");
    return kExitUsage;
  }
  const auto tooLarge = [] {
    complain("a batch with a journal (or none) holds at most " +
             std::to_string(kMostJournalCards) +
             " cards (it keeps each card's state in memory): write it in "
             "parts, or load it into a queue (quillon queue load), whose "
             "stations keep no card in memory; nothing was sent");
    return kExitUsage;
  };
  // Before the cards are counted through: that alone takes a while.
  if (options.count.value_or(1) > static_cast<long>(kMostJournalCards))
    return tooLarge();
  auto planned = checkedBatch(options);
  if (auto* message = std::get_if<std::string>(&planned)) {
    complain(*message);
    return kExitUsage;
  }
  CardBatch& batch = std::get<CardBatch>(planned);
  if (batch.size() > kMostJournalCards) return tooLarge();
  // Taken (held for this program alone) and read before the port is
  // opened; changed only once the port is open.
  const bool journalled = !options.journal.empty();
  if (journalled) {
    if (const auto problem = journal.take(options.journal); !problem.empty()) {
      complain(problem);
      return kExitUsage;
    }
  }
  auto opened = JournalLedger::open(
      std::move(batch), journalled ? &journal : nullptr, options.resume);
  if (std::holds_alternative<std::string>(opened) && options.resume &&
      !options.rules.keepCase) {
    // A journal begun before track 1 was put in capitals (or with
    // --keep-case) goes on with its cards as they were written.
    WriteOptions asGiven = options;
    asGiven.rules.keepCase = true;
    asGiven.quiet = true;
    auto same = checkedBatch(asGiven);
    if (auto* sameBatch = std::get_if<CardBatch>(&same)) {
      auto reopened =
          JournalLedger::open(std::move(*sameBatch), &journal, true);
      if (std::holds_alternative<std::unique_ptr<JournalLedger>>(reopened)) {
        if (!options.quiet)
          complain(
              "the journal's cards hold track 1 as given: the batch goes "
              "on with it as given (--keep-case)");
        opened = std::move(reopened);
      }
    }
  }
  if (auto* message = std::get_if<std::string>(&opened)) {
    complain(*message);
    return kExitUsage;
  }
  return std::unique_ptr<CardLedger>(
      std::move(std::get<std::unique_ptr<JournalLedger>>(opened)));
}

}  // namespace

int runWrite(const GlobalOptions& global, InterruptSource& interrupt,
             const WriteOptions& options) {
  const bool queued = !options.batch.empty();
  Journal journal;  // outlives the ledger that writes it
  const bool journalled = !queued && !options.journal.empty();
  auto opened = queued ? openQueue(global, interrupt, options)
                       : openJournal(options, journal);
  if (auto* code = std::get_if<int>(&opened)) return *code;
  CardLedger& ledger = *std::get<std::unique_ptr<CardLedger>>(opened);
  const auto inDoubt = ledger.inDoubt();
  if (inDoubt.empty() && ledger.confirmed() == ledger.total()) {
    if (!global.quiet)
      complain("all " + std::to_string(ledger.total()) +
               " cards are confirmed" +
               (queued ? " in the queue" : " in the journal") + " already");
    return kExitDone;
  }
  auto placed = placeInDoubt(inDoubt, global.ports);
  if (auto* message = std::get_if<std::string>(&placed)) {
    complain(*message);
    return kExitUsage;
  }
  const auto& toSettle = std::get<0>(placed);

  // Every encoder is opened before any is sent a frame.
  std::vector<std::unique_ptr<Session>> sessions;
  for (const std::string& port : global.ports) {
    sessions.push_back(std::make_unique<Session>(global, port, interrupt));
    if (const int code = sessions.back()->open(); code != kExitDone)
      return code;
  }
  // Track 2's density, as the texts were checked for it.
  if (options.rules.density) {
    const int letter = *options.rules.density == 75 ? 'L' : 'H';
    for (auto& session : sessions) {
      if (const Status status = session->device().SetTrack2Density(letter);
          status != QUILLON_OK)
        return session->fail(status, "the density setting");
    }
  }
  if (journalled) {
    if (const auto problem = journal.startWriting(); !problem.empty()) {
      complain(problem);
      return kExitUsage;
    }
  }

  BatchProgress progress(global.quiet, global.ports, ledger.total(), "written");
  OutputSink results;  // "card 3 written  track2=...", on standard output
  BatchShared shared{ledger, progress, results};
  shared.quiet = global.quiet;
  shared.verify = options.verify;
  if (queued) {
    shared.settleHint = "this station asks for it there when started again";
    shared.goOnHint = "starting the station again goes on with it";
  } else if (journalled) {
    shared.settleHint = "--resume asks for it there";
    shared.goOnHint = "--resume goes on with it";
  }
  shared.retries = options.retries;
  shared.resultLine = resultLines(
      {options.format, global.quiet, options.verify, sessions.size() > 1});
  shared.shownTrack =
      options.increments.empty() ? 0 : options.increments.front()[0] - '0';

  std::vector<EncoderOutcome> outcomes(sessions.size());
  if (sessions.size() == 1) {
    outcomes[0] = BatchEncoder(*sessions[0], shared, 0).run(toSettle[0]);
  } else {
    std::vector<std::thread> encoders;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
      encoders.emplace_back([&, i] {
        outcomes[i] = BatchEncoder(*sessions[i], shared, i).run(toSettle[i]);
      });
    }
    for (auto& encoder : encoders) encoder.join();
  }
  const int code = concludeBatch(global, shared.settleHint, outcomes);
  if (code == kExitDone && !global.quiet) {
    if (const std::string note = ledger.endNote(); !note.empty())
      complain(note);
  }
  return code;
}

}  // namespace quillon::cli
