#include "ToolHelper.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <memory>

#include "ChildProcess.h"
#include "UniqueFd.h"
#include "WholeIo.h"

namespace {

// Runs command through the shell (as a helper child, whose status process
// 1's reaping of orphans leaves to it) and captures its standard output. False when it could not
// be started.
bool RunCommand(const char* command, std::string* out) {
  int status = qmChildProcess::RunShell(command, out);
  return !(status == -1 && out->empty());
}

// Walks out as a line reader with a 1024-byte buffer would: lines of at most
// 1023 characters, each seen as a C string (a zero byte ends it). each(text,
// len) returns false to stop.
template <class F>
void ForEachPiece(const std::string& out, F each) {
  size_t pos = 0;
  while (pos < out.size()) {
    const char* p = out.data() + pos;
    size_t take = std::min<size_t>(1023, out.size() - pos);
    if (const void* nl = memchr(p, '\n', take)) take = static_cast<const char*>(nl) - p + 1;
    if (!each(p, strnlen(p, take))) return;
    pos += take;
  }
}

bool IsDotEntry(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

}  // namespace

void qmToolHelper::Sleep(unsigned int unMilliSecond) {
  struct timeval tv;
  tv.tv_sec = unMilliSecond / 1000;
  tv.tv_usec = (unMilliSecond % 1000) * 1000;
  select(0, nullptr, nullptr, nullptr, &tv);
}

// Read once: an installation may replace the running executable, and the
// link then names the file's new place (or a deleted file), not the
// application directory.
std::string qmToolHelper::GetAppDir() {
  static const std::string dir = [this] {
    std::string path = GetAppPath();
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
  }();
  return dir;
}

std::string qmToolHelper::GetAppPath() {
  static const std::string path = wholeio::ReadLink("/proc/self/exe");
  return path;
}

std::string qmToolHelper::GetCurrentDir() { return wholeio::CurrentDir(); }

int qmToolHelper::WriteFileToDisk(const char* file_name, const char* file_data, int file_len) {
  if (!file_name || file_len < 0 || (!file_data && file_len > 0)) return -1;
  UniqueFd fd(open(file_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) return -1;
  if (!wholeio::WriteAll(fd.get(), file_data, static_cast<size_t>(file_len))) return -1;
  return close(fd.release()) == 0 ? 0 : -1;
}

std::string qmToolHelper::ReadFileToDisk(const char* file_name) {
  return ReadFileToDisk(file_name, std::string().max_size());
}

std::string qmToolHelper::ReadFileToDisk(const char* file_name, size_t max_size) {
  if (!file_name) return std::string();
  // Non-blocking so that a FIFO cannot hold the open; only regular files are
  // read, and the size is judged on the descriptor that is read.
  UniqueFd fd(open(file_name, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::string();
  if (static_cast<unsigned long long>(st.st_size) > max_size) return std::string();
  try {
    std::string data;
    data.reserve(static_cast<size_t>(st.st_size));
    // A file that grows while it is read counts as too large as well.
    int end = wholeio::ReadEach(fd.get(), [&data, max_size](const char* piece, size_t n) {
      if (n > max_size - data.size()) return false;
      data.append(piece, n);
      return true;
    });
    return end == 1 ? data : std::string();
  } catch (const std::exception&) {  // too large to hold
    return std::string();
  }
}

void qmToolHelper::TrimSpace(std::string& str, const char* trim_str) {
  if (!trim_str) return;
  size_t first = str.find_first_not_of(trim_str);
  if (first == std::string::npos) {
    str.clear();
    return;
  }
  size_t last = str.find_last_not_of(trim_str);
  str = str.substr(first, last - first + 1);
}

int qmToolHelper::strnicmp(const char* _Str1, const char* _Str, size_t _MaxCount) {
  return strncasecmp(_Str1, _Str, _MaxCount);
}

int qmToolHelper::replace(std::string& str, const char* pszOri, const char* pszDest) {
  if (!pszOri || !pszDest || !*pszOri || strstr(pszDest, pszOri)) return 0;
  const size_t ori_len = strlen(pszOri);
  int count = 0;
  size_t from = 0;
  for (;;) {
    size_t pos = str.find(pszOri, from, ori_len);
    if (pos == std::string::npos) return count;
    str.replace(pos, ori_len, pszDest);
    ++count;
    // Nothing before pos matched, so a new match must overlap the inserted text.
    from = pos >= ori_len - 1 ? pos - (ori_len - 1) : 0;
  }
}

int qmToolHelper::StringSubs(std::string src_str, std::string begin_str, std::string end_str,
                             std::string& ret_str) {
  size_t begin = src_str.find(begin_str);
  if (begin == std::string::npos) return -1;
  size_t start = begin + begin_str.size();
  size_t end = src_str.size();
  if (!end_str.empty()) {
    end = src_str.find(end_str, start);
    if (end == std::string::npos) return -1;
  }
  if (end > start) ret_str = src_str.substr(start, end - start);
  return 0;
}

int qmToolHelper::StringSubs(std::string src_str, std::string fg_str, RET_STRING_VECTOR& str_list) {
  if (fg_str.empty()) {
    str_list.push_back(src_str);
    return static_cast<int>(str_list.size());
  }
  size_t pos = 0;
  for (;;) {
    size_t found = src_str.find(fg_str, pos);
    if (found == std::string::npos) {
      str_list.push_back(src_str.substr(pos));
      return static_cast<int>(str_list.size());
    }
    str_list.push_back(src_str.substr(pos, found - pos));
    pos = found + fg_str.size();
  }
}

int qmToolHelper::StringSubs(std::string src_str, std::string begin_str, std::string end_str,
                             RET_STRING_VECTOR& str_list) {
  // Two empty delimiters would enclose an empty text at the same place forever.
  if (begin_str.empty() && end_str.empty()) return static_cast<int>(str_list.size());
  size_t pos = 0;
  for (;;) {
    size_t begin = src_str.find(begin_str, pos);
    if (begin == std::string::npos) break;
    size_t start = begin + begin_str.size();
    size_t end = src_str.find(end_str, start);
    if (end == std::string::npos) break;
    str_list.push_back(src_str.substr(start, end - start));
    pos = end + end_str.size();
  }
  return static_cast<int>(str_list.size());
}

int qmToolHelper::GetCpuCnt() { return get_nprocs_conf(); }

int qmToolHelper::cmd_system(char* buf, size_t buflen, const char* command) {
  if (!buf || buflen == 0 || !command) return 0;
  // Behind what buf already holds; the terminating zero always fits.
  const size_t start = strnlen(buf, buflen);
  size_t appended = 0;
  // Bytes of the pieces taken; beside appended only when zero bytes cut some.
  size_t consumed = 0;
  // Pieces as a line reader with a 1024-byte buffer gives them: a line of at
  // most 1023 bytes, seen as a C string (a zero byte ends it). Reading stops
  // at the first piece that would reach buflen, and the command is ended.
  std::string piece;
  auto take_piece = [&]() {
    if (start + consumed + piece.size() >= buflen) return false;
    size_t len = strnlen(piece.data(), piece.size());
    memcpy(buf + start + appended, piece.data(), len);
    appended += len;
    consumed += piece.size();
    buf[start + appended] = '\0';
    piece.clear();
    return true;
  };
  bool stopped = false;
  qmChildProcess::RunShellWhile(command, [&](const char* data, size_t len) {
    for (size_t i = 0; i < len; ++i) {
      piece.push_back(data[i]);
      if ((data[i] == '\n' || piece.size() == 1023) && !take_piece()) {
        stopped = true;
        return false;
      }
    }
    return true;
  });
  if (!stopped && !piece.empty()) take_piece();  // the last line, without its line break
  return static_cast<int>(appended);
}

std::string qmToolHelper::cmd_system(const char* command) {
  std::string out;
  if (!command || !RunCommand(command, &out)) return std::string();
  return out;
}

void qmToolHelper::cmd_system_void(const char* command) {
  std::string out;
  if (!command || !RunCommand(command, &out)) {
    puts("popen error!");
    return;
  }
  ForEachPiece(out, [](const char* text, size_t len) {
    fwrite(text, 1, len, stdout);
    return true;
  });
}

int qmToolHelper::GetFileList(RET_STRING_VECTOR& file_list, const char* path, bool BAll) {
  DirPtr dir(path ? opendir(path) : nullptr);
  if (!dir) return static_cast<int>(file_list.size());
  while (dirent* entry = readdir(dir.get())) {
    if (IsDotEntry(entry->d_name)) continue;
    std::string name = std::string(path) + "/" + entry->d_name;
    if (BAll && entry->d_type == DT_DIR) {
      GetFileList(file_list, name.c_str(), true);
    } else {
      file_list.push_back(name);
    }
  }
  return static_cast<int>(file_list.size());
}

int qmToolHelper::GetDirList(RET_STRING_VECTOR& dir_list, const char* path, bool BAll) {
  DirPtr dir(path ? opendir(path) : nullptr);
  if (!dir) return static_cast<int>(dir_list.size());
  while (dirent* entry = readdir(dir.get())) {
    if (IsDotEntry(entry->d_name) || entry->d_type != DT_DIR) continue;
    std::string name = std::string(path) + "/" + entry->d_name;
    dir_list.push_back(name);
    if (BAll) GetDirList(dir_list, name.c_str(), true);
  }
  return static_cast<int>(dir_list.size());
}

time_t qmToolHelper::GetFileModiTime(const char* path) {
  std::unique_ptr<FILE, FileCloser> file(path ? fopen(path, "re") : nullptr);
  struct stat st;
  if (!file || fstat(fileno(file.get()), &st) != 0) return 0;
  return st.st_mtime;
}
