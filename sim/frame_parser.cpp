#include "frame_parser.h"

#include <algorithm>
#include <array>
#include <optional>

#include "encoder_protocol.h"

namespace sim {

namespace {

using protocol::Byte;
using protocol::Bytes;
using protocol::ByteView;
using protocol::kEsc;

struct FixedFrame {
  Bytes bytes;
  FrameKind kind;
  int selection = 0;
};

template <std::size_t N>
Bytes toBytes(const std::array<Byte, N>& a) {
  return Bytes(a.begin(), a.end());
}

// Every frame whose bytes never change, read commands included.
const std::vector<FixedFrame>& fixedFrames() {
  static const std::vector<FixedFrame> frames = [] {
    std::vector<FixedFrame> f{
        {toBytes(protocol::kResetFrame), FrameKind::Reset},
        {toBytes(protocol::kHighCoercivityFrame), FrameKind::HighCoercivity},
        {toBytes(protocol::kLowCoercivityFrame), FrameKind::LowCoercivity},
        {toBytes(protocol::kDensity210Frame), FrameKind::Density210},
        {toBytes(protocol::kDensity75Frame), FrameKind::Density75},
        {toBytes(protocol::kCommunicationTestFrame),
         FrameKind::CommunicationTest},
        {toBytes(protocol::kStatusRequestFrame), FrameKind::StatusRequest},
    };
    for (int selection = 1; selection <= 7; ++selection) {
      if (auto command = protocol::readCommand(selection)) {
        f.push_back({*command, FrameKind::Read, selection});
      }
    }
    return f;
  }();
  return frames;
}

constexpr Byte kEraseLetter = 'c';
constexpr Byte kWriteLetter = 't';

// What the front of the pending bytes is.
struct Match {
  enum class Result { NeedMore, Complete } result = Result::NeedMore;
  std::size_t length = 0;  // bytes the frame takes (Complete)
  Frame frame;
};

Match needMore() { return {}; }

Match complete(ByteView pending, std::size_t length, FrameKind kind) {
  Match m;
  m.result = Match::Result::Complete;
  m.length = length;
  m.frame.kind = kind;
  m.frame.bytes.assign(pending.begin(),
                       pending.begin() + static_cast<std::ptrdiff_t>(length));
  return m;
}

std::size_t commonPrefix(ByteView a, const Bytes& b) {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// A frame that broke off after `matched` good bytes: it ends before the
// last ESC inside it, so a command that follows is parsed whole.
Match brokenFrame(ByteView pending, std::size_t matched) {
  if (matched <= 1) {
    const bool escEsc = pending.size() > 1 && pending[1] == kEsc;
    return complete(pending, escEsc ? 1 : 2, FrameKind::Unknown);
  }
  std::size_t end = matched;
  for (std::size_t i = matched - 1; i >= 1; --i) {
    if (pending[i] == kEsc) {
      end = i;
      break;
    }
  }
  return complete(pending, end, FrameKind::Unknown);
}

Match matchWrite(ByteView pending) {
  const auto& terminator = protocol::kWriteBlockEnd;
  const auto& request = protocol::kStatusRequestFrame;
  const auto blockBegin = pending.begin() + 2;
  const auto end = std::search(blockBegin, pending.end(), terminator.begin(),
                               terminator.end());
  if (end == pending.end()) {
    const std::size_t blockSoFar = pending.size() - 2;
    // A terminator may already have begun at the tail.
    if (blockSoFar > FrameParser::kMaxWriteBlock + terminator.size()) {
      return complete(pending, 2 + FrameParser::kMaxWriteBlock,
                      FrameKind::Unknown);
    }
    return needMore();
  }
  const auto blockLength = static_cast<std::size_t>(end - blockBegin);
  if (blockLength > FrameParser::kMaxWriteBlock) {
    return complete(pending, 2 + FrameParser::kMaxWriteBlock,
                    FrameKind::Unknown);
  }
  const std::size_t requestAt = 2 + blockLength + terminator.size();
  const std::size_t have = pending.size() - requestAt;
  const std::size_t need = request.size();
  if (!std::equal(pending.begin() + static_cast<std::ptrdiff_t>(requestAt),
                  pending.begin() + static_cast<std::ptrdiff_t>(
                                        requestAt + std::min(have, need)),
                  request.begin())) {
    // The block was closed but no status request follows it.
    return complete(pending, requestAt, FrameKind::Unknown);
  }
  if (have < need) return needMore();
  Match m = complete(pending, requestAt + need, FrameKind::Write);
  m.frame.block.assign(blockBegin, end);
  return m;
}

Match matchFront(ByteView pending) {
  if (pending[0] != kEsc) {
    const auto esc = std::find(pending.begin(), pending.end(), kEsc);
    if (esc == pending.end()) return needMore();
    return complete(pending, static_cast<std::size_t>(esc - pending.begin()),
                    FrameKind::Unknown);
  }
  if (pending.size() < 2) return needMore();
  if (pending[1] == kEraseLetter) {
    if (pending.size() < 3) return needMore();
    Match m = complete(pending, 3, FrameKind::Erase);
    m.frame.eraseCode = pending[2];
    return m;
  }
  if (pending[1] == kWriteLetter) return matchWrite(pending);

  std::size_t longest = 0;
  for (const FixedFrame& fixed : fixedFrames()) {
    const std::size_t matched = commonPrefix(pending, fixed.bytes);
    if (matched == fixed.bytes.size()) {
      Match m = complete(pending, matched, fixed.kind);
      m.frame.selection = fixed.selection;
      return m;
    }
    // All of pending is the start of this frame: wait for the rest.
    if (matched == pending.size()) return needMore();
    longest = std::max(longest, matched);
  }
  return brokenFrame(pending, longest);
}

}  // namespace

std::vector<Frame> FrameParser::feed(std::span<const std::uint8_t> bytes) {
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  std::vector<Frame> frames;
  std::size_t used = 0;
  while (used < pending_.size()) {
    const ByteView rest(pending_.data() + used, pending_.size() - used);
    Match m = matchFront(rest);
    if (m.result == Match::Result::NeedMore) break;
    used += m.length;
    frames.push_back(std::move(m.frame));
  }
  pending_.erase(pending_.begin(),
                 pending_.begin() + static_cast<std::ptrdiff_t>(used));
  return frames;
}

}  // namespace sim
