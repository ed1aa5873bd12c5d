/* Card after card from two encoders, until SIGTERM or Ctrl-C. */
#include <pthread.h>
#include <quillon.h>
#include <signal.h>
#include <stdio.h>
static struct { const char* port; quillon_device* device; } encoders[2];
static void stop(int signal_number) {
  (void)signal_number; /* quillon_cancel is async-signal-safe */
  for (int i = 0; i < 2; ++i) quillon_cancel(encoders[i].device);
}

/* One thread per encoder. A read waits for a card without a limit; the
   cancel ends it with QUILLON_ERR_CANCELLED and resets the encoder. */
static void* read_cards(void* argument) {
  const char* port = encoders[*(int*)argument].port;
  quillon_device* device = encoders[*(int*)argument].device;
  char t1[QUILLON_READ_BUFFER_SIZE], t2[QUILLON_READ_BUFFER_SIZE],
      t3[QUILLON_READ_BUFFER_SIZE];
  for (;;) {
    quillon_result result =
        quillon_read(device, QUILLON_TRACK1 | QUILLON_TRACK2 | QUILLON_TRACK3,
                     t1, sizeof t1, t2, sizeof t2, t3, sizeof t3,
                     QUILLON_NO_TIMEOUT);
    if (result == QUILLON_ERR_CANCELLED) return NULL; /* stopped */
    if (result == QUILLON_OK) {
      printf("%s: %s|%s|%s\n", port, t1, t2, t3);
      fflush(stdout);
    } else if (result == QUILLON_ERR_DEVICE ||
               result == QUILLON_ERR_NO_STATUS) {
      fprintf(stderr, "%s: no card data (%s); next card\n", port,
              quillon_last_error(device));
    } else { /* the line is lost: this encoder stops */
      fprintf(stderr, "%s: %s\n", port, quillon_last_error(device));
      return argument;
    }
  }
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s PORT PORT (device paths or COMn)\n", argv[0]);
    return 2;
  }
  /* The signals wait until there are handles to cancel, then come to this
     thread only (the readers inherit the block). */
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, NULL);
  int status = 0;
  for (int i = 0; i < 2; ++i) {
    encoders[i].port = argv[1 + i];
    if (quillon_open(argv[1 + i], 9600, &encoders[i].device) != QUILLON_OK) {
      fprintf(stderr, "%s: %s\n", argv[1 + i],
              quillon_last_error(encoders[i].device));
      status = 1;
    }
  }
  if (status == 0) {
    struct sigaction action = {0};
    action.sa_handler = stop;
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
    pthread_t readers[2];
    int numbers[2] = {0, 1};
    for (int i = 0; i < 2; ++i)
      pthread_create(&readers[i], NULL, read_cards, &numbers[i]);
    pthread_sigmask(SIG_UNBLOCK, &stops, NULL);
    for (int i = 0; i < 2; ++i) {
      void* failed = NULL;
      pthread_join(readers[i], &failed);
      if (failed != NULL) status = 1;
    }
    pthread_sigmask(SIG_BLOCK, &stops, NULL); /* no cancel of a closed one */
  }
  for (int i = 0; i < 2; ++i) quillon_close(encoders[i].device);
  return status;
}
