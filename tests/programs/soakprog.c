/* A supervised program for the soak run that chooses at random, per run, how
 * long it runs and how it ends.
 *
 *   soakprog <version> <entry> <min ms> <max ms> <ends> [t]
 *
 * runs for a random time in [min ms, max ms], then ends in one of the ways
 * named by the letters of <ends>, picked at random:
 *   z  exit status 0        n  exit status 1 to 9
 *   k  SIGKILL to itself    s  a write through a null pointer (SIGSEGV)
 * A sixth argument "t" ignores SIGTERM. Every run appends to "<own path>.out"
 * one line when it starts and one right before it ends itself, each in a
 * single write (the file is shared by every entry):
 *   S <monotonic us> <pid> <version> <entry> <descriptors inherited beyond 0-2>
 *   E <monotonic us> <pid> <version> <entry> <how>
 * A run ended from outside writes no E line.
 */
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

static int out_fd = -1;

static long long now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static void record(const char* line) {
  size_t len = strlen(line);
  if (out_fd >= 0 && write(out_fd, line, len) != (ssize_t)len) _exit(122);
}

static int inherited_fds(void) {
  int count = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  struct dirent* e;
  while ((e = readdir(d))) {
    int fd = atoi(e->d_name);
    if (e->d_name[0] != '.' && fd > 2 && fd != out_fd && fd != dirfd(d)) ++count;
  }
  closedir(d);
  return count;
}

static unsigned long long rng_state;

static unsigned long long next_random(void) {
  rng_state ^= rng_state << 13;
  rng_state ^= rng_state >> 7;
  rng_state ^= rng_state << 17;
  return rng_state;
}

int main(int argc, char** argv) {
  if (argc < 6) return 120;
  const char* version = argv[1];
  const char* entry = argv[2];
  long lo = atol(argv[3]), hi = atol(argv[4]);
  const char* ends = argv[5];
  if (argc > 6 && strchr(argv[6], 't')) signal(SIGTERM, SIG_IGN);

  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 8);
  if (n <= 0) return 121;
  path[n] = 0;
  /* A program replaced while it runs reads as "<path> (deleted)". */
  char* deleted = strstr(path, " (deleted)");
  if (deleted) *deleted = 0;
  strcat(path, ".out");
  out_fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (out_fd < 0) return 121;

  char line[256];
  snprintf(line, sizeof line, "S %lld %d %s %s %d\n", now_us(), (int)getpid(), version, entry,
           inherited_fds());
  record(line);

  rng_state = (unsigned long long)now_us() * 6364136223846793005ULL ^ (unsigned long long)getpid();
  if (rng_state == 0) rng_state = 1;
  long ms = lo + (hi > lo ? (long)(next_random() % (unsigned long long)(hi - lo + 1)) : 0);
  size_t kinds = strlen(ends);
  char how = kinds ? ends[next_random() % kinds] : 'z';
  int status = 1 + (int)(next_random() % 9);

  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }

  snprintf(line, sizeof line, "E %lld %d %s %s %c\n", now_us(), (int)getpid(), version, entry, how);
  record(line);
  switch (how) {
    case 'n':
      return status;
    case 'k':
      kill(getpid(), SIGKILL);
      break;
    case 's': {
      struct rlimit none = {0, 0};
      setrlimit(RLIMIT_CORE, &none); /* no core files from the soak */
      volatile int* nowhere = NULL;
      *nowhere = 1;
      break;
    }
    default:
      break;
  }
  return 0;
}
