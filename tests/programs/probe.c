/* A program for the supervisor to run in tests. Every run appends one line to
 * "<own path>.out":
 *   pid=<pid> ms=<wall clock ms> args=<hex of argv[0]>,... fds=<fd>,... sigblk=<hex> sigign=<hex>
 * (an empty argument is written as "-").
 * Files beside it choose how the run ends:
 *   <path>.sleep       milliseconds to run before ending (default 0)
 *   <path>.status      exit status (default 0)
 *   <path>.signal      a signal to send itself instead of exiting
 *   <path>.ignoreterm  present: SIGTERM is ignored
 *   <path>.orphan      milliseconds a child of the run lives on; the run appends
 *                      the child's pid to "<path>.orphans" and does not wait for it
 *   <path>.say         present: before anything else the run writes
 *                      "probe run <pid>" to standard output
 */
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

static char path[4096];

static long read_number(const char* suffix, long fallback) {
  char name[4200];
  snprintf(name, sizeof name, "%s.%s", path, suffix);
  FILE* f = fopen(name, "r");
  if (!f) return fallback;
  long v = fallback;
  if (fscanf(f, "%ld", &v) != 1) v = fallback;
  fclose(f);
  return v;
}

static void sleep_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

static int exists(const char* suffix) {
  char name[4200];
  snprintf(name, sizeof name, "%s.%s", path, suffix);
  return access(name, F_OK) == 0;
}

static void status_field(FILE* out, const char* key, const char* label) {
  FILE* f = fopen("/proc/self/status", "r");
  char line[512];
  if (!f) return;
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, key, strlen(key)) == 0) {
      char* v = line + strlen(key);
      while (*v == ' ' || *v == '\t') ++v;
      v[strcspn(v, "\n")] = 0;
      fprintf(out, " %s=%s", label, v);
    }
  }
  fclose(f);
}

int main(int argc, char** argv) {
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return 120;
  path[n] = 0;
  if (exists("say")) {
    printf("probe run %d\n", (int)getpid());
    fflush(stdout);
  }

  if (exists("ignoreterm")) signal(SIGTERM, SIG_IGN);

  char name[4200];
  snprintf(name, sizeof name, "%s.out", path);
  FILE* out = fopen(name, "a");
  if (!out) return 121;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  fprintf(out, "pid=%d ms=%lld args=", (int)getpid(),
          (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000);
  for (int i = 0; i < argc; ++i) {
    if (i) fputc(',', out);
    for (const unsigned char* p = (const unsigned char*)argv[i]; *p; ++p) fprintf(out, "%02x", *p);
    if (!argv[i][0]) fputs("-", out);
  }
  fputs(" fds=", out);
  DIR* d = opendir("/proc/self/fd");
  int first = 1;
  if (d) {
    int own = dirfd(d);
    struct dirent* e;
    while ((e = readdir(d))) {
      if (e->d_name[0] == '.' || atoi(e->d_name) == own || atoi(e->d_name) == fileno(out)) continue;
      fprintf(out, first ? "%s" : ",%s", e->d_name);
      first = 0;
    }
    closedir(d);
  }
  status_field(out, "SigBlk:", "sigblk");
  status_field(out, "SigIgn:", "sigign");
  fputc('\n', out);
  fclose(out);

  long orphan_ms = read_number("orphan", 0);
  if (orphan_ms > 0) {
    pid_t child = fork();
    if (child == 0) {
      sleep_ms(orphan_ms);
      _exit(0);
    }
    snprintf(name, sizeof name, "%s.orphans", path);
    FILE* orphans = fopen(name, "a");
    if (orphans) {
      fprintf(orphans, "%d\n", (int)child);
      fclose(orphans);
    }
  }

  long ms = read_number("sleep", 0);
  if (ms > 0) sleep_ms(ms);
  long sig = read_number("signal", 0);
  if (sig > 0) {
    signal((int)sig, SIG_DFL);
    kill(getpid(), (int)sig);
  }
  return (int)read_number("status", 0);
}
