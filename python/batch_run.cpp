#include "batch_run.h"

#include <mutex>
#include <thread>

#include "signal_wake.h"
#include "station_name.h"

namespace quillon::python {

namespace {

thread_local std::string* lastMessage = nullptr;

// The cards as `quillon write --from` takes them: one CSV row each, texts
// as UTF-8 of their bytes (card_text.h).
std::string csvOf(const std::vector<TrackTexts>& cards) {
  if (cards.empty()) throw BatchInputError{0, "no cards to write"};
  std::string text;
  const TrackTexts& first = cards.front();
  for (int track = 1; track <= 3; ++track) {
    if (first[static_cast<std::size_t>(track - 1)]) {
      text += (text.empty() ? "" : ",") + std::string("track") +
              std::to_string(track);
    }
  }
  text += "\r\n";
  for (std::size_t row = 0; row < cards.size(); ++row) {
    bool firstField = true;
    for (std::size_t i = 0; i < 3; ++i) {
      if (first[i].has_value() != cards[row][i].has_value()) {
        throw BatchInputError{
            static_cast<int>(i + 1),
            "card " + std::to_string(row + 1) +
                (first[i] ? " has no" : " has") + " track " +
                std::to_string(i + 1) +
                ", unlike the first card: every card writes the same tracks"};
      }
      if (!first[i]) continue;
      std::string field = batch::latin1ToUtf8(*cards[row][i]);
      std::string quoted = "\"";
      for (const char c : field)
        quoted += c == '"' ? "\"\"" : std::string(1, c);
      text += (firstField ? "" : ",") + quoted + "\"";
      firstField = false;
    }
    text += "\r\n";
  }
  return text;
}

// The ports' records and progress go to the script's callback only.
struct Results : batch::ResultSink {
  bool put(const std::string&) override { return true; }
  [[nodiscard]] bool closedPipe() const override { return false; }
};

struct Progress : batch::ProgressObserver {
  const std::vector<PySession*>& sessions;
  batch::BatchShared* shared = nullptr;
  const std::function<bool(long, long, long, const std::string&)>& onCard;
  std::mutex mutex;
  Progress(const std::vector<PySession*>& s,
           const std::function<bool(long, long, long, const std::string&)>& f)
      : sessions(s), onCard(f) {}
  void doing(std::size_t, const std::string&) override {}
  long done = 0;  // confirmed before, then counted here
  void cardDone(std::size_t encoder, long number, long,
                const std::string&) override {
    if (!onCard) return;
    // Counted under the lock: the engine's count, taken before it, may
    // reach here out of order from two encoders.
    const std::lock_guard lock(mutex);
    if (!onCard(++done, shared->ledger.total(), number,
                sessions[encoder]->port()))
      shared->stopped = true;
  }
};

}  // namespace

void noteMessage(std::string_view message) {
  if (lastMessage != nullptr) *lastMessage = std::string(message);
}

BatchRun::BatchRun(const TrackTexts& texts,
                   const std::vector<std::string>& increments, long count) {
  for (std::size_t i = 0; i < 3; ++i) {
    if (!texts[i]) continue;
    if (auto problem =
            batch::trackTextProblem(static_cast<int>(i + 1), *texts[i])) {
      throw BatchInputError{static_cast<int>(i + 1),
                            "track " + std::to_string(i + 1) + " " + *problem};
    }
  }
  std::vector<batch::Increment> steps;
  for (const std::string& text : increments) {
    auto step = batch::parseIncrement(text);
    if (auto* message = std::get_if<std::string>(&step))
      throw BatchInputError{0, *message};
    steps.push_back(std::get<batch::Increment>(step));
  }
  if (count < 1) throw BatchInputError{0, "count must be at least 1"};
  auto planned = batch::CardBatch::fromTexts(texts, steps,
                                             static_cast<std::size_t>(count));
  if (auto* message = std::get_if<std::string>(&planned))
    throw BatchInputError{0, *message};
  batch_ = std::make_unique<batch::CardBatch>(
      std::move(std::get<batch::CardBatch>(planned)));
}

BatchRun::BatchRun(const std::vector<TrackTexts>& cards) {
  auto planned = batch::CardBatch::fromCsvText(csvOf(cards), "the cards");
  if (auto* message = std::get_if<std::string>(&planned))
    throw BatchInputError{0, *message};
  batch_ = std::make_unique<batch::CardBatch>(
      std::move(std::get<batch::CardBatch>(planned)));
}

BatchRun::BatchRun(const std::string& url, const std::string& batch,
                   const std::string& station,
                   const std::vector<std::string>& ports)
    : queued_(true) {
  auto opened = batch::QueueLedger::open(
      url, batch, station.empty() ? batch::defaultStationName() : station,
      ports, [] { return signalCame(); },
      [](const std::string& line) { batch::complain(line); }, signalFd());
  if (auto* problem = std::get_if<batch::QueueLedger::Problem>(&opened)) {
    if (problem->code == batch::kExitInterrupted) throw QueueStopped{};
    throw BatchInputError{0, problem->message};
  }
  ledger_ = std::move(std::get<std::unique_ptr<batch::QueueLedger>>(opened));
}

BatchRun::~BatchRun() = default;

void BatchRun::keepIn(const std::string& path, bool resume) {
  if (const auto problem = journal_.take(path); !problem.empty())
    throw BatchInputError{0, problem};
  journalled_ = true;
  open(resume);
}

void BatchRun::open(bool resume) {
  if (auto problem = batch_->check()) throw BatchInputError{0, *problem};
  auto opened = batch::JournalLedger::open(
      std::move(*batch_), journalled_ ? &journal_ : nullptr, resume);
  if (auto* message = std::get_if<std::string>(&opened))
    throw BatchInputError{0, *message};
  ledger_ = std::move(std::get<std::unique_ptr<batch::JournalLedger>>(opened));
}

BatchRun::Result BatchRun::writeOn(const std::vector<PySession*>& sessions) {
  if (!ledger_) open(false);
  batch::CardLedger& ledger = *ledger_;
  Result result;
  result.total = ledger.total();
  std::vector<std::string> ports;
  for (PySession* s : sessions) ports.push_back(s->port());
  auto placed = batch::placeInDoubt(ledger.inDoubt(), ports);
  if (auto* message = std::get_if<std::string>(&placed))
    throw BatchInputError{0, *message};
  const auto& toSettle = std::get<0>(placed);
  if (journalled_) {
    if (const auto problem = journal_.startWriting(); !problem.empty())
      throw BatchInputError{0, problem};
  }
  Results results;
  Progress progress(sessions, onCard);
  batch::BatchShared shared{ledger, progress, results};
  progress.shared = &shared;
  progress.done = ledger.confirmed();
  shared.verify = verify;
  shared.retries = retries;
  if (queued_) {
    shared.settleHint = "this station asks for it there when started again";
    shared.goOnHint = "starting the station again goes on with it";
  } else if (journalled_) {
    shared.settleHint = "resuming the batch asks for it there";
    shared.goOnHint = "resuming the batch goes on with it";
  }
  result.settleHint = shared.settleHint;
  result.encoders.resize(sessions.size());
  const auto runOne = [&](std::size_t i) {
    std::string message;
    lastMessage = &message;
    sessions[i]->nameInMessages(sessions.size() > 1);
    const batch::EncoderOutcome outcome =
        batch::BatchEncoder(*sessions[i], shared, i).run(toSettle[i]);
    lastMessage = nullptr;
    Ended& ended = result.encoders[i];
    ended.port = sessions[i]->port();
    ended.code = outcome.code;
    ended.inDoubt = outcome.inDoubt;
    if (sessions[i]->lastMessage().empty()) {
      ended.message = message;
    } else {
      ended.message = sessions[i]->lastMessage();
      ended.status = sessions[i]->lastStatus();
    }
  };
  for (PySession* s : sessions) s->clearMessage();
  if (sessions.size() == 1) {
    runOne(0);
  } else {
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < sessions.size(); ++i)
      threads.emplace_back(runOne, i);
    for (auto& thread : threads) thread.join();
  }
  result.confirmed = ledger.confirmed();
  return result;
}

}  // namespace quillon::python
