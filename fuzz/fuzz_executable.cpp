// Fuzzes the judgement of a release's supervisor executable: whatever bytes
// stand in the file, libelf reads them without harm, and only a file whose
// header says this machine's executable is accepted.
#include <elf.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FuzzCheck.h"
#include "UniqueFd.h"
#include "update/OwnExecutable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UniqueFd fd(memfd_create("executable", MFD_CLOEXEC));
  if (!fd.valid() || fchmod(fd.get(), 0755) != 0) return 0;
  if (size > 0 && write(fd.get(), data, size) != static_cast<ssize_t>(size)) return 0;
  if (JudgeExecutableFd(fd.get()).empty()) {
    FUZZ_CHECK(size >= sizeof(Elf64_Ehdr) && memcmp(data, ELFMAG, SELFMAG) == 0);
  }
  return 0;
}
