#include "update/OwnExecutable.h"

#include <errno.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "UniqueFd.h"

namespace {

struct ElfEnd {
  void operator()(Elf* e) const { elf_end(e); }
};
typedef std::unique_ptr<Elf, ElfEnd> ElfPtr;

// What an executable must share with the running one.
struct Machine {
  bool known = false;
  unsigned char elf_class = 0;
  unsigned char data = 0;
  GElf_Half machine = 0;
};

// "" and *m from the ELF header of the file on fd, or why it has none.
std::string ReadHeader(int fd, Machine* m, GElf_Half* type) {
  ElfPtr elf(elf_begin(fd, ELF_C_READ, nullptr));
  if (!elf || elf_kind(elf.get()) != ELF_K_ELF) return "not an ELF file";
  GElf_Ehdr header;
  if (gelf_getehdr(elf.get(), &header) == nullptr)
    return std::string("no ELF header: ") + elf_errmsg(-1);
  m->known = true;
  m->elf_class = header.e_ident[EI_CLASS];
  m->data = header.e_ident[EI_DATA];
  m->machine = header.e_machine;
  *type = header.e_type;
  return "";
}

const Machine& Running() {
  static const Machine running = [] {
    Machine m;
    GElf_Half type;
    UniqueFd self(open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
    if (self.valid()) ReadHeader(self.get(), &m, &type);
    return m;
  }();
  return running;
}

bool LibraryReady() {
  static const bool ready = elf_version(EV_CURRENT) != EV_NONE;
  return ready;
}

}  // namespace

std::string JudgeExecutableFd(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return strerror(errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if ((st.st_mode & S_IXUSR) == 0) return "not executable";
  if (!LibraryReady()) return "the ELF library cannot be used";
  Machine m;
  GElf_Half type = ET_NONE;
  std::string why = ReadHeader(fd, &m, &type);
  if (!why.empty()) return why;
  if (type != ET_EXEC && type != ET_DYN) return "an ELF file but not an executable";
  const Machine& running = Running();
  if (!running.known) return "the running executable cannot be read";
  if (m.elf_class != running.elf_class || m.data != running.data || m.machine != running.machine)
    return "a program for another machine (ELF machine " + std::to_string(m.machine) + ")";
  return "";
}

std::string JudgeExecutableAt(int dir_fd, const std::string& name) {
  UniqueFd fd(openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return "";
    if (errno == ELOOP) return "a symbolic link";
    return strerror(errno);
  }
  return JudgeExecutableFd(fd.get());
}
