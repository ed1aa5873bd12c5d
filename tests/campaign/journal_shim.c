/* Loaded into quillon with LD_PRELOAD by the fault campaign: watches the
 * calls that change the journal named by $CAMPAIGN_JOURNAL and notes each
 * in $CAMPAIGN_SYNC_LOG ("write SIZE", "sync SIZE", "truncate SIZE": the
 * file's size after the call), so that the campaign can cut the file back
 * to what the last sync put on storage, as a power loss would.
 * $CAMPAIGN_ENOSPC_AT=N makes the disk full at the Nth write to the
 * journal: that write takes half its bytes, every later one fails ENOSPC.
 * Every other descriptor is passed through untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

enum { kUnknown = 0, kJournal = 1, kOther = 2, kMaxFd = 4096 };

static unsigned char fdKind[kMaxFd]; /* what each descriptor names */
static int writesSeen;

static int isJournal(int fd) {
  const char* journal = getenv("CAMPAIGN_JOURNAL");
  if (journal == NULL || fd < 0 || fd >= kMaxFd) return 0;
  int kind = __atomic_load_n(&fdKind[fd], __ATOMIC_RELAXED);
  if (kind == kUnknown) {
    char link[64], target[PATH_MAX], wanted[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    kind = kOther;
    if (n > 0 && realpath(journal, wanted) != NULL) {
      target[n] = '\0';
      if (strcmp(target, wanted) == 0) kind = kJournal;
    }
    __atomic_store_n(&fdKind[fd], (unsigned char)kind, __ATOMIC_RELAXED);
  }
  return kind == kJournal;
}

/* One line to the log, by the system call itself: never through write(). */
static void note(const char* what, int fd) {
  const char* path = getenv("CAMPAIGN_SYNC_LOG");
  struct stat info;
  if (path == NULL || fstat(fd, &info) != 0) return;
  char line[64];
  const int length =
      snprintf(line, sizeof line, "%s %lld\n", what, (long long)info.st_size);
  const int log = (int)syscall(SYS_openat, AT_FDCWD, path,
                               O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (log < 0) return;
  (void)syscall(SYS_write, log, line, (size_t)length);
  (void)syscall(SYS_close, log);
}

/* How many of `count` bytes the disk still takes; -1 when it is full. */
static ssize_t room(size_t count) {
  const char* at = getenv("CAMPAIGN_ENOSPC_AT");
  const int seen = __atomic_add_fetch(&writesSeen, 1, __ATOMIC_RELAXED);
  if (at == NULL || seen < atoi(at)) return (ssize_t)count;
  if (seen == atoi(at) && count > 1) return (ssize_t)(count / 2);
  errno = ENOSPC;
  return -1;
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

ssize_t write(int fd, const void* data, size_t count) {
  if (!isJournal(fd)) return NEXT(write)(fd, data, count);
  const ssize_t allowed = room(count);
  if (allowed < 0) return -1;
  const ssize_t n = NEXT(write)(fd, data, (size_t)allowed);
  if (n > 0) note("write", fd);
  return n;
}

ssize_t pwrite(int fd, const void* data, size_t count, off_t offset) {
  if (!isJournal(fd)) return NEXT(pwrite)(fd, data, count, offset);
  const ssize_t allowed = room(count);
  if (allowed < 0) return -1;
  const ssize_t n = NEXT(pwrite)(fd, data, (size_t)allowed, offset);
  if (n > 0) note("write", fd);
  return n;
}

int fsync(int fd) {
  const int result = NEXT(fsync)(fd);
  if (result == 0 && isJournal(fd)) note("sync", fd);
  return result;
}

int fdatasync(int fd) {
  const int result = NEXT(fdatasync)(fd);
  if (result == 0 && isJournal(fd)) note("sync", fd);
  return result;
}

int ftruncate(int fd, off_t length) {
  const int result = NEXT(ftruncate)(fd, length);
  if (result == 0 && isJournal(fd)) note("truncate", fd);
  return result;
}

int close(int fd) {
  if (fd >= 0 && fd < kMaxFd)
    __atomic_store_n(&fdKind[fd], kUnknown, __ATOMIC_RELAXED);
  return NEXT(close)(fd);
}
