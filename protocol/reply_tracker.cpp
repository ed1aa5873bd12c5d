#include "reply_tracker.h"

#include <algorithm>

namespace protocol {

bool ReplyTracker::take(Byte byte) {
  if (overflowed_ || count_ == kMaxReplySize) {
    overflowed_ = true;
    return false;
  }
  follow(byte);
  ++count_;
  std::rotate(tail_.begin(), tail_.begin() + 1, tail_.end());
  tail_.back() = byte;
  return true;
}

void ReplyTracker::follow(Byte byte) {
  if (count_ < 2) {
    const Byte second = kind_ == Kind::LineTest ? kCommunicationTestReply[1]
                        : kind_ == Kind::StatusAnswer ? kStatusMarker
                                                      : kReadReplyHeader[1];
    header_ = count_ == 0 ? byte == kEsc : header_ && byte == second;
    if (kind_ == Kind::LineTest && count_ == 1) ended_ = header_;
  }
  if (ended_ || kind_ == Kind::LineTest) return;
  if (kind_ == Kind::ReadReply && !blockEnded_) {
    if (byte == kBlockEnd) {
      blockEnded_ = true;
      blockEnd_ = count_;
    }
    return;
  }
  // The status answer: the first 'r' (behind the block of a read reply)
  // and the byte after it.
  if (markerSeen_) {
    ended_ = true;
  } else if (byte == kStatusMarker) {
    markerSeen_ = true;
  }
}

bool ReplyTracker::whole() const {
  // ESC 'r' and the status byte, and nothing after it.
  constexpr std::size_t kStatusAnswerSize = 3;
  if (kind_ == Kind::StatusAnswer)
    return header_ && ended_ && count_ == kStatusAnswerSize;
  if (kind_ == Kind::LineTest) return ended_;
  // '?' FS ESC 'r' and the status byte end the reply.
  constexpr std::size_t kTail = 5;
  return !overflowed_ && header_ && count_ >= kReadReplyHeader.size() + kTail &&
         blockEnded_ && blockEnd_ == count_ - kTail && tail_[0] == kFs &&
         tail_[1] == kEsc && tail_[2] == kStatusMarker;
}

ReplyStatus ReplyTracker::status() const {
  if (!whole()) return ReplyStatus::Invalid;
  if (kind_ == Kind::LineTest) return ReplyStatus::Success;
  return classifyStatus(tail_.back());  // a whole reply ends in its status
}

}  // namespace protocol
