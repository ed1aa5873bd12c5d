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
 */
#ifndef QUILLON_H
#define QUILLON_H

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
  QUILLON_ERR_ESCAPE = -13
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

#ifdef __cplusplus
}
#endif

#endif /* QUILLON_H */
