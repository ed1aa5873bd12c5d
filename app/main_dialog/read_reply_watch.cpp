#include "read_reply_watch.h"

namespace {
constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kFs = 0x1C;
}  // namespace

bool ReadReplyWatch::take(unsigned char byte) {
  if (m_overflowed || m_count == kMaxReplyBytes) {
    m_overflowed = true;
    return false;
  }
  ++m_count;
  if (m_count == 1) m_header = byte == kEsc;
  if (m_count == 2) m_header = m_header && byte == 's';
  if (byte == kFs) m_sawFs = true;
  m_previous = m_last;
  m_last = byte;
  return true;
}

bool ReadReplyWatch::whole() const {
  return !m_overflowed && m_header && m_sawFs && m_previous == 'r';
}
