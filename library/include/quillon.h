/*
 * libquillon: drives a magnetic-stripe card reader/encoder on a serial port.
 *
 * Ten plain C functions act on the library's one device. Every function
 * blocks its caller until the operation has ended: a read or write waits up
 * to about 11 seconds for a card to be passed through the encoder, or until
 * the Escape key is pressed. The library takes no lock; call it from one
 * thread at a time. Every result is a status code (see quillon_status
 * below); nothing is printed, logged or thrown.
 *
 * Serial ports are named by number n (COMn): the device path is the value
 * of the environment variable ENCODER_COM<n> when it is set and not empty,
 * otherwise /dev/ttyS<n-1>.
 *
 * Beside them, the device handles (quillon_open and the functions after
 * it, at the end of this file): several encoders in one program, each
 * opened by path or COMn, from several threads at once (one thread per
 * handle), with timeouts of the caller's choosing and a cancel that another
 * thread or a signal handler may call. They share no mutable state with
 * each other or with the ten functions.
 */
#ifndef QUILLON_H
#define QUILLON_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QUILLON_API __attribute__((visibility("default")))
#else
#define QUILLON_API
#endif

/* Status codes returned by every function, as signed 16-bit values. */
enum quillon_status {
  QUILLON_OK = 0,
  /* The port is not open, or (gOpenSerialPort) it failed to open. */
  QUILLON_ERR_NOT_OPEN = -1,
  /* The status answer held no valid status byte. */
  QUILLON_ERR_NO_STATUS = -2,
  /* The frame could not be written, or a text was refused (see
     gMSRWriteCard). Never returned once the frame is out. */
  QUILLON_ERR_WRITE = -3,
  /* The read of the reply could not start (see gMSRReadCard). */
  QUILLON_ERR_READ_START = -4,
  /* The encoder reported failure ('q'), a read reply was not whole (ESC
     's' first, '?' FS ESC 'r' 'p' last), or the communication test was
     not answered with ESC 'y'. */
  QUILLON_ERR_DEVICE = -5,
  /* No reply arrived within 11 seconds, or the line was lost. */
  QUILLON_ERR_NO_REPLY = -6,
  /* The Escape key was pressed while the operation waited for its reply. */
  QUILLON_ERR_ESCAPE = -13,
  /* Device handles only: quillon_cancel ended the wait, or the handle was
     cancelled before the call (nothing was sent). */
  QUILLON_ERR_CANCELLED = -14,
  /* Device handles only: the caller's timeout passed with no reply. */
  QUILLON_ERR_TIMED_OUT = -15
};

/* Tracks 1, 2 and 3 as bits 0, 1 and 2 of a track selection (1 to 7). */
#define QUILLON_TRACK1 1
#define QUILLON_TRACK2 2
#define QUILLON_TRACK3 4

/* Size every read buffer must have: the largest reply. */
#define QUILLON_READ_BUFFER_SIZE 400
/* Longest texts a write accepts for tracks 1, 2 and 3. */
#define QUILLON_TRACK1_MAX 199
#define QUILLON_TRACK2_MAX 129
#define QUILLON_TRACK3_MAX 149

/*
 * Opens serial port `port` (COMn; only the low 8 bits count, so 257 opens
 * COM1) at `baud` bits per second, 8 data bits, no parity, one stop bit,
 * with DTR raised. A port that is open already is closed first.
 * Returns 0, or -1 when the port cannot be opened (no such device, in use,
 * not a serial line, port 0, baud 0); the library then has no open port.
 */
QUILLON_API int16_t gOpenSerialPort(int port, int baud);

/* Closes the port, lowering DTR. Returns 0, also when no port is open. */
QUILLON_API int16_t gCloseSerialCom(void);

/* Sends the reset frame ESC '0'. Returns 0; -1 port not open; -3 write
   failed. No reply is awaited. */
QUILLON_API int16_t gReset(void);

/* Sets the coercivity: mode 0 low (ESC 'y'), 1 high (ESC 'x'); any other
   mode sends ESC 0x00. Returns 0; -1; -3. */
QUILLON_API int16_t gSetHLCo(int mode);

/* Sets the track-2 density: sends ESC and the low byte of `letter`, 'H'
   for 210 BPI, 'L' for 75 BPI. Returns 0; -1; -3. */
QUILLON_API int16_t gSetTrack2Density(int letter);

/*
 * Reads a card. `selection` is 1 to 7 (QUILLON_TRACK1 | ...); tracks 1 and
 * 3 together (5) cannot be read. Each selected track's data is copied to
 * the start of its buffer WITHOUT a terminator: clear the buffers first to
 * receive zero-terminated texts. Every selected track's buffer must hold
 * QUILLON_READ_BUFFER_SIZE bytes; buffers of unselected tracks are never
 * touched and may be NULL.
 * Returns 0; -1 port not open; -3 write failed; -4 nothing sent because
 * the selection has no read command (5, or outside 1..7) or a selected
 * track's buffer is NULL; -5 the reply was not whole or did not end in
 * 'p' (no buffer is changed); -6 no reply; -13 Escape pressed (the reset
 * frame is sent).
 */
QUILLON_API int16_t gMSRReadCard(int selection, char* track1, char* track2,
                                 char* track3);

/*
 * Writes a card. `selection` is 1 to 7; outside it, only the status request
 * ESC 'j' is sent. All three texts are zero-terminated and must be valid
 * (possibly empty) whatever the selection, and no longer than
 * QUILLON_TRACK1_MAX, QUILLON_TRACK2_MAX and QUILLON_TRACK3_MAX characters.
 * Returns 0; -1 port not open; -2 no valid status in the answer; -3 write
 * failed, or a text is NULL or too long (nothing is sent; never once the
 * frame is out); -5 the encoder reported failure; -6 no reply; -13 Escape
 * pressed (the reset frame is sent). After -2, -6 or -13 the card may have
 * been written: read it before writing its data again.
 */
QUILLON_API int16_t gMSRWriteCard(int selection, const char* track1,
                                  const char* track2, const char* track3);

/* Erases tracks: sends ESC 'c' and the low byte of `code` (1 track 1,
   2 track 2, 3 track 3, 4 tracks 1+2, 5 tracks 1+3, 6 tracks 2+3, 7 all).
   Returns 0; -1; -3. No reply is awaited. */
QUILLON_API int16_t gEraseInformationofCard(int code);

/* Tests the line: sends ESC 'e' and expects ESC 'y'. Returns 0; -1; -3;
   -5 another answer; -6 no answer; -13 Escape pressed. */
QUILLON_API int16_t gCommunicationWithDevice(void);

/* Asks for the encoder's status with ESC 'j'. Returns 0 for 'p'; -5 for
   'q'; -2 no valid status byte; -1; -3; -6 no answer; -13 Escape. */
QUILLON_API int16_t gMSRWrtOrReadStatus(void);

/* ---------------------------------------------------------------------
 * Device handles.
 *
 * Every function returns a quillon_result: one of the codes of
 * enum quillon_status above. Results as the ten functions give them,
 * except that a handle never watches the Escape key (so never gives -13):
 * quillon_cancel ends its waits instead, with QUILLON_ERR_CANCELLED, and
 * read and write take a timeout (QUILLON_ERR_TIMED_OUT). A NULL handle
 * gives QUILLON_ERR_NOT_OPEN.
 *
 * Threads: a handle is used by one thread at a time; different handles may
 * be used by different threads at once. quillon_cancel is the exception:
 * any thread, or a signal handler, may call it while the handle is open.
 * ------------------------------------------------------------------- */

typedef enum quillon_status quillon_result;

/* An open encoder. Opaque: made by quillon_open, freed by quillon_close. */
typedef struct quillon_device quillon_device;

/* Timeout of quillon_read and quillon_write: wait without a limit (until a
   card comes, the line is lost or quillon_cancel is called). */
#define QUILLON_NO_TIMEOUT (-1)

/* How a reply ends (quillon_set_reply_end). */
enum quillon_reply_end {
  /* 79 ms after its last byte, as the ten functions end it (the default). */
  QUILLON_REPLY_END_PAUSE = 0,
  /* As soon as it is whole (its status byte has come): no pause to wait. */
  QUILLON_REPLY_END_WHOLE = 1
};

/*
 * Opens the encoder at `port`: a device path ("/dev/ttyUSB0") or COMn
 * ("COM3", "com3": resolved as gOpenSerialPort resolves n), at `baud` bits
 * per second, 8N1, DTR raised, exclusively.
 * Always stores a new handle in *device (NULL only when no memory was to
 * be had): on failure a closed one whose quillon_last_error says why. Free
 * it with quillon_close in both cases.
 * Returns 0; -1 the port cannot be opened (see quillon_last_error).
 */
QUILLON_API quillon_result quillon_open(const char* port, int baud,
                                        quillon_device** device);

/* Closes the port as gCloseSerialCom does and frees the handle. NULL is
   allowed. Returns 0. No other call on the handle may run or follow. */
QUILLON_API quillon_result quillon_close(quillon_device* device);

/* Why the handle's last call failed, in words (for an open that failed, as
   `quillon ports` says it: no such device, no permission and which group
   to join, in use, not a serial device); "" after a call that succeeded.
   Valid until the next call on the handle. */
QUILLON_API const char* quillon_last_error(const quillon_device* device);

/* The words for a result code ("timed out"). */
QUILLON_API const char* quillon_result_text(quillon_result result);

/* As gCommunicationWithDevice, gMSRWrtOrReadStatus, gReset, gSetHLCo,
   gSetTrack2Density and gEraseInformationofCard, on this handle. */
QUILLON_API quillon_result quillon_test_communication(quillon_device* device);
QUILLON_API quillon_result quillon_query_status(quillon_device* device);
QUILLON_API quillon_result quillon_reset(quillon_device* device);
QUILLON_API quillon_result quillon_set_coercivity(quillon_device* device,
                                                  int mode);
QUILLON_API quillon_result quillon_set_track2_density(quillon_device* device,
                                                      int letter);
QUILLON_API quillon_result quillon_erase(quillon_device* device, int code);

/*
 * Reads a card: `selection` as gMSRReadCard. Each selected track's data is
 * stored zero-terminated in its buffer, whose size (at least
 * QUILLON_READ_BUFFER_SIZE) is given beside it; buffers of tracks not
 * selected are set to "" when not NULL. Waits at most `timeout_ms`
 * milliseconds for the card, or QUILLON_NO_TIMEOUT.
 * Returns 0; -1; -2 a reply that was not whole (no card is taken from it);
 * -3; -4 nothing sent (selection 5 or outside 1..7, a selected buffer NULL
 * or smaller than QUILLON_READ_BUFFER_SIZE); -5 the encoder's 'q' (no card
 * data); -6 the line was lost; -14 cancelled; -15 timed out. After -14 and
 * -15 the reset frame has been sent. A card already arriving when the
 * cancel comes is taken whole and returned (the handle stays cancelled).
 */
QUILLON_API quillon_result quillon_read(quillon_device* device, int selection,
                                        char* track1, size_t size1,
                                        char* track2, size_t size2,
                                        char* track3, size_t size3,
                                        int timeout_ms);

/*
 * Writes a card as gMSRWriteCard, waiting at most `timeout_ms` for it (or
 * QUILLON_NO_TIMEOUT). Texts of tracks not selected may be NULL.
 * Returns as gMSRWriteCard, and -14 cancelled, -15 timed out (the reset
 * frame has been sent); after -2, -6, -14 or -15 the card may have been
 * written.
 */
QUILLON_API quillon_result quillon_write(quillon_device* device, int selection,
                                         const char* track1, const char* track2,
                                         const char* track3, int timeout_ms);

/* How the handle's replies end (enum quillon_reply_end). Returns 0; -1;
   -4 an unknown mode. */
QUILLON_API quillon_result quillon_set_reply_end(quillon_device* device,
                                                 int mode);

/*
 * Cancels the handle: a wait under way ends within a few milliseconds with
 * QUILLON_ERR_CANCELLED and the reset frame is sent; every later call that
 * would send a frame returns QUILLON_ERR_CANCELLED at once, sending
 * nothing, until quillon_resume. Async-signal-safe: callable from any
 * thread or a signal handler, from quillon_open's return until
 * quillon_close is called.
 */
QUILLON_API void quillon_cancel(quillon_device* device);

/* Ends the cancelled state: calls send frames again. */
QUILLON_API void quillon_resume(quillon_device* device);

#ifdef __cplusplus
}
#endif

#endif /* QUILLON_H */
