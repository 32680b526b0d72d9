// Staging: the one reading of an update archive. zlib decompresses it, which
// checks every gzip member's CRC and length to the end of the file; libarchive
// parses the tar stream and writes each member with its secure flags.
#include "update/Stage.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <sched.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "UniqueFd.h"
#include "platform/Files.h"
#include "update/Confine.h"
#include "update/FreeSpace.h"

namespace {

constexpr size_t kBufferSize = 256 * 1024;
// Written bytes between two looks at the free space.
constexpr unsigned long long kSpaceCheckBytes = 1ULL << 20;
// Longer names cannot be opened by path; deeper trees would need a
// descriptor per level to move and remove.
constexpr size_t kMaxNameLength = 4095;
constexpr int kMaxDepth = 128;

// No absolute names, no "..", never through a symbolic link; without
// ARCHIVE_EXTRACT_OWNER the files are the process's, and without
// ARCHIVE_EXTRACT_PERM modes lose the umask and setuid, setgid and sticky.
constexpr int kExtractFlags = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                              ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                              ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;

std::string ErrnoText(const char* what) { return std::string(what) + ": " + strerror(errno); }

// The decompressed tar stream of the gzip file on fd: every member in turn,
// each checked against its trailer; zero bytes after the last are padding.
class GzipSource {
 public:
  explicit GzipSource(int fd) : fd_(fd) {}
  ~GzipSource() {
    if (ready_) inflateEnd(&zs_);
  }
  GzipSource(const GzipSource&) = delete;
  GzipSource& operator=(const GzipSource&) = delete;

  // False unless the file begins with a gzip header.
  bool Open() {
    if (inflateInit2(&zs_, 16 + MAX_WBITS) != Z_OK) return Fail("cannot start zlib");
    ready_ = true;
    if (!FillInput()) return false;
    if (zs_.avail_in < 2 || zs_.next_in[0] != 0x1f || zs_.next_in[1] != 0x8b)
      return Fail("not gzip-compressed");
    return true;
  }

  // The next decompressed bytes: their count, 0 after the last member, -1 on error.
  ssize_t Read(const void** data) {
    for (;;) {
      if (done_) return 0;
      if (zs_.avail_in == 0 && !FillInput()) return -1;
      if (between_ && !NextMember()) {
        if (!error_.empty()) return -1;
        continue;
      }
      if (done_) return 0;
      zs_.next_out = out_.get();
      zs_.avail_out = kBufferSize;
      int r = inflate(&zs_, Z_NO_FLUSH);
      size_t n = kBufferSize - zs_.avail_out;
      if (r == Z_STREAM_END) {
        between_ = true;
      } else if (r == Z_BUF_ERROR) {
        // No progress: more input is needed, and there is none.
        if (n == 0 && zs_.avail_in == 0 && input_end_) {
          Fail("the gzip stream ends early");
          return -1;
        }
      } else if (r != Z_OK) {
        Fail(std::string("damaged gzip stream: ") + (zs_.msg ? zs_.msg : "error"));
        return -1;
      }
      if (n > 0) {
        *data = out_.get();
        return static_cast<ssize_t>(n);
      }
    }
  }

  // Reads what the tar reader left after its end (end blocks, padding):
  // the stream counts only when it is whole.
  bool Drain() {
    const void* data;
    ssize_t n;
    while ((n = Read(&data)) > 0) {
    }
    return n == 0;
  }

  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& why) {
    if (error_.empty()) error_ = why;
    return false;
  }

  bool FillInput() {
    if (zs_.avail_in > 0 || input_end_) return true;
    ssize_t n;
    do {
      n = read(fd_, in_.get(), kBufferSize);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail(ErrnoText("cannot read the archive"));
    input_end_ = n == 0;
    zs_.next_in = in_.get();
    zs_.avail_in = static_cast<uInt>(n);
    return true;
  }

  // After a member's trailer: the end, zero padding, or the next member.
  // False while more input is needed or on error.
  bool NextMember() {
    while (zs_.avail_in > 0 && zs_.next_in[0] == 0) {
      ++zs_.next_in;
      --zs_.avail_in;
      padded_ = true;
    }
    if (zs_.avail_in == 0) {
      done_ = input_end_;
      return done_;
    }
    if (padded_ || zs_.next_in[0] != 0x1f) return Fail("data after the end of the gzip stream");
    inflateReset(&zs_);
    between_ = false;
    return true;
  }

  int fd_;
  z_stream zs_{};
  bool ready_ = false;
  bool input_end_ = false;
  bool between_ = false;  // a member ended; padding or another member may follow
  bool padded_ = false;
  bool done_ = false;
  std::string error_;
  std::unique_ptr<unsigned char[]> in_{new unsigned char[kBufferSize]};
  std::unique_ptr<unsigned char[]> out_{new unsigned char[kBufferSize]};
};

la_ssize_t ReadStream(struct archive*, void* source, const void** data) {
  return static_cast<GzipSource*>(source)->Read(data);
}

struct ReadCloser {
  void operator()(struct archive* a) const { archive_read_free(a); }
};
struct WriteCloser {
  void operator()(struct archive* a) const { archive_write_free(a); }
};

// The member name as GNU tar's listing shows it in the C locale: the
// backslash doubled, the C escapes \a \b \t \n \v \f \r, and \ooo for every
// other byte that is not printable ASCII; so a name is one line and carries
// no terminal sequence.
std::string Listed(const char* name) {
  static const char kEscapes[] = "abtnvfr";  // bytes 7 to 13
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
    if (*p == '\\') {
      out += "\\\\";
    } else if (*p >= 7 && *p <= 13) {
      out += '\\';
      out += kEscapes[*p - 7];
    } else if (*p < 0x20 || *p >= 0x7f) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\%03o", *p);
      out += esc;
    } else {
      out += static_cast<char>(*p);
    }
  }
  return out;
}

// name without "." and empty components, so that two spellings of one path
// compare equal (".." stays: libarchive refuses it).
std::string Cleaned(const std::string& name) {
  std::string out = name.compare(0, 1, "/") == 0 ? "/" : "";
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (!part.empty() && part != ".") {
      if (!out.empty() && out.back() != '/') out += '/';
      out += part;
    }
    start = end + 1;
  }
  return out;
}

// libarchive takes the names in pax records for UTF-8 and converts them to
// the thread's charset; where that fails it keeps the bytes the record holds
// and warns with exactly this text, which is all that is wrong then. In the
// C locale it fails for every name that is not ASCII, so every name is the
// archive's bytes, as tar takes them (a UTF-8 locale would have valid names
// normalized and the others refused).
bool OnlyNameUnconverted(struct archive* in) {
  const char* msg = archive_error_string(in);
  if (msg == nullptr) return false;
  for (const char* what : {"Pathname", "Linkname", "Uname", "Gname"}) {
    if (std::string(what) + " can't be converted from UTF-8 to current locale." == msg) return true;
  }
  return false;
}

// Components of a name, "." and empty ones left out.
int Depth(const std::string& name) {
  int depth = 0;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (!part.empty() && part != ".") ++depth;
    start = end + 1;
  }
  return depth;
}

// The thread's own file-system context, confined to the staging directory,
// and the C locale, which needs no files; both go when the thread ends, and
// the thread ends once the archive is staged.
class StagingContext {
 public:
  bool Enter(int dir_fd, std::string* why) {
    if (unshare(CLONE_FS) != 0) {
      *why = ErrnoText("cannot enter the staging directory");
      return false;
    }
    locale_ = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (locale_ == static_cast<locale_t>(0)) {
      *why = ErrnoText("cannot use the C locale");
      return false;
    }
    uselocale(locale_);
    Confinement how;
    std::string not_confined = ConfineThreadTo(dir_fd, &how);
    if (!not_confined.empty()) {
      *why = "cannot confine the staging thread: " + not_confined;
      return false;
    }
    return true;
  }
  ~StagingContext() {
    if (locale_ != static_cast<locale_t>(0)) {
      uselocale(LC_GLOBAL_LOCALE);
      freelocale(locale_);
    }
  }

 private:
  locale_t locale_ = static_cast<locale_t>(0);
};

class Stager {
 public:
  Stager(GzipSource* source, int dir_fd, FILE* listing)
      : source_(source), dir_fd_(dir_fd), listing_(listing) {}

  std::string Run() {
    std::unique_ptr<struct archive, ReadCloser> in(archive_read_new());
    std::unique_ptr<struct archive, WriteCloser> out(archive_write_disk_new());
    if (!in || !out) return "cannot start libarchive";
    archive_read_support_format_tar(in.get());
    archive_read_support_format_empty(in.get());  // tar accepts a gzip of nothing too
    archive_write_disk_set_options(out.get(), kExtractFlags);
    if (archive_read_open(in.get(), source_, nullptr, ReadStream, nullptr) != ARCHIVE_OK)
      return ReadError(in.get());

    for (;;) {
      struct archive_entry* entry;
      int r = archive_read_next_header(in.get(), &entry);
      if (r == ARCHIVE_EOF) break;
      // Any other warning means something of the header was lost or misread.
      if (r == ARCHIVE_WARN && OnlyNameUnconverted(in.get())) r = ARCHIVE_OK;
      if (r != ARCHIVE_OK) return ReadError(in.get());
      ++members_;
      const char* name = archive_entry_pathname(entry);
      if (name == nullptr || name[0] == '\0') return "member without a usable name";
      if (listing_ != nullptr) fprintf(listing_, "%s\n", Listed(name).c_str());
      std::string why = Judge(entry, name);
      if (!why.empty()) return why;
      // The application directory itself: nothing about it changes.
      if (Depth(name) == 0) continue;
      bool skip = false;
      why = JudgeLink(entry, name, &skip);
      if (!why.empty()) return why;
      if (skip) continue;
      // What a directory carries (an incremental dump's listing of it) is no
      // file content, and a hard link is a name, never data: libarchive then
      // opens nothing through it and leaves the linked file's mode and times
      // alone.
      bool data =
          archive_entry_filetype(entry) != AE_IFDIR && archive_entry_hardlink(entry) == nullptr;
      if (!data) archive_entry_set_size(entry, 0);
      if (!RoomLeft()) return NoRoom();
      if (archive_write_header(out.get(), entry) != ARCHIVE_OK) return WriteError(out.get(), name);
      if (data) why = CopyData(in.get(), out.get(), name);
      if (!why.empty()) return why;
      if (archive_write_finish_entry(out.get()) != ARCHIVE_OK) return WriteError(out.get(), name);
    }
    if (listing_ != nullptr) fflush(listing_);
    // Directory modes and times are set last, at the close.
    if (archive_write_close(out.get()) != ARCHIVE_OK) return WriteError(out.get(), "directories");
    if (!source_->Drain()) return source_->error();
    if (syncfs(dir_fd_) != 0) return ErrnoText("cannot write the staged files to disk");
    return "";
  }

 private:
  std::string Judge(struct archive_entry* entry, const std::string& name) {
    mode_t type = archive_entry_filetype(entry);
    bool hard_link = archive_entry_hardlink(entry) != nullptr;
    if (!hard_link && type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK)
      return "device node, FIFO or socket: " + name;
    if (name.size() > kMaxNameLength) return "name too long: " + name.substr(0, 64) + "...";
    if (Depth(name) > kMaxDepth) return "name too deeply nested: " + name.substr(0, 64) + "...";
    return "";
  }

  // A hard link: *skip when it names its own member, already staged (tar's
  // second copy of a name given twice: the same file); refused when it would
  // link a symbolic link (its mode and times would be set through it).
  std::string JudgeLink(struct archive_entry* entry, const std::string& name, bool* skip) {
    const char* link = archive_entry_hardlink(entry);
    if (link == nullptr) return "";
    std::string target = Cleaned(link);
    struct stat st;
    if (fstatat(AT_FDCWD, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return "";
    if (target == Cleaned(name)) {
      *skip = true;
      return "";
    }
    if (S_ISLNK(st.st_mode)) return "hard link to a symbolic link: " + name;
    return "";
  }

  std::string CopyData(struct archive* in, struct archive* out, const std::string& name) {
    for (;;) {
      const void* data;
      size_t size;
      la_int64_t offset;
      int r = archive_read_data_block(in, &data, &size, &offset);
      if (r == ARCHIVE_EOF) return "";
      if (r != ARCHIVE_OK) return ReadError(in);
      written_ += size;
      if (written_ >= kSpaceCheckBytes) {
        written_ = 0;
        if (!RoomLeft()) return NoRoom();
      }
      if (archive_write_data_block(out, data, size, offset) != ARCHIVE_OK)
        return WriteError(out, name);
    }
  }

  // Free blocks and inodes stay above the reserve.
  bool RoomLeft() { return RoomFor(dir_fd_, 0); }

  std::string NoRoom() const { return NoRoomText("staging", dir_fd_); }

  std::string ReadError(struct archive* in) const {
    if (!source_->error().empty()) return source_->error();
    const char* msg = archive_error_string(in);
    return std::string(members_ == 0 ? "not a tar archive: " : "damaged archive: ") +
           (msg ? msg : "unknown error");
  }

  std::string WriteError(struct archive* out, const std::string& name) const {
    if (!source_->error().empty()) return source_->error();
    const char* msg = archive_error_string(out);
    return "cannot stage " + name + ": " + (msg ? msg : "unknown error");
  }

  GzipSource* source_;
  int dir_fd_;
  FILE* listing_;
  unsigned long long written_ = 0;
  int members_ = 0;
};

std::string StageInto(int archive_fd, int dir_fd, FILE* listing) {
  std::string why;
  StagingContext context;
  if (!context.Enter(dir_fd, &why)) return why;
  GzipSource source(archive_fd);
  if (!source.Open()) return source.error();
  return Stager(&source, dir_fd, listing).Run();
}

}  // namespace

std::string StageArchive(const std::string& archive, const std::string& staging_dir,
                         FILE* listing) {
  UniqueFd file(open(archive.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!file.valid() || fstat(file.get(), &st) != 0) return ErrnoText("cannot open the archive");
  if (!S_ISREG(st.st_mode)) return "the archive is not a regular file";
  if (mkdir(staging_dir.c_str(), 0700) != 0) return ErrnoText("cannot make the staging directory");
  UniqueFd dir(open(staging_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  std::string why;
  if (!dir.valid()) {
    why = ErrnoText("cannot open the staging directory");
  } else {
    // Its own thread, so that the working directory it needs is no other thread's.
    try {
      std::thread stage([&] { why = StageInto(file.get(), dir.get(), listing); });
      stage.join();
    } catch (const std::system_error&) {
      why = "cannot start the staging thread";
    }
  }
  if (!why.empty()) RemoveTree(staging_dir);
  return why;
}
