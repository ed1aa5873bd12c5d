#include "simulated_encoder.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "card_files.h"
#include "encoder_protocol.h"
#include "frame_parser.h"
#include "paced_output.h"
#include "pseudo_terminal.h"
#include "track_block.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;
using protocol::Byte;
using protocol::kEsc;

Bytes statusAnswer(Byte status) {
  return {kEsc, protocol::kStatusMarker, status};
}

Bytes readReply(int selection, const Card& card, Byte status) {
  Bytes reply(protocol::kReadReplyHeader.begin(),
              protocol::kReadReplyHeader.end());
  const Bytes block = trackBlock(selection, card);
  reply.insert(reply.end(), block.begin(), block.end());
  reply.push_back(protocol::kBlockEnd);
  reply.push_back(protocol::kFs);
  const Bytes status_answer = statusAnswer(status);
  reply.insert(reply.end(), status_answer.begin(), status_answer.end());
  return reply;
}

timespec untilDeadline(Clock::time_point deadline, Clock::time_point now) {
  const auto left = std::max(Clock::duration::zero(), deadline - now);
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  return timespec{static_cast<time_t>(ns / 1'000'000'000),
                  static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

struct SimulatedEncoder::Impl {
  // A read, write or erase that waits for its card.
  struct PendingOperation {
    Frame frame;
    std::optional<Clock::time_point> swipeAt;  // empty: only swipe()
  };
  struct Split {
    std::vector<std::size_t> burstSizes;
    std::chrono::milliseconds gap{0};
    std::chrono::milliseconds late{0};  // before the first burst
    std::optional<std::chrono::milliseconds> repeatAfter;  // sent twice
  };
  using Traffic = std::vector<std::pair<Direction, Bytes>>;

  explicit Impl(Options o)
      : options(o), swipeDelay(o.swipeDelay), output(o.baudRate) {}

  // Everything below is guarded by `mutex`.
  mutable std::mutex mutex;
  mutable std::condition_variable framesChanged;
  Options options;
  PseudoTerminal pty;
  std::string slavePath;
  std::string error;
  int wakeFd = -1;
  std::thread thread;
  bool stopRequested = false;

  bool highCoercivity = true;
  int track2Density = 210;
  int resets = 0;
  std::deque<Card> deck;
  std::optional<Card> lastCard;
  std::vector<WrittenCard> written;
  std::string recordPath;
  std::optional<std::chrono::milliseconds> swipeDelay;
  std::optional<PendingOperation> pending;

  Bytes received;
  std::vector<Bytes> frames;
  FrameParser parser;

  int failCount = 0;
  int writesTaken = 0;
  std::set<int> corruptOrdinals;
  bool silent = false;
  std::deque<Bytes> replacements;
  std::deque<Split> splits;
  std::multimap<std::size_t, FrameFault> frameFaults;
  std::size_t framesSeen = 0;  // never cleared: the faults' frame count
  PacedOutput output;
  TrafficObserver observer;
  Traffic traffic;  // waiting to be shown to the observer

  void wake() const {
    if (wakeFd < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wakeFd, &one, sizeof one);
  }

  void serve();
  void receive(const Bytes& chunk, Clock::time_point now);
  void handleFrame(const Frame& frame, Clock::time_point now);
  void setOffFaults(std::size_t frame);
  void beginOperation(const Frame& frame, Clock::time_point now);
  void completeOperation();
  Card takeCard();
  void corruptIfAsked(Card& card);
  bool takeFailure();
  void answer(Bytes reply);
  void shutDown();
};

void SimulatedEncoder::Impl::serve() {
  std::unique_lock lock(mutex);
  while (!stopRequested) {
    const auto now = Clock::now();
    if (pending && pending->swipeAt && *pending->swipeAt <= now) {
      completeOperation();
    }
    bool lineOk = true;
    for (Bytes& burst : output.writeDue(pty.masterFd(), now, lineOk)) {
      traffic.emplace_back(Direction::Sent, std::move(burst));
    }
    if (!lineOk) {
      error = std::string("write to the line: ") + std::strerror(errno);
      break;
    }

    std::optional<Clock::time_point> deadline = output.nextDue(now);
    if (pending && pending->swipeAt) {
      deadline =
          deadline ? std::min(*deadline, *pending->swipeAt) : *pending->swipeAt;
    }
    const short masterEvents =
        static_cast<short>(POLLIN | (output.blocked() ? POLLOUT : 0));
    pollfd fds[3] = {{pty.masterFd(), masterEvents, 0},
                     {wakeFd, POLLIN, 0},
                     {pty.openerWatchFd(), POLLIN, 0}};
    Traffic toShow = std::exchange(traffic, {});
    const TrafficObserver show = observer;
    lock.unlock();

    if (show) {
      for (const auto& [direction, bytes] : toShow) show(direction, bytes);
    }
    timespec timeout{};
    if (deadline) timeout = untilDeadline(*deadline, Clock::now());
    const int ready = ::ppoll(fds, 3, deadline ? &timeout : nullptr, nullptr);
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      std::uint64_t count = 0;
      [[maybe_unused]] const auto n = ::read(wakeFd, &count, sizeof count);
    }
    if (ready > 0 && (fds[2].revents & POLLIN)) pty.takeOpenerEvents();
    Bytes chunk;
    bool lineGone = false;
    if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      std::uint8_t buffer[4096];
      const ssize_t n = ::read(fds[0].fd, buffer, sizeof buffer);
      if (n > 0) {
        chunk.assign(buffer, buffer + n);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        lineGone = true;
      }
    }

    lock.lock();
    if (lineGone) {
      error = "the line was hung up";
      break;
    }
    if (!chunk.empty()) receive(chunk, Clock::now());
  }
}

void SimulatedEncoder::Impl::receive(const Bytes& chunk,
                                     Clock::time_point now) {
  received.insert(received.end(), chunk.begin(), chunk.end());
  for (const Frame& frame : parser.feed(chunk)) {
    frames.push_back(frame.bytes);
    traffic.emplace_back(Direction::Received, frame.bytes);
    setOffFaults(++framesSeen);
    handleFrame(frame, now);
  }
  framesChanged.notify_all();
}

void SimulatedEncoder::Impl::setOffFaults(std::size_t frame) {
  using Kind = FrameFault::Kind;
  const auto [first, last] = frameFaults.equal_range(frame);
  for (auto it = first; it != last; ++it) {
    const FrameFault& fault = it->second;
    const std::chrono::milliseconds ms(fault.ms);
    Split split;  // how the next reply goes out
    switch (fault.kind) {
      case Kind::Cut:
        split.burstSizes = {static_cast<std::size_t>(fault.count)};
        split.gap = ms;
        splits.push_back(std::move(split));
        break;
      case Kind::Late:
        split.late = ms;
        splits.push_back(std::move(split));
        break;
      case Kind::Twice:
        split.repeatAfter = ms;
        splits.push_back(std::move(split));
        break;
      case Kind::Noise:
        output.enqueue(noiseBytes(frame, fault.count));
        wake();
        break;
      case Kind::Hangup: break;  // the owner's to do
    }
  }
  frameFaults.erase(first, last);
}

void SimulatedEncoder::Impl::handleFrame(const Frame& frame,
                                         Clock::time_point now) {
  switch (frame.kind) {
    case FrameKind::Reset:
      ++resets;
      pending.reset();  // the waiting operation ends without an answer
      break;
    case FrameKind::HighCoercivity: highCoercivity = true; break;
    case FrameKind::LowCoercivity: highCoercivity = false; break;
    case FrameKind::Density210: track2Density = 210; break;
    case FrameKind::Density75: track2Density = 75; break;
    case FrameKind::Erase:
      if (isValidEraseCode(frame.eraseCode)) beginOperation(frame, now);
      break;
    case FrameKind::CommunicationTest:
      answer(Bytes(protocol::kCommunicationTestReply.begin(),
                   protocol::kCommunicationTestReply.end()));
      break;
    case FrameKind::StatusRequest:
      answer(statusAnswer(protocol::kStatusSuccess));
      break;
    case FrameKind::Read:
    case FrameKind::Write: beginOperation(frame, now); break;
    case FrameKind::Unknown: break;
  }
}

void SimulatedEncoder::Impl::beginOperation(const Frame& frame,
                                            Clock::time_point now) {
  // A new operation takes the place of one still waiting for its card.
  pending = PendingOperation{frame, std::nullopt};
  if (!swipeDelay) return;
  if (swipeDelay->count() <= 0) {
    completeOperation();
  } else {
    pending->swipeAt = now + *swipeDelay;
  }
}

Card SimulatedEncoder::Impl::takeCard() {
  if (deck.empty()) return lastCard.value_or(Card{});
  Card card = std::move(deck.front());
  deck.pop_front();
  return card;
}

void SimulatedEncoder::Impl::corruptIfAsked(Card& card) {
  if (corruptOrdinals.erase(++writesTaken) == 0) return;
  for (std::string* text : {&card.track1, &card.track2, &card.track3}) {
    if (text->empty()) continue;
    text->back() = text->back() == '0' ? '1' : '0';
    return;
  }
}

bool SimulatedEncoder::Impl::takeFailure() {
  if (failCount <= 0) return false;
  --failCount;
  return true;
}

void SimulatedEncoder::Impl::completeOperation() {
  if (!pending) return;
  const Frame frame = std::move(pending->frame);
  pending.reset();
  switch (frame.kind) {
    case FrameKind::Read: {
      const Card card = takeCard();
      const bool failed =
          takeFailure() || selectedTracksEmpty(frame.selection, card);
      answer(readReply(
          frame.selection, card,
          failed ? protocol::kStatusFailure : protocol::kStatusSuccess));
      break;
    }
    case FrameKind::Write: {
      WriteBlock block = splitWriteBlock(frame.block);
      corruptIfAsked(block.card);
      WrittenCard card{block.selection, block.card, highCoercivity,
                       track2Density, !takeFailure()};
      if (card.succeeded) lastCard = card.card;
      if (card.succeeded && options.readBackWritten) {
        deck.push_front(card.card);
      }
      if (!recordPath.empty() && !appendWrittenCard(recordPath, card)) {
        error = "cannot append to " + recordPath;
      }
      const Byte status =
          card.succeeded ? protocol::kStatusSuccess : protocol::kStatusFailure;
      written.push_back(std::move(card));
      answer(statusAnswer(status));
      break;
    }
    case FrameKind::Erase:
      lastCard = eraseTracks(takeCard(), frame.eraseCode);
      break;
    default: break;
  }
}

void SimulatedEncoder::Impl::answer(Bytes reply) {
  if (silent) return;
  if (!replacements.empty()) {
    reply = std::move(replacements.front());
    replacements.pop_front();
  }
  Split split;
  if (!splits.empty()) {
    split = std::move(splits.front());
    splits.pop_front();
  }
  const Clock::time_point notBefore = Clock::now() + split.late;
  std::size_t at = 0;
  bool first = true;
  const auto enqueueBurst = [&](std::size_t size) {
    const auto begin = reply.begin() + static_cast<std::ptrdiff_t>(at);
    output.enqueue(Bytes(begin, begin + static_cast<std::ptrdiff_t>(size)),
                   first ? Clock::duration::zero() : Clock::duration(split.gap),
                   notBefore);
    at += size;
    first = false;
  };
  for (const std::size_t size : split.burstSizes) {
    const std::size_t take = std::min(size, reply.size() - at);
    if (take > 0) enqueueBurst(take);
  }
  if (at < reply.size()) enqueueBurst(reply.size() - at);
  if (split.repeatAfter) output.enqueue(reply, *split.repeatAfter);
  wake();
}

void SimulatedEncoder::Impl::shutDown() {
  {
    std::lock_guard lock(mutex);
    stopRequested = true;
    wake();
  }
  if (thread.joinable()) thread.join();
  std::lock_guard lock(mutex);
  pty.close();
  pending.reset();
  output.clear();
  parser.clear();
}

SimulatedEncoder::SimulatedEncoder() : SimulatedEncoder(Options{}) {}

SimulatedEncoder::SimulatedEncoder(Options options)
    : impl_(std::make_unique<Impl>(options)) {}

SimulatedEncoder::~SimulatedEncoder() {
  stop();
  if (impl_->wakeFd >= 0) ::close(impl_->wakeFd);
}

bool SimulatedEncoder::start() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->thread.joinable()) return true;
  if (impl_->wakeFd < 0) {
    impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->wakeFd < 0) {
      impl_->error = std::string("eventfd: ") + std::strerror(errno);
      return false;
    }
  }
  if (!impl_->pty.open()) {
    impl_->error = impl_->pty.errorText();
    return false;
  }
  impl_->error.clear();
  impl_->slavePath = impl_->pty.slavePath();
  impl_->stopRequested = false;
  impl_->output = PacedOutput(impl_->options.baudRate);
  impl_->parser.clear();
  impl_->thread = std::thread([impl = impl_.get()] { impl->serve(); });
  return true;
}

void SimulatedEncoder::stop() { impl_->shutDown(); }

std::string SimulatedEncoder::slavePath() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->slavePath;
}

std::string SimulatedEncoder::errorText() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->error;
}

void SimulatedEncoder::loadDeck(std::vector<Card> cards) {
  std::lock_guard lock(impl_->mutex);
  impl_->deck.assign(std::make_move_iterator(cards.begin()),
                     std::make_move_iterator(cards.end()));
}

bool SimulatedEncoder::loadDeckFile(const std::string& path) {
  auto cards = readDeckFile(path);
  if (!cards) {
    std::lock_guard lock(impl_->mutex);
    impl_->error = "cannot read the deck file " + path;
    return false;
  }
  loadDeck(std::move(*cards));
  return true;
}

std::size_t SimulatedEncoder::deckSize() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->deck.size();
}

bool SimulatedEncoder::swipe() {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->pending) return false;
  impl_->completeOperation();
  return true;
}

bool SimulatedEncoder::waitingForSwipe() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->pending.has_value();
}

void SimulatedEncoder::setSwipeDelay(
    std::optional<std::chrono::milliseconds> delay) {
  std::lock_guard lock(impl_->mutex);
  impl_->swipeDelay = delay;
}

std::vector<WrittenCard> SimulatedEncoder::writtenCards() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->written;
}

void SimulatedEncoder::setWriteRecordFile(const std::string& path) {
  std::lock_guard lock(impl_->mutex);
  impl_->recordPath = path;
}

bool SimulatedEncoder::highCoercivity() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->highCoercivity;
}

int SimulatedEncoder::track2Density() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->track2Density;
}

int SimulatedEncoder::resetCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->resets;
}

Bytes SimulatedEncoder::received() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received;
}

std::vector<Bytes> SimulatedEncoder::frames() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->frames;
}

void SimulatedEncoder::clearReceived() {
  std::lock_guard lock(impl_->mutex);
  impl_->received.clear();
  impl_->frames.clear();
}

bool SimulatedEncoder::waitForFrames(std::size_t count,
                                     std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->framesChanged.wait_for(
      lock, timeout, [&] { return impl_->frames.size() >= count; });
}

void SimulatedEncoder::failNext(int count) {
  std::lock_guard lock(impl_->mutex);
  impl_->failCount = std::max(0, count);
}

void SimulatedEncoder::corruptWrite(int ordinal) {
  std::lock_guard lock(impl_->mutex);
  impl_->corruptOrdinals.insert(ordinal);
}

void SimulatedEncoder::setSilent(bool silent) {
  std::lock_guard lock(impl_->mutex);
  impl_->silent = silent;
}

void SimulatedEncoder::replaceNextReply(Bytes reply) {
  std::lock_guard lock(impl_->mutex);
  impl_->replacements.push_back(std::move(reply));
}

void SimulatedEncoder::splitNextReply(std::vector<std::size_t> burstSizes,
                                      std::chrono::milliseconds gap) {
  std::lock_guard lock(impl_->mutex);
  Impl::Split split;
  split.burstSizes = std::move(burstSizes);
  split.gap = gap;
  impl_->splits.push_back(std::move(split));
}

void SimulatedEncoder::placeOnTray(Card card) {
  std::lock_guard lock(impl_->mutex);
  impl_->lastCard = std::move(card);
}

void SimulatedEncoder::scheduleFault(const FrameFault& fault) {
  std::lock_guard lock(impl_->mutex);
  impl_->frameFaults.emplace(fault.frame, fault);
}

void SimulatedEncoder::sendNow(const Bytes& bytes) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->thread.joinable()) return;
  impl_->output.enqueue(bytes);
  impl_->wake();
}

void SimulatedEncoder::unplug() { impl_->shutDown(); }

void SimulatedEncoder::setTrafficObserver(TrafficObserver observer) {
  std::lock_guard lock(impl_->mutex);
  impl_->observer = std::move(observer);
}

}  // namespace sim
