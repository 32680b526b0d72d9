// Pieces the download benchmarks share: a monotonic clock, a scratch
// directory, the loopback test server run as a child, and archives of
// pseudo-random bytes with their CRC files.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CRC.h"
#include "ChildProcess.h"
#include "UniqueFd.h"
#include "WholeIo.h"

namespace bench {

inline double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

inline std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// A scratch directory, removed with everything in it.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    char tmpl[] = "/tmp/download_bench.XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

// The loopback server, killed by its pid when this goes away.
class Server {
 public:
  // log: the server's request log, or "" for none.
  Server(const std::string& script, const std::string& root, const std::string& port_file,
         const std::string& log = "") {
    std::vector<std::string> args = {"/usr/bin/python3", script,   "--root", root,
                                     "--port-file",      port_file};
    if (!log.empty()) {
      args.push_back("--log");
      args.push_back(log);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the bench
      qmChildProcess::PrepareExec();
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (pid_ < 0) return;
    double deadline = Now() + 20;
    while (Now() < deadline) {
      std::string text = ReadSmallFile(port_file);
      if (!text.empty()) {
        port_ = atoi(text.c_str());
        return;
      }
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Server() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// Writes size pseudo-random bytes to path and its CRC file to path + ".crc".
inline bool MakeArchive(const std::string& path, DWORD64 size) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return false;
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  uint64_t state = 0x9E3779B97F4A7C15ull ^ size;
  qmCRC crc;
  for (DWORD64 done = 0; done < size;) {
    for (uint64_t& word : block) {
      state ^= state >> 12;
      state ^= state << 25;
      state ^= state >> 27;
      word = state * 0x2545F4914F6CDD1Dull;
    }
    size_t n = static_cast<size_t>(std::min<DWORD64>(size - done, block.size() * 8));
    unsigned char* bytes = reinterpret_cast<unsigned char*>(block.data());
    crc.GetPartCRC(bytes, static_cast<DWORD>(n));
    if (!wholeio::WriteAll(fd.get(), bytes, n)) return false;
    done += n;
  }
  std::ofstream crc_file(path + ".crc");
  crc_file << "{\"crc\":\"" << crc.GetFinallyCrC() << "\"}";
  return static_cast<bool>(crc_file);
}

// The loopback server's script in the source tree.
inline std::string DefaultServerScript() {
  std::filesystem::path here(__FILE__);
  return (here.parent_path().parent_path() / "tests" / "integration" / "http_server.py").string();
}

}  // namespace bench
