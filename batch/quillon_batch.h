// The batch engine: the one layer that puts a batch of cards on one or
// more encoders exactly once, which the command line and the Python module
// are faces over. A face
//
//  1. makes the cards: CardBatch::fromTexts (start texts counted up by
//     increments) or CardBatch::fromCsv, or LedgerCard by LedgerCard;
//  2. opens the bookkeeping: JournalLedger::open over a Journal (a file on
//     this machine, resumable) or none, or a QueueLedger (PostgreSQL);
//  3. opens each encoder as an EncoderSession of its own, and runs one
//     BatchEncoder per encoder (a thread each) over one BatchShared, with
//     a ResultSink and a ProgressObserver of its choosing.
//
// The promise the engine keeps is card_ledger.h's: a card is written
// again only after the encoder's failure status in a whole answer, or a
// whole read reply whose texts are not the card's; every other doubt is
// settled by reading the card at the port that sent it.
//
// Outcome codes are exit_codes.h's (the CLI's exit status); messages to
// the operator go through setMessageSink (encoder_session.h).
#pragma once

#include "batch_encoder.h"    // IWYU pragma: export
#include "card_batch.h"       // IWYU pragma: export
#include "card_ledger.h"      // IWYU pragma: export
#include "card_records.h"     // IWYU pragma: export
#include "card_text.h"        // IWYU pragma: export
#include "doubt_placement.h"  // IWYU pragma: export
#include "encoder_session.h"  // IWYU pragma: export
#include "exit_codes.h"       // IWYU pragma: export
#include "journal.h"          // IWYU pragma: export
#include "journal_ledger.h"   // IWYU pragma: export
#include "port_access.h"      // IWYU pragma: export
#include "queue_ledger.h"     // IWYU pragma: export
