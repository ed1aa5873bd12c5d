// A test seam: QUILLON_FAULT_AT=POINT:SIGNAL[:CARD] makes the program send
// SIGNAL (KILL, INT, TERM, HUP, or STOP: the test continues it) to itself
// the first time a card (card CARD, or any) reaches POINT of its cycle,
// so that a test can stop it at a moment it could not hit from outside:
//   before-frame  the "sent" line is on storage, the write frame not out
//   frame         the write frame is out: the wait for the card begins
//   reply         the write's whole reply has been taken
//   read-back     the read-back frame is out: its wait begins
//   journal       half of the confirming line is written
//   confirmed     the queue's confirmation committed (not yet flushed)
// and SIGNAL DROP (no signal) at a point of the queue:
//   claim         the claim committed; its reply is lost with the
//                 connection, as when the server goes away at that moment
//   copy          queue load leaves card CARD out of the data it sends
// Unset (as always outside tests) it does nothing.
#pragma once

#include <string_view>

namespace quillon::batch {

void faultPoint(std::string_view point, long card);
/// True (once) when QUILLON_FAULT_AT=POINT:DROP[:CARD] names this card and
/// point: the caller drops its connection as if the reply were lost.
bool faultDrop(std::string_view point, long card);
/// True when QUILLON_FAULT_AT names POINT at all (for any card), so that
/// the caller takes the slower way that lets the seam stop it midway.
bool faultArmed(std::string_view point);

}  // namespace quillon::batch
