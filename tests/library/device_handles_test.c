/*
 * The device handles as a C program uses them, against encoder-sim
 * processes: two encoders from two threads at once, a cancel from another
 * thread and from a signal handler, a timeout, and ports that cannot be
 * opened. The simulators' records of the cards written and their logs of
 * the frames received are the judges.
 *
 * Usage: quillon_device_handles_test ENCODER_SIM
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <quillon.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static const char* g_simulator;
static int g_failures;

static void fail(int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  fprintf(stderr, "device_handles_test.c:%d: ", line);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  ++g_failures;
}
#define CHECK(condition, ...)                      \
  do {                                             \
    if (!(condition)) fail(__LINE__, __VA_ARGS__); \
  } while (0)

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

/* One encoder-sim process: its line, its log of frames (--verbose) and
   its record of cards written. */
struct simulator {
  pid_t pid;
  char line[256];
  char log[64];
  char record[64];
};

/* Starts encoder-sim; `swipe_ms` NULL: no card is ever swiped. */
static int start_simulator(struct simulator* sim, const char* swipe_ms) {
  strcpy(sim->log, "/tmp/quillon-handles-log-XXXXXX");
  strcpy(sim->record, "/tmp/quillon-handles-record-XXXXXX");
  int log = mkstemp(sim->log);
  int record = mkstemp(sim->record);
  int out[2];
  if (log < 0 || record < 0 || pipe(out) != 0) return -1;
  close(record);
  fcntl(log, F_SETFL, O_APPEND); /* the test empties it between rows */
  sim->pid = fork();
  if (sim->pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    int none = open("/dev/null", O_RDONLY);
    dup2(none, STDIN_FILENO);
    if (swipe_ms != NULL)
      execl(g_simulator, g_simulator, "--verbose", "--record", sim->record,
            "--swipe-delay", swipe_ms, (char*)NULL);
    else
      execl(g_simulator, g_simulator, "--verbose", (char*)NULL);
    _exit(127);
  }
  close(out[1]);
  close(log);
  FILE* lines = fdopen(out[0], "r");
  const int got = fgets(sim->line, sizeof sim->line, lines) != NULL;
  fclose(lines);
  if (!got) return -1;
  sim->line[strcspn(sim->line, "\n")] = '\0';
  return 0;
}

static void stop_simulator(struct simulator* sim) {
  kill(sim->pid, SIGTERM);
  waitpid(sim->pid, NULL, 0);
  unlink(sim->log);
  unlink(sim->record);
}

/* Whether `text` is in the file, waiting `tries` times 10 ms for it. */
static int file_has_within(const char* path, const char* text, int tries) {
  for (int try = 0; try < tries; ++try) {
    char content[65536] = {0};
    FILE* file = fopen(path, "r");
    if (file != NULL) {
      fread(content, 1, sizeof content - 1, file);
      fclose(file);
    }
    if (strstr(content, text) != NULL) return 1;
    usleep(10000);
  }
  return 0;
}

static int file_has(const char* path, const char* text) {
  return file_has_within(path, text, 100);
}

/* ---- two encoders from two threads ---- */

struct station {
  struct simulator sim;
  int reply_end;
  char tag;
  int failures;
};

static void* run_station(void* argument) {
  struct station* s = argument;
  quillon_device* device = NULL;
  if (quillon_open(s->sim.line, 9600, &device) != QUILLON_OK) {
    fail(__LINE__, "open %s: %s", s->sim.line, quillon_last_error(device));
    quillon_close(device);
    return NULL;
  }
  CHECK(quillon_set_reply_end(device, s->reply_end) == QUILLON_OK, "mode");
  CHECK(quillon_test_communication(device) == QUILLON_OK, "test: %s",
        quillon_last_error(device));
  CHECK(quillon_query_status(device) == QUILLON_OK, "status");
  for (int card = 0; card < 3; ++card) {
    char t1[32], t2[32], t3[32];
    snprintf(t1, sizeof t1, "STATION %c CARD %d", s->tag, card);
    snprintf(t2, sizeof t2, "%d%d", s->tag, card);
    snprintf(t3, sizeof t3, "%d", 900 + card);
    int result = quillon_write(device, 7, t1, t2, t3, 5000);
    CHECK(result == QUILLON_OK, "%c write %d: %d %s", s->tag, card, result,
          quillon_last_error(device));
    char r1[QUILLON_READ_BUFFER_SIZE], r2[QUILLON_READ_BUFFER_SIZE],
        r3[QUILLON_READ_BUFFER_SIZE];
    result = quillon_read(device, 7, r1, sizeof r1, r2, sizeof r2, r3,
                          sizeof r3, 5000);
    CHECK(result == QUILLON_OK, "%c read %d: %d %s", s->tag, card, result,
          quillon_last_error(device));
    CHECK(strcmp(r1, t1) == 0 && strcmp(r2, t2) == 0 && strcmp(r3, t3) == 0,
          "%c card %d read back as %s|%s|%s", s->tag, card, r1, r2, r3);
    CHECK(file_has(s->sim.record, t1), "%s not in %c's record", t1, s->tag);
  }
  quillon_close(device);
  return NULL;
}

static void two_encoders_from_two_threads(void) {
  struct station stations[2] = {
      {.reply_end = QUILLON_REPLY_END_WHOLE, .tag = 'A'},
      {.reply_end = QUILLON_REPLY_END_PAUSE, .tag = 'B'}};
  pthread_t threads[2];
  for (int i = 0; i < 2; ++i) {
    if (start_simulator(&stations[i].sim, "20") != 0) {
      fail(__LINE__, "encoder-sim did not start");
      return;
    }
  }
  for (int i = 0; i < 2; ++i)
    pthread_create(&threads[i], NULL, run_station, &stations[i]);
  for (int i = 0; i < 2; ++i) pthread_join(threads[i], NULL);
  /* Each simulator got its own station's cards only. */
  CHECK(!file_has(stations[0].sim.record, "STATION B"), "B's card on A");
  for (int i = 0; i < 2; ++i) stop_simulator(&stations[i].sim);
}

/* ---- cancel, timeout ---- */

static quillon_device* g_waiting; /* the handle the signal handler cancels */

static void on_signal(int number) {
  (void)number;
  quillon_cancel(g_waiting);
}

struct wait {
  quillon_device* device;
  int timeout_ms;
  int result;
  double ended_ms;
};

static void* read_a_card(void* argument) {
  struct wait* w = argument;
  char track2[QUILLON_READ_BUFFER_SIZE];
  w->result = quillon_read(w->device, 2, NULL, 0, track2, sizeof track2, NULL,
                           0, w->timeout_ms);
  w->ended_ms = now_ms();
  return NULL;
}

/* A read that no card ever answers, ended by a cancel from another thread,
   by one from a signal handler, or by its timeout: each ends it with its
   own result, soon, and sends the reset frame (ESC '0'). */
static void waits_that_end_without_a_card(void) {
  struct simulator sim;
  if (start_simulator(&sim, NULL) != 0) {
    fail(__LINE__, "encoder-sim did not start");
    return;
  }
  quillon_device* device = NULL;
  CHECK(quillon_open(sim.line, 9600, &device) == QUILLON_OK, "open: %s",
        quillon_last_error(device));
  g_waiting = device;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_signal;
  sigaction(SIGUSR1, &action, NULL);

  enum { BY_THREAD, BY_SIGNAL, BY_TIMEOUT };
  static const struct {
    const char* name;
    int how;
    int timeout_ms;
    int result;
  } rows[] = {
      {"cancel from a thread", BY_THREAD, QUILLON_NO_TIMEOUT,
       QUILLON_ERR_CANCELLED},
      {"cancel from a signal handler", BY_SIGNAL, 60000, QUILLON_ERR_CANCELLED},
      {"timeout", BY_TIMEOUT, 300, QUILLON_ERR_TIMED_OUT},
  };
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    truncate(sim.log, 0);
    struct wait w = {device, rows[i].timeout_ms, 0, 0};
    const double started = now_ms();
    pthread_t reader;
    pthread_create(&reader, NULL, read_a_card, &w);
    double stopped = started + rows[i].timeout_ms;
    if (rows[i].how != BY_TIMEOUT) {
      /* The read frame is out: the wait begins right behind it. */
      CHECK(file_has(sim.log, "<- "), "%s: no read frame", rows[i].name);
      usleep(20000);
      stopped = now_ms();
      if (rows[i].how == BY_THREAD)
        quillon_cancel(device);
      else
        pthread_kill(reader, SIGUSR1);
    }
    pthread_join(reader, NULL);
    const double late = w.ended_ms - stopped;
    printf("%s: ended %.1f ms after it was due\n", rows[i].name, late);
    CHECK(w.result == rows[i].result, "%s: result %d (%s)", rows[i].name,
          w.result, quillon_last_error(device));
    /* A cancel ends the wait within 50 ms; a timeout on time, give or
       take the machine's scheduling. */
    const double bound = rows[i].how == BY_TIMEOUT ? 500 : 50;
    CHECK(late > -1 && late < bound, "%s: ended %.1f ms after it was due",
          rows[i].name, late);
    CHECK(file_has(sim.log, "<- 1B 30"), "%s: no reset frame", rows[i].name);
    if (rows[i].result == QUILLON_ERR_CANCELLED) {
      /* Cancelled until resumed: nothing is sent meanwhile. */
      truncate(sim.log, 0);
      CHECK(quillon_test_communication(device) == QUILLON_ERR_CANCELLED,
            "not cancelled");
      CHECK(strcmp(quillon_last_error(device), "cancelled") == 0, "text");
      CHECK(!file_has_within(sim.log, "<- 1B 65", 10), "sent while cancelled");
      quillon_resume(device);
      CHECK(quillon_test_communication(device) == QUILLON_OK, "not resumed");
      CHECK(file_has(sim.log, "<- 1B 65"), "the test frame is missing");
    }
  }
  quillon_close(device);
  stop_simulator(&sim);
}

/* ---- ports that cannot be opened ---- */

static void ports_that_cannot_be_opened(void) {
  struct simulator sim;
  if (start_simulator(&sim, NULL) != 0) {
    fail(__LINE__, "encoder-sim did not start");
    return;
  }
  quillon_device* holder = NULL;
  CHECK(quillon_open(sim.line, 9600, &holder) == QUILLON_OK, "first open");
  setenv("ENCODER_COM7", "relative/tty", 1);
  const struct {
    const char* port;
    int baud;
    const char* said;
  } rows[] = {
      {"/nonexistent/ttyQ0", 9600, "no such device: /nonexistent/ttyQ0"},
      {"/dev/null", 9600, "/dev/null is not a serial device"},
      {sim.line, 9600, "is in use by another program"},
      {"COM0", 9600, "neither COMn"},
      {"COM7", 9600, "ENCODER_COM7"},
      {sim.line, 0, "baud rate 0"},
  };
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    quillon_device* device = NULL;
    const int result = quillon_open(rows[i].port, rows[i].baud, &device);
    CHECK(result == QUILLON_ERR_NOT_OPEN, "%s opened", rows[i].port);
    CHECK(device != NULL && strstr(quillon_last_error(device), rows[i].said),
          "%s: \"%s\", not \"%s\"", rows[i].port, quillon_last_error(device),
          rows[i].said);
    CHECK(quillon_test_communication(device) == QUILLON_ERR_NOT_OPEN,
          "%s: usable", rows[i].port);
    quillon_close(device);
  }
  unsetenv("ENCODER_COM7");
  quillon_close(holder);
  stop_simulator(&sim);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s ENCODER_SIM\n", argv[0]);
    return 2;
  }
  g_simulator = argv[1];
  two_encoders_from_two_threads();
  waits_that_end_without_a_card();
  ports_that_cannot_be_opened();
  printf("%s\n", g_failures == 0 ? "all passed" : "FAILED");
  return g_failures == 0 ? 0 : 1;
}
