/* Calls the installed library from C: with no port open every device
   function reports QUILLON_ERR_NOT_OPEN. */
#include <quillon.h>
#include <stdio.h>

int main(void) {
  int failures = 0;
  char track[QUILLON_READ_BUFFER_SIZE] = {0};
  if (gCloseSerialCom() != QUILLON_OK) ++failures;
  if (gReset() != QUILLON_ERR_NOT_OPEN) ++failures;
  if (gMSRReadCard(QUILLON_TRACK2, NULL, track, NULL) != QUILLON_ERR_NOT_OPEN)
    ++failures;
  if (gOpenSerialPort(0, 9600) != QUILLON_ERR_NOT_OPEN) ++failures;
  printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
