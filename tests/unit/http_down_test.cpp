// CHttpDown against the loopback test server (tests/integration/http_server.py)
// run as a child process, one per test suite.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CRC.h"
#include "ChildProcess.h"
#include "HttpDown.h"
#include "ScratchDir.h"
#include "TestFiles.h"
#include "UniqueFd.h"

namespace {

// Known bodies of the server's reserved paths.
const std::string kNotFoundBody = "<html><body><h1>404 Not Found</h1></body></html>\n";
const std::string kStallBody = "stalled body\n";
// A redirect loop ends after the first request and 30 redirects.
const int kRedirectLoopRequests = 31;
const char kUserAgent[] =
    "Mozilla/5.0 (Windows NT 10.0; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/76.0.3809.100 Safari/537.36";

std::string ZerosBody() {
  std::string body;
  for (int round = 0; round < 4; ++round)
    for (int c = 0; c < 256; ++c) body += static_cast<char>(c);
  return body;
}

std::string EncodedText() {
  std::string text;
  for (int i = 0; i < 64; ++i) text += "a body sent in an encoding, whatever was asked\n";
  return text;
}

std::string GzipText() {
  std::string text;
  for (int i = 0; i < 64; ++i) text += "gzip-encoded body, decoded by the client\n";
  return text;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string data(n, '\0');
  for (char& c : data) c = static_cast<char>(gen());
  return data;
}

DWORD CrcOf(const std::string& data) {
  qmCRC crc;
  return crc.GetCrcNumber(data.data(), static_cast<DWORD>(data.size()));
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The test server as a child process, killed by its pid when this goes away.
class ServerProcess {
 public:
  ServerProcess(const std::string& root, const std::string& work, bool tls)
      : work_(work), tls_(tls) {
    std::string port_file = work + "/port";
    std::vector<std::string> args = {"/usr/bin/python3",
                                     TEST_SOURCE_DIR "/integration/http_server.py",
                                     "--root",
                                     root,
                                     "--port-file",
                                     port_file,
                                     "--log",
                                     work + "/requests.log"};
    if (tls) {
      args.push_back("--self-signed");
      args.push_back(work);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::string err_path = work + "/stderr";

    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a crashed test
      int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err >= 0) dup2(err, 2);
      qmChildProcess::PrepareExec();
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (pid_ < 0) {
      error_ = "fork failed";
      return;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      std::string text = ReadFile(port_file);
      if (!text.empty()) {
        port_ = atoi(text.c_str());
        return;
      }
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        error_ = "server ended: " + ReadFile(err_path);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error_ = "server did not start in time: " + ReadFile(err_path);
  }

  ~ServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool ok() const { return port_ > 0; }
  const std::string& error() const { return error_; }

  std::string Url(const std::string& path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
  }

  // How many requests for exactly this path and query the server has seen.
  int Requests(const std::string& path) const {
    std::istringstream log(ReadFile(work_ + "/requests.log"));
    int count = 0;
    for (std::string line; std::getline(log, line);) {
      size_t tab = line.find('\t');
      size_t tab2 = line.find('\t', tab + 1);
      if (tab != std::string::npos && line.substr(tab + 1, tab2 - tab - 1) == path) ++count;
    }
    return count;
  }

 private:
  std::string work_;
  bool tls_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string error_;
};

// A port on 127.0.0.1 that refuses connections: bound, never listening.
class RefusingPort {
 public:
  RefusingPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      port_ = ntohs(addr.sin_port);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/x"; }

 private:
  UniqueFd fd_;
  int port_ = 0;
};

// A port on 127.0.0.1 that listens and never answers: a transfer that
// reached it stays behind as a connection waiting to be accepted.
class ListeningPort {
 public:
  ListeningPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        listen(fd_.get(), 64) == 0 &&
        getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      port_ = ntohs(addr.sin_port);
  }
  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

  // The connections made to it since the last call.
  int Connections() {
    int count = 0;
    for (;;) {
      UniqueFd connection(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!connection.valid()) return count;
      ++count;
    }
  }

 private:
  UniqueFd fd_;
  int port_ = 0;
};

// One server per suite over a scratch directory holding its published root.
class LoopbackSuite : public ::testing::Test {
 protected:
  static void StartServer(bool tls) {
    CHttpDown::GlobalInit();
    scratch_ = std::make_unique<ScratchDir>("http_down_test");
    base_ = scratch_->path();
    root_ = base_ + "/root";
    mkdir(root_.c_str(), 0755);
    mkdir((base_ + "/server").c_str(), 0755);
    mkdir((base_ + "/out").c_str(), 0755);
    big_ = RandomBytes(3 * 1024 * 1024 + 123, 7);
    WriteFile(root_ + "/hello.txt", "hello, loopback\n");
    WriteFile(root_ + "/big.bin", big_);
    WriteFile(root_ + "/empty.bin", "");
    server_ = std::make_unique<ServerProcess>(root_, base_ + "/server", tls);
    refusing_ = std::make_unique<RefusingPort>();
  }

  static void TearDownTestSuite() {
    server_.reset();
    refusing_.reset();
    scratch_.reset();
    base_.clear();
  }

  void SetUp() override {
    ASSERT_TRUE(server_ != nullptr) << "no scratch directory";
    ASSERT_TRUE(server_->ok()) << server_->error();
  }

  static std::string Url(const std::string& path) { return server_->Url(path); }
  static std::string FileUrl(const std::string& name) { return "file://" + root_ + "/" + name; }
  static std::string OutPath(const std::string& name) { return base_ + "/out/" + name; }

  static std::unique_ptr<ScratchDir> scratch_;
  static std::string base_;
  static std::string root_;
  static std::string big_;
  static std::unique_ptr<ServerProcess> server_;
  static std::unique_ptr<RefusingPort> refusing_;
};

std::unique_ptr<ScratchDir> LoopbackSuite::scratch_;
std::string LoopbackSuite::base_;
std::string LoopbackSuite::root_;
std::string LoopbackSuite::big_;
std::unique_ptr<ServerProcess> LoopbackSuite::server_;
std::unique_ptr<RefusingPort> LoopbackSuite::refusing_;

class HttpDownTest : public LoopbackSuite {
 protected:
  static void SetUpTestSuite() { StartServer(false); }
};

class HttpDownTlsTest : public LoopbackSuite {
 protected:
  static void SetUpTestSuite() { StartServer(true); }
};

// Runs body in a child process with SIGPIPE at its default action and returns
// its wait status; the child's exit status is what body returns.
int InChildWithDefaultSigpipe(int (*body)()) {
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    _exit(body());
  }
  int status = -1;
  waitpid(pid, &status, 0);
  return status;
}

std::string g_server_url;  // for the child bodies: the server's URL without a path

// Sends into connections the server has reset: a POST body it never reads,
// and a GET whose body it breaks off.
int BreakConnections() {
  CHttpDown http;
  std::string big(16 * 1024 * 1024, 'p');
  for (const char* path : {"/_/drop", "/_/reset"}) {
    std::string url = g_server_url + path;
    if (!http.PostUrl(url, big.data(), static_cast<int>(big.size()), 10).empty()) return 2;
    if (!http.OpenURL(url, 10).empty()) return 3;
  }
  return 0;
}

struct BodyCase {
  std::string path;  // on the server; a leading "file:" names a file in the root
  DWORD time_out;
  std::string body;
};

}  // namespace

TEST_F(HttpDownTest, OpenURLReturnsTheBody) {
  const BodyCase cases[] = {
      {"/hello.txt", 5, "hello, loopback\n"},
      {"/big.bin", 0, big_},
      {"/empty.bin", 5, ""},
      {"/missing.txt", 5, kNotFoundBody},  // status codes are not failures
      {"/_/status?code=500", 5, "status 500\n"},
      {"/_/redirect?to=/hello.txt", 5, "hello, loopback\n"},
      {"/_/zeros", 5, ZerosBody()},
      {"/_/gzip", 5, GzipText()},
      {"/_/stall?seconds=1", 0, kStallBody},  // 0: no time limit
      {"file:big.bin", 0, big_},
  };
  CHttpDown http;
  for (const BodyCase& c : cases) {
    std::string url = c.path.rfind("file:", 0) == 0 ? FileUrl(c.path.substr(5)) : Url(c.path);
    SCOPED_TRACE(url);
    std::string body = http.OpenURL(url, c.time_out);
    EXPECT_EQ(body.size(), c.body.size());
    EXPECT_TRUE(body == c.body);
  }
}

TEST_F(HttpDownTest, OpenURLFailuresGiveEmpty) {
  const struct {
    std::string url;
    DWORD time_out;
  } cases[] = {
      {Url("/_/redirect-loop?get"), 0},  // ends without a time limit
      {Url("/_/stall?seconds=5"), 1},   {Url("/_/reset"), 5},  {Url("/_/truncated"), 5},
      {"nosuch://127.0.0.1/x", 5},      {refusing_->Url(), 5}, {FileUrl("missing.txt"), 5},
  };
  CHttpDown http;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(http.OpenURL(c.url, c.time_out), "");
  }
  EXPECT_LE(server_->Requests("/_/redirect-loop?get"), kRedirectLoopRequests);
}

TEST_F(HttpDownTest, OpenURLStopsAtItsSizeLimit) {
  CHttpDown http;
  EXPECT_EQ(http.OpenURL(Url("/big.bin"), 5, big_.size()), big_);
  EXPECT_EQ(http.OpenURL(Url("/big.bin"), 5, big_.size() - 1), "");
  EXPECT_EQ(http.OpenURL(Url("/hello.txt"), 5, 16), "hello, loopback\n");
}

TEST_F(HttpDownTest, SendsTheUserAgentAndAsksForTheIdentityEncoding) {
  CHttpDown http;
  std::string get = http.OpenURL(Url("/_/headers"), 5);
  std::string to_file = OutPath("headers");
  unlink(to_file.c_str());
  ASSERT_EQ(http.DownloadToFile(Url("/_/headers"), to_file, 5, nullptr, nullptr), 0);
  std::string ranged = OutPath("headers-ranged");
  WriteFile(ranged, "held");
  {
    UniqueFd fd(open(ranged.c_str(), O_RDWR | O_CLOEXEC));
    RANGE_FETCH fetch;
    fetch.offset = 4;
    fetch.if_range = "\"tag\"";
    // The server ignores ranges on its reserved paths: the whole text comes.
    ASSERT_EQ(http.DownloadRange(Url("/_/headers"), fd.get(), 5000, &fetch), 0);
  }
  for (const std::string& text : {get, ReadFile(to_file), ReadFile(ranged)}) {
    EXPECT_TRUE(Contains(text, "GET /_/headers HTTP/1.1\n")) << text;
    EXPECT_TRUE(Contains(text, std::string("User-Agent: ") + kUserAgent + "\n")) << text;
    EXPECT_TRUE(Contains(text, "Accept-Encoding: identity\n")) << text;
  }
  EXPECT_TRUE(Contains(ReadFile(ranged), "Range: bytes=4-\n"));
  EXPECT_TRUE(Contains(ReadFile(ranged), "If-Range: \"tag\"\n"));

  std::string post = http.PostUrl(Url("/_/headers"), "a=b", 3, 5);
  EXPECT_TRUE(Contains(post, "POST /_/headers HTTP/1.1\n")) << post;
  EXPECT_TRUE(Contains(post, std::string("User-Agent: ") + kUserAgent + "\n")) << post;
  EXPECT_FALSE(Contains(post, "Accept-Encoding")) << post;
}

TEST_F(HttpDownTest, PostUrlEchoesTheData) {
  const std::string bodies[] = {
      "name=value&x=1",
      ZerosBody(),                      // zero bytes go out and come back whole
      RandomBytes(2 * 1024 * 1024, 3),  // large enough for "Expect: 100-continue"
  };
  CHttpDown http;
  for (const std::string& data : bodies) {
    SCOPED_TRACE(data.size());
    std::string echo = http.PostUrl(Url("/_/echo"), data.data(), static_cast<int>(data.size()), 10);
    EXPECT_EQ(echo.size(), data.size());
    EXPECT_TRUE(echo == data);
  }
}

TEST_F(HttpDownTest, PostUrlWithLengthZeroSendsAnEmptyBody) {
  CHttpDown http;
  for (const char* data : {static_cast<const char*>(nullptr), "not sent"}) {
    std::string reply = http.PostUrl(Url("/_/headers"), data, 0, 5);
    EXPECT_TRUE(Contains(reply, "POST /_/headers HTTP/1.1\n")) << reply;
    EXPECT_TRUE(Contains(reply, "Content-Length: 0\n")) << reply;
  }
}

TEST_F(HttpDownTest, PostUrlFailuresGiveEmpty) {
  const struct {
    std::string url;
    int len;
    DWORD time_out;
  } cases[] = {
      {"nosuch://127.0.0.1/x", 3, 5},  // logs "Does not support agreement"
      {refusing_->Url(), 3, 5},        // logs "not link remote server"
      {Url("/_/stall?seconds=5"), 3, 1}, {Url("/_/truncated"), 3, 5},
      {Url("/_/echo?negative"), -1, 5},  // refused before any transfer
  };
  CHttpDown http;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(http.PostUrl(c.url, "abc", c.len, c.time_out), "");
  }
  EXPECT_EQ(server_->Requests("/_/echo?negative"), 0);
}

TEST_F(HttpDownTest, DownloadToFileWritesTheBytesAndTheirCrc) {
  const BodyCase cases[] = {
      {"/big.bin", 0, big_},
      {"/empty.bin", 5, ""},
      {"/missing.txt", 5, kNotFoundBody},  // written like any body
      {"/_/redirect?to=/big.bin", 5, big_},
      {"/_/zeros", 5, ZerosBody()},
      {"/_/gzip", 5, GzipText()},
      {"file:big.bin", 0, big_},
  };
  CHttpDown http;
  std::string path = OutPath("download");
  for (const BodyCase& c : cases) {
    std::string url = c.path.rfind("file:", 0) == 0 ? FileUrl(c.path.substr(5)) : Url(c.path);
    SCOPED_TRACE(url);
    unlink(path.c_str());
    DWORD64 size = 12345;
    DWORD crc = 12345;
    ASSERT_EQ(http.DownloadToFile(url, path, c.time_out, &size, &crc), 0);
    std::string written = ReadFile(path);
    EXPECT_EQ(written.size(), c.body.size());
    EXPECT_TRUE(written == c.body);
    EXPECT_EQ(size, c.body.size());
    EXPECT_EQ(crc, CrcOf(c.body));
  }
}

TEST_F(HttpDownTest, DownloadToFileWithoutOutputsCreatesMode0644) {
  CHttpDown http;
  std::string path = OutPath("new-file");
  mode_t mask = umask(022);
  int rc = http.DownloadToFile(Url("/hello.txt"), path, 5, nullptr, nullptr);
  umask(mask);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(path), "hello, loopback\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(HttpDownTest, DownloadToFileFailuresLeaveTheOutputsAlone) {
  const struct {
    std::string url;
    DWORD time_out;
  } cases[] = {
      {Url("/_/stall?seconds=5"), 1},    {Url("/_/reset"), 5},        {Url("/_/truncated"), 5},
      {Url("/_/redirect-loop?file"), 0}, {"nosuch://127.0.0.1/x", 5}, {refusing_->Url(), 5},
      {FileUrl("missing.txt"), 5},
  };
  CHttpDown http;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    DWORD64 size = 12345;
    DWORD crc = 12345;
    unlink(OutPath("failed").c_str());
    EXPECT_EQ(http.DownloadToFile(c.url, OutPath("failed"), c.time_out, &size, &crc), -1);
    EXPECT_EQ(size, 12345u);
    EXPECT_EQ(crc, 12345u);
  }
  EXPECT_LE(server_->Requests("/_/redirect-loop?file"), kRedirectLoopRequests);
}

TEST_F(HttpDownTest, DownloadToFileWithoutADirectoryMakesNoTransfer) {
  CHttpDown http;
  DWORD64 size = 1;
  EXPECT_EQ(
      http.DownloadToFile(Url("/hello.txt?nodir"), base_ + "/no/such/dir/file", 5, &size, nullptr),
      -2);
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(server_->Requests("/hello.txt?nodir"), 0);
}

TEST_F(HttpDownTest, DownloadToFileNeverWritesWhereSomethingStands) {
  // A planted link must not be followed, a FIFO must not block the open.
  std::string target = OutPath("target");
  WriteFile(target, "keep");
  std::string file = OutPath("stands-file"), link = OutPath("stands-link"),
              fifo = OutPath("stands-fifo");
  WriteFile(file, "old");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  CHttpDown http;
  for (const std::string& path : {file, link, fifo, OutPath("")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(http.DownloadToFile(Url("/hello.txt?stands"), path, 5, nullptr, nullptr), -2);
  }
  EXPECT_EQ(ReadFile(target), "keep");
  EXPECT_EQ(ReadFile(file), "old");
  EXPECT_EQ(server_->Requests("/hello.txt?stands"), 0);
}

TEST_F(HttpDownTest, DownloadToFileReportsAFailedWrite) {
  // A file size limit makes the writes fail part-way, as a full disk would.
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 64 * 1024;
  void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  CHttpDown http;
  int rc = http.DownloadToFile(Url("/big.bin"), OutPath("limited"), 5, nullptr, nullptr);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(rc, -1);
}

// A ranged download into a file that already holds the first `held` bytes of
// big.bin followed by junk, or the junk alone.
TEST_F(HttpDownTest, DownloadRangeAppendsOnlyTheRestItAskedFor) {
  WriteFile(root_ + "/liar.bin", big_);
  WriteFile(root_ + "/liar.bin.behaviour", "liar\n");
  WriteFile(root_ + "/norange.bin", big_);
  WriteFile(root_ + "/norange.bin.behaviour", "norange\n");
  WriteFile(root_ + "/cut.bin", big_);
  WriteFile(root_ + "/cut.bin.behaviour", "truncate\n");
  const DWORD64 size = big_.size();
  const std::string junk(4096, 'j');

  // The validators the server gives big.bin.
  std::string path = OutPath("range");
  RANGE_FETCH probe;
  {
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_EQ(CHttpDown().DownloadRange(Url("/hello.txt"), fd.get(), 5000, &probe), 0);
  }
  ASSERT_EQ(probe.status, 200);
  ASSERT_FALSE(probe.etag.empty());
  ASSERT_FALSE(probe.last_modified.empty());
  RANGE_FETCH big_probe;
  {
    UniqueFd fd(open(path.c_str(), O_RDWR | O_TRUNC | O_CLOEXEC));
    ASSERT_EQ(CHttpDown().DownloadRange(Url("/big.bin"), fd.get(), 5000, &big_probe), 0);
    EXPECT_EQ(big_probe.total, size);
  }

  const DWORD64 kHeld = 1000;
  const struct {
    const char* label;
    std::string file;  // on the server
    DWORD64 offset;    // also the bytes of big.bin the file holds
    std::string if_range;
    DWORD64 expected_total;
    int result;
    long status;
    RangeVerdict verdict;
    std::string after;  // the file afterwards; "" keeps what it held
  } cases[] = {
      {"whole", "/big.bin", 0, "", 0, 0, 200, RangeVerdict::kWhole, big_},
      {"rest", "/big.bin", kHeld, "", size, 0, 206, RangeVerdict::kAppend, big_},
      {"rest, same etag", "/big.bin", kHeld, big_probe.etag, size, 0, 206, RangeVerdict::kAppend,
       big_},
      {"rest, same date", "/big.bin", kHeld, big_probe.last_modified, 0, 0, 206,
       RangeVerdict::kAppend, big_},
      {"changed file", "/big.bin", kHeld, "\"other\"", size, 0, 200, RangeVerdict::kRestart, big_},
      {"ranges ignored", "/norange.bin", kHeld, "", size, 0, 200, RangeVerdict::kRestart, big_},
      {"another size", "/big.bin", kHeld, "", size + 1, -3, 206, RangeVerdict::kRefuse, ""},
      {"lying start", "/liar.bin", kHeld, "", size, -3, 206, RangeVerdict::kRefuse, ""},
      {"past the end", "/big.bin", size, "", size, -3, 416, RangeVerdict::kRefuse, ""},
      {"missing", "/missing.bin", kHeld, "", 0, -3, 404, RangeVerdict::kRefuse, ""},
      {"header injection", "/big.bin", kHeld, "x\r\nX-Evil: 1", 0, -3, 0, RangeVerdict::kRefuse,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string held = big_.substr(0, c.offset);
    WriteFile(path, c.offset != 0 ? held : junk);
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    RANGE_FETCH fetch;
    fetch.offset = c.offset;
    fetch.if_range = c.if_range;
    fetch.expected_total = c.expected_total;
    EXPECT_EQ(CHttpDown().DownloadRange(Url(c.file), fd.get(), 5000, &fetch), c.result);
    EXPECT_EQ(fetch.status, c.status);
    EXPECT_EQ(fetch.verdict, c.verdict);
    std::string after = ReadFile(path);
    std::string expected = c.after.empty() ? (c.offset != 0 ? held : junk) : c.after;
    EXPECT_EQ(after.size(), expected.size());
    EXPECT_TRUE(after == expected);
    if (c.result == 0) {
      EXPECT_EQ(fetch.total, size);
    }
  }

  // Cut short: the bytes that came are in place after the held ones.
  WriteFile(path, big_.substr(0, kHeld));
  UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
  RANGE_FETCH fetch;
  fetch.offset = kHeld;
  EXPECT_EQ(CHttpDown().DownloadRange(Url("/cut.bin"), fd.get(), 5000, &fetch), -1);
  EXPECT_EQ(fetch.verdict, RangeVerdict::kAppend);
  EXPECT_EQ(fetch.written, (size - kHeld) / 2);
  EXPECT_TRUE(ReadFile(path) == big_.substr(0, kHeld + fetch.written));

  // A write that fails.
  if (access("/dev/full", W_OK) == 0) {
    UniqueFd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
    RANGE_FETCH to_full;
    EXPECT_EQ(CHttpDown().DownloadRange(Url("/big.bin"), full.get(), 5000, &to_full), -2);
  }
}

// Bodies are never decoded: a reply in an encoding other than identity is
// refused before any byte of it is kept, also after a redirect.
TEST_F(HttpDownTest, EncodedRepliesAreRefusedBeforeTheirFirstByte) {
  const struct {
    std::string path;
    bool taken;
    std::string joined;  // the Content-Encoding lines as DownloadRange reads them
  } cases[] = {
      {"/_/encoded", true, ""},
      {"/_/encoded?coding=identity", true, "identity"},
      {"/_/encoded?coding=IDENTITY", true, "IDENTITY"},
      {"/_/encoded?coding=identity&coding=identity", true, "identity, identity"},
      {"/_/encoded?coding=gzip", false, "gzip"},
      {"/_/encoded?coding=x-gzip", false, "x-gzip"},
      {"/_/encoded?coding=br", false, "br"},
      {"/_/encoded?coding=identity&coding=gzip", false, "identity, gzip"},
      {"/_/encoded?coding=identity,%20deflate", false, "identity, deflate"},
      {"/_/redirect?to=/_/encoded%3Fcoding%3Dgzip", false, "gzip"},
      {"/_/redirect?to=/_/encoded%3Fcoding%3Didentity", true, "identity"},
  };
  CHttpDown http;
  const std::string junk = "held bytes";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string body = c.taken ? EncodedText() : "";
    EXPECT_TRUE(http.OpenURL(Url(c.path), 5) == body);

    std::string path = OutPath("encoded");
    unlink(path.c_str());
    EXPECT_EQ(http.DownloadToFile(Url(c.path), path, 5, nullptr, nullptr), c.taken ? 0 : -1);
    EXPECT_TRUE(ReadFile(path) == body);

    for (DWORD64 offset : {DWORD64{0}, DWORD64{4}}) {
      WriteFile(path, junk);
      UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
      RANGE_FETCH fetch;
      fetch.offset = offset;
      EXPECT_EQ(http.DownloadRange(Url(c.path), fd.get(), 5000, &fetch), c.taken ? 0 : -3);
      EXPECT_EQ(fetch.content_encoding, c.joined);
      EXPECT_EQ(fetch.written, c.taken ? EncodedText().size() : 0u);
      EXPECT_TRUE(ReadFile(path) == (c.taken ? EncodedText() : junk));
    }
  }
}

// A GET may name http, https or file; a redirect leads to http or https only.
// Whatever else is asked for is never connected to.
TEST_F(HttpDownTest, OtherProtocolsAreNeverReached) {
  ListeningPort port;
  ASSERT_TRUE(port.ok());
  const std::string at = port.Address();
  const std::string file = "file://" + root_ + "/hello.txt";
  auto redirect = [](const std::string& to) { return Url("/_/redirect?to=" + to); };
  {
    // The port tells a connection made to it.
    UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port.port()));
    ASSERT_EQ(connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(port.Connections(), 1);
  }
  const std::string urls[] = {
      "ftp://" + at + "/x",
      "dict://" + at + "/d:x",
      "gopher://" + at + "/x",
      "telnet://" + at,
      "imap://" + at + "/x",
      "smtp://" + at,
      redirect("ftp://" + at + "/x"),
      redirect("dict://" + at + "/d:x"),
      redirect("gopher://" + at + "/x"),
      redirect("scp://" + at + "/x"),
      redirect(file),
  };
  CHttpDown http;
  std::string path = OutPath("protocols");
  for (const std::string& url : urls) {
    SCOPED_TRACE(url);
    EXPECT_EQ(http.OpenURL(url, 2), "");
    unlink(path.c_str());
    EXPECT_EQ(http.DownloadToFile(url, path, 2, nullptr, nullptr), -1);
    EXPECT_EQ(ReadFile(path), "");
    {
      UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
      RANGE_FETCH fetch;
      EXPECT_EQ(http.DownloadRange(url, fd.get(), 2000, &fetch), -1);
      EXPECT_FALSE(fetch.judged);
    }
    EXPECT_EQ(http.PostUrl(url, "abc", 3, 2), "");
    EXPECT_EQ(port.Connections(), 0);
  }
  // A POST goes to http and https only; a GET reads local files too.
  EXPECT_EQ(http.PostUrl(file, "abc", 3, 5), "");
  EXPECT_EQ(http.OpenURL(file, 5), "hello, loopback\n");
}

// DownloadRange with a room that lets the file grow to `limit` bytes: a
// reply whose length goes beyond is refused before its first byte, and one
// without a length is stopped at the first piece that would.
TEST_F(HttpDownTest, DownloadRangeKeepsWithinTheRoomGiven) {
  WriteFile(root_ + "/chunked.bin", big_);
  WriteFile(root_ + "/chunked.bin.behaviour", "chunked\n");
  WriteFile(root_ + "/claims.bin", big_);
  WriteFile(root_ + "/claims.bin.behaviour", "length 1000000000000\n");
  const DWORD64 size = big_.size();
  const DWORD64 kHeld = 1000;
  const std::string junk(4096, 'j');
  const struct {
    const char* label;
    std::string file;
    DWORD64 offset;  // 0: the file holds junk, else that many bytes of big.bin
    DWORD64 limit;
    int result;
    DWORD64 needed;  // what the reply's length asked for, 0 when it had none
  } cases[] = {
      {"whole, fits", "/big.bin", 0, size, 0, size - junk.size()},
      {"whole, one byte short", "/big.bin", 0, size - 1, -4, size - junk.size()},
      {"the rest, fits", "/big.bin", kHeld, size, 0, size - kHeld},
      {"the rest, one byte short", "/big.bin", kHeld, size - 1, -4, size - kHeld},
      {"restart frees the held bytes", "/norange.bin", kHeld, size, 0, size - kHeld},
      {"a claimed length", "/claims.bin", 0, size, -4, 1000000000000ull - junk.size()},
      {"no length, fits", "/chunked.bin", 0, size, 0, 0},
      {"no length, stopped", "/chunked.bin", 0, size / 2, -4, 0},
  };
  WriteFile(root_ + "/norange.bin", big_);
  WriteFile(root_ + "/norange.bin.behaviour", "norange\n");
  std::string path = OutPath("room");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string before = c.offset != 0 ? big_.substr(0, c.offset) : junk;
    WriteFile(path, before);
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    const int file = fd.get();
    const DWORD64 limit = c.limit;
    DWORD64 largest_ask = 0;
    RANGE_FETCH fetch;
    fetch.offset = c.offset;
    fetch.room_for = [file, limit, &largest_ask](DWORD64 more) {
      struct stat st;
      if (fstat(file, &st) != 0) return false;
      largest_ask = std::max(largest_ask, more);
      return static_cast<DWORD64>(st.st_size) + more <= limit;
    };
    EXPECT_EQ(CHttpDown().DownloadRange(Url(c.file), fd.get(), 5000, &fetch), c.result);
    EXPECT_EQ(fetch.needed, c.needed);
    std::string after = ReadFile(path);
    EXPECT_LE(after.size(), std::max<DWORD64>(limit, before.size()));
    if (c.result == 0) {
      EXPECT_TRUE(after == big_);
    } else if (c.needed != 0) {
      EXPECT_EQ(fetch.written, 0u);  // refused for its length: nothing written
      EXPECT_TRUE(after == before);
    } else {
      EXPECT_GT(fetch.written, 0u);  // stopped while it grew
      EXPECT_TRUE(after == big_.substr(0, after.size()));
    }
  }
}

TEST_F(HttpDownTest, BrokenConnectionsNeedNoSigpipeDisposition) {
  g_server_url = Url("");
  int status = InChildWithDefaultSigpipe(BreakConnections);
  ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// libcurl itself opens its connections without close-on-exec; the transfer's
// own socket callback must. (libcurl's internal AF_UNIX wakeup pair is out of
// reach of any option; the supervisor's children close it in PrepareExec.)
TEST_F(HttpDownTest, TransferConnectionsAreCloseOnExec) {
  auto connection_fds = [] {
    std::vector<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    while (dirent* entry = readdir(dir)) {
      int fd = atoi(entry->d_name);
      int domain = -1;
      socklen_t len = sizeof domain;
      if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 &&
          (domain == AF_INET || domain == AF_INET6))
        fds.push_back(fd);
    }
    closedir(dir);
    return fds;
  };
  std::vector<int> before = connection_fds();  // the refusing port's socket
  std::string body;
  std::thread transfer([&] { body = CHttpDown().OpenURL(Url("/_/stall?seconds=2"), 10); });
  std::vector<int> during;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (during.empty() && std::chrono::steady_clock::now() < deadline) {
    for (int fd : connection_fds()) {
      if (std::find(before.begin(), before.end(), fd) == before.end()) during.push_back(fd);
    }
    if (during.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (int fd : during) {
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) {
      EXPECT_TRUE(flags & FD_CLOEXEC) << "socket descriptor " << fd;
    }
  }
  transfer.join();
  EXPECT_FALSE(during.empty()) << "no transfer connection seen";
  EXPECT_EQ(body, kStallBody);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {
std::string g_huge_url;

int FetchUnderAddressSpaceLimit() {
  std::ifstream status("/proc/self/status");
  long vm_kib = 0;
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmSize:", 0) == 0) vm_kib = atol(line.c_str() + 7);
  rlimit limit;
  limit.rlim_cur = limit.rlim_max = (vm_kib + 48 * 1024) * 1024;
  if (setrlimit(RLIMIT_AS, &limit) != 0) return 2;
  return CHttpDown().OpenURL(g_huge_url, 30).empty() ? 0 : 1;
}
}  // namespace

TEST_F(HttpDownTest, OutOfMemoryAbortsTheTransfer) {
  std::string huge = root_ + "/huge.bin";
  {
    UniqueFd fd(open(huge.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_EQ(ftruncate(fd.get(), 128 * 1024 * 1024), 0);  // sparse
  }
  g_huge_url = Url("/huge.bin");
  std::string out_path = OutPath("stdout");
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    int rc = FetchUnderAddressSpaceLimit();
    fflush(stdout);
    _exit(rc);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  unlink(huge.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadFile(out_path), "not enough memory (realloc returned NULL)\n");
}
#endif

TEST_F(HttpDownTlsTest, SelfSignedCertificateIsAccepted) {
  CHttpDown http;
  EXPECT_TRUE(http.OpenURL(Url("/big.bin"), 10) == big_);

  std::string data = ZerosBody();
  EXPECT_TRUE(http.PostUrl(Url("/_/echo"), data.data(), static_cast<int>(data.size()), 10) == data);

  DWORD64 size = 0;
  DWORD crc = 0;
  ASSERT_EQ(http.DownloadToFile(Url("/big.bin"), OutPath("tls"), 10, &size, &crc), 0);
  EXPECT_TRUE(ReadFile(OutPath("tls")) == big_);
  EXPECT_EQ(size, big_.size());
  EXPECT_EQ(crc, CrcOf(big_));
}

TEST_F(HttpDownTlsTest, BrokenConnectionsNeedNoSigpipeDisposition) {
  g_server_url = Url("");
  int status = InChildWithDefaultSigpipe(BreakConnections);
  ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
