// The main dialog's watch on a read reply as it arrives: the protocol's
// reply tracker, which tells the reply the encoder sends from line noise
// and bounds it to the longest reply, so that the parse never takes more
// than one reply's worth of a babbling line and a 'p' ending noise is no
// card.
#pragma once

#include "reply_tracker.h"

using ReadReplyWatch = protocol::ReplyTracker;
