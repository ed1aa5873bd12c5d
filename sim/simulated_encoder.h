// A stand-in for the card encoder: it serves the master side of a
// pseudo-terminal and answers frames as the real device does, so tests,
// benchmarks and demos run without hardware. Open slavePath() as the port.
//
// Reset, coercivity, density and erase frames are never answered; the
// communication test gets ESC 'y' and a status request ESC 'r' 'p'. A read,
// write or erase waits for its card swipe; a new one arriving meanwhile
// takes its place, a reset abandons it unanswered, and the other frames are
// answered while it waits. The simulator keeps a descriptor on the slave,
// so the other side may close and reopen the line: replies sent while it
// was closed wait in the line until read or flushed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "encoder_protocol.h"
#include "frame_faults.h"

namespace sim {

using protocol::Bytes;

/// The three tracks of one magnetic card as plain text. An empty track
/// holds no data.
struct Card {
  std::string track1;
  std::string track2;
  std::string track3;
  friend bool operator==(const Card&, const Card&) = default;
};

/// One write frame the encoder took, with what it answered.
struct WrittenCard {
  /// TrackSelection (1..7) as the block's separators tell it: track 2 counts
  /// when the text before the first separator is non-empty or the block
  /// has no separator, so an empty track 2 beside other tracks is not seen.
  int selection = 0;
  Card card;  ///< the texts of the selected tracks, others empty
  bool highCoercivity = true;
  int track2Density = 210;  ///< 210 or 75 BPI at the time of writing
  bool succeeded = true;    ///< answered 'p' (false: answered 'q')
};

class SimulatedEncoder {
 public:
  struct Options {
    /// Pace every reply at this line rate (10 bits per byte); 0 sends
    /// each burst at once.
    int baudRate = 0;
    /// Time from a read, write or erase frame to the card swipe that
    /// completes it. Empty: the card is swiped only by swipe().
    std::optional<std::chrono::milliseconds> swipeDelay =
        std::chrono::milliseconds(0);
    /// A card written successfully is the next card a read swipes, ahead
    /// of the deck, as when an operator checks the card just written.
    bool readBackWritten = false;
  };

  SimulatedEncoder();
  explicit SimulatedEncoder(Options options);
  ~SimulatedEncoder();  ///< stops serving and closes the pseudo-terminal
  SimulatedEncoder(const SimulatedEncoder&) = delete;
  SimulatedEncoder& operator=(const SimulatedEncoder&) = delete;

  /// Creates the pseudo-terminal and starts serving it on a thread of its
  /// own. False (with errorText()) when no pseudo-terminal can be had.
  /// After stop() or unplug() it serves a new pseudo-terminal; cards and
  /// records are kept.
  bool start();
  void stop();
  [[nodiscard]] std::string slavePath() const;
  [[nodiscard]] std::string errorText() const;

  // --- Cards --------------------------------------------------------------
  /// Cards to be swiped by the next reads and erases, in order. When the
  /// deck is empty they swipe the card that was last written or erased, and
  /// with none yet a blank card (a read of it fails, 'q'). A write goes on
  /// a blank card, which becomes the last card when the write succeeds.
  void loadDeck(std::vector<Card> cards);
  /// One card per line: "track1|track2|track3" (missing fields are
  /// empty). False when the file cannot be read; the deck stays as it was.
  bool loadDeckFile(const std::string& path);
  [[nodiscard]] std::size_t deckSize() const;
  /// The card left on the tray (as by the last write), which a read
  /// swipes when the deck is empty: an encoder plugged in again still
  /// holds the card it wrote before.
  void placeOnTray(Card card);
  /// Swipes a card now for the read, write or erase that waits for one.
  /// False when nothing waits.
  bool swipe();
  [[nodiscard]] bool waitingForSwipe() const;
  /// For the operations that arrive from now on.
  void setSwipeDelay(std::optional<std::chrono::milliseconds> delay);
  [[nodiscard]] std::vector<WrittenCard> writtenCards() const;
  /// Each written card is also appended to this file as one JSON object
  /// per line, failed writes included. Empty path: no file. A file that
  /// cannot be written leaves errorText() set; the write is still answered.
  void setWriteRecordFile(const std::string& path);

  // --- What the encoder was told ------------------------------------------
  [[nodiscard]] bool highCoercivity() const;  ///< true until ESC 'y'
  [[nodiscard]] int track2Density() const;    ///< 210 (ESC 'H') or 75 (ESC 'L')
  [[nodiscard]] int resetCount() const;       ///< ESC '0' frames seen
  /// Every byte received since start (or clearReceived()), in order.
  [[nodiscard]] Bytes received() const;
  /// The received bytes cut into frames (one command each).
  [[nodiscard]] std::vector<Bytes> frames() const;
  void clearReceived();
  /// Waits until at least `count` frames were received since the last
  /// clearReceived(). False on timeout.
  bool waitForFrames(std::size_t count,
                     std::chrono::milliseconds timeout) const;

  // --- Scripting for tests ------------------------------------------------
  /// The next `count` reads or writes answer with status 'q'. A failed read
  /// still sends the card's tracks and uses the card up; a failed write is
  /// recorded with succeeded=false.
  void failNext(int count);
  /// The write with this number (the first write frame the encoder takes
  /// is 1) is answered 'p' but leaves a changed card: the last character
  /// of its first non-empty track is another one, so reading it back
  /// differs. The record holds the card as it was left.
  void corruptWrite(int ordinal);
  /// While silent nothing is answered (frames are still recorded, cards
  /// still swiped and written: only the replies are lost).
  void setSilent(bool silent);
  /// The next awaited reply is these bytes instead of the real one (empty:
  /// no reply at all). Calls queue up: each one takes one later reply, in
  /// order. Replies lost to silence do not use them up; sendNow() neither.
  void replaceNextReply(Bytes reply);
  /// The next awaited reply goes out in bursts of these sizes (the rest in
  /// a last burst), with `gap` between bursts. Queues up like
  /// replaceNextReply(), and splits a replacement as well.
  void splitNextReply(std::vector<std::size_t> burstSizes,
                      std::chrono::milliseconds gap);
  /// A fault of frame_faults.h, set off by the fault's frame (counted
  /// from the encoder's construction). A hang-up is left to the owner:
  /// the serving thread may not unplug the line itself.
  void scheduleFault(const FrameFault& fault);
  /// Sends bytes now, unasked (stale input for the other side).
  void sendNow(const Bytes& bytes);
  /// Closes the line as if the device were unplugged: the master side is
  /// closed and the slave path stops working. slavePath() still names it.
  void unplug();

  // --- Watching the line --------------------------------------------------
  enum class Direction { Received, Sent };
  /// Sees each frame received and each reply burst once it is on the line.
  /// Called on the serving thread, outside the encoder's lock; it may call
  /// the encoder but not stop() or unplug().
  using TrafficObserver = std::function<void(Direction, const Bytes&)>;
  void setTrafficObserver(TrafficObserver observer);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
