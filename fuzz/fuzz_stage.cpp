// Fuzzes StageArchive on archive bytes: it stages them into a scratch
// directory, which must hold nothing but the staged tree afterwards, and the
// tree must pass or fail inspection without leaving anything behind. The
// victim beside the application directory (a link's target in the seeds)
// never changes.
#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "FuzzCheck.h"
#include "platform/AppFiles.h"
#include "platform/Files.h"
#include "update/Stage.h"
#include "update/StagedTree.h"

namespace {

// The scratch directory: archive, victim, app/ and, while staging,
// app/update.staging.
const std::string& Scratch() {
  static const std::string dir = [] {
    char name[] = "/tmp/fuzz-stage-XXXXXX";
    if (mkdtemp(name) == nullptr) abort();
    std::string d = name;
    mkdir((d + "/app").c_str(), 0700);
    FILE* victim = fopen((d + "/victim").c_str(), "wb");
    if (victim == nullptr) abort();
    fputs("victim\n", victim);
    fclose(victim);
    chmod((d + "/victim").c_str(), 0640);
    return d;
  }();
  return dir;
}

// What a write through a link would change about the victim.
bool SameVictim() {
  static struct stat first;
  static bool taken = false;
  struct stat now;
  if (lstat((Scratch() + "/victim").c_str(), &now) != 0) return false;
  if (!taken) {
    first = now;
    taken = true;
  }
  return now.st_mode == first.st_mode && now.st_uid == first.st_uid &&
         now.st_size == first.st_size && now.st_mtim.tv_sec == first.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == first.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == first.st_ctim.tv_sec && now.st_ctim.tv_nsec == first.st_ctim.tv_nsec;
}

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string archive = Scratch() + "/archive";
  const std::string app = Scratch() + "/app";
  const std::string staging = app + "/" + appfiles::kStaging;
  FILE* f = fopen(archive.c_str(), "wb");
  if (f == nullptr) abort();
  fwrite(data, 1, size, f);
  fclose(f);

  FUZZ_CHECK(SameVictim());
  const std::string why = StageArchive(archive, staging);
  FUZZ_CHECK(Names(Scratch()) == (std::set<std::string>{"archive", "app", "victim"}));
  FUZZ_CHECK(SameVictim());
  if (why.empty()) {
    FUZZ_CHECK(Names(app) == std::set<std::string>{appfiles::kStaging});
    InspectStaged(staging, app);
    FUZZ_CHECK(RemoveTree(staging));
  }
  FUZZ_CHECK(Names(app).empty());
  return 0;
}
