#include "HttpDown.h"

#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "CommLog.h"
#include "UniqueFd.h"
#include "WholeIo.h"

namespace {

const char kUserAgent[] =
    "Mozilla/5.0 (Windows NT 10.0; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/76.0.3809.100 Safari/537.36";

// libcurl of this vintage follows redirects without end by default, so a
// redirect loop would hang a transfer that has no time limit.
constexpr long kMaxRedirects = 30;

// Large pieces for file downloads: fewer callbacks and writes per byte.
constexpr long kFileBufferSize = 512 * 1024;

// The smallest block the receive buffer grows to.
constexpr size_t kMinCapacity = 4096;

struct CurlCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

// Only bodies as sent are taken: a decoded one could be any size, and its
// bytes are not the file's.
const char kIdentityOnly[] = "Accept-Encoding: identity";

// What a transfer may reach: the address it is given, and where a redirect
// may lead. file:// stays for local update folders named in the settings;
// no reply may send a transfer there, nor to any other protocol.
const char kGetProtocols[] = "http,https,file";
const char kPostProtocols[] = "http,https";
const char kRedirectProtocols[] = "http,https";

// Every line of a header of the last reply (the one after redirects), joined
// with ", " as a list; "" when there is none.
std::string ReplyHeaderList(CURL* curl, const char* name) {
  std::string joined;
  size_t amount = 1;
  for (size_t index = 0; index < amount; ++index) {
    struct curl_header* header = nullptr;
    if (curl_easy_header(curl, name, index, CURLH_HEADER, -1, &header) != CURLHE_OK) break;
    amount = header->amount;
    if (index != 0) joined += ", ";
    if (header->value != nullptr) joined += header->value;
  }
  return joined;
}

bool IdentityReply(CURL* curl) {
  return IdentityEncoding(ReplyHeaderList(curl, "Content-Encoding"));
}

// The receive buffer of one in-memory transfer: the bytes received so far,
// followed by a terminating zero byte. It grows geometrically, so a large
// body costs a logarithmic number of reallocations.
struct MemoryStruct {
  MemoryStruct() : memory(static_cast<char*>(malloc(1))) {
    if (memory != nullptr) {
      memory[0] = '\0';
      capacity = 1;
    }
  }
  ~MemoryStruct() { free(memory); }
  MemoryStruct(const MemoryStruct&) = delete;
  MemoryStruct& operator=(const MemoryStruct&) = delete;

  char* memory;
  size_t size = 0;
  size_t capacity = 0;
  size_t limit = SIZE_MAX;  // a longer body aborts the transfer
  CURL* judge = nullptr;    // when set, an encoded reply is refused at its first byte
  bool judged = false;
};

// The write callback of OpenURL and PostUrl: appends a piece of the body,
// whatever it holds (a CRC file, an archive, HTML), to the call's buffer.
size_t write_html_data(void* contents, size_t size, size_t nmemb, void* userp) {
  MemoryStruct* mem = static_cast<MemoryStruct*>(userp);
  size_t realsize = size * nmemb;
  if (mem->judge != nullptr && !mem->judged) {
    mem->judged = true;
    if (!IdentityReply(mem->judge)) return 0;
  }
  if (realsize > mem->limit - mem->size) return 0;
  if (realsize > SIZE_MAX - 1 - mem->size) {
    puts("not enough memory (realloc returned NULL)");
    return 0;
  }
  size_t needed = mem->size + realsize + 1;
  if (needed > mem->capacity) {
    size_t capacity = mem->capacity < kMinCapacity ? kMinCapacity : mem->capacity;
    while (capacity < needed) capacity = capacity > SIZE_MAX / 2 ? needed : capacity * 2;
    char* grown = static_cast<char*>(realloc(mem->memory, capacity));
    if (grown == nullptr) {
      // The old block stays with the buffer; returning 0 aborts the transfer.
      puts("not enough memory (realloc returned NULL)");
      return 0;
    }
    mem->memory = grown;
    mem->capacity = capacity;
  }
  memcpy(mem->memory + mem->size, contents, realsize);
  mem->size += realsize;
  mem->memory[mem->size] = '\0';
  return realsize;
}

// Where a file download puts its bytes.
struct FileSink {
  CURL* curl = nullptr;
  bool judged = false;
  int fd = -1;
  qmCRC* crc = nullptr;
  DWORD64 size = 0;
};

size_t write_file_data(void* contents, size_t size, size_t nmemb, void* userp) {
  FileSink* sink = static_cast<FileSink*>(userp);
  size_t realsize = size * nmemb;
  if (!sink->judged) {
    sink->judged = true;
    if (!IdentityReply(sink->curl)) return 0;
  }
  const char* data = static_cast<const char*>(contents);
  if (!wholeio::WriteAll(sink->fd, data, realsize)) return 0;  // aborts with a write error
  if (sink->crc != nullptr) {
    unsigned char* bytes = static_cast<unsigned char*>(contents);
    for (size_t done = 0; done < realsize;) {
      DWORD piece = static_cast<DWORD>(realsize - done < (1u << 30) ? realsize - done : 1u << 30);
      sink->crc->GetPartCRC(bytes + done, piece);
      done += piece;
    }
  }
  sink->size += realsize;
  return realsize;
}

// libcurl opens its connections without close-on-exec; this makes sure a
// program started while a transfer runs never inherits one.
curl_socket_t OpenCloexecSocket(void*, curlsocktype, struct curl_sockaddr* address) {
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// Options shared by every transfer: the protocols it may use, no signals
// (time-outs and name lookups never raise SIGALRM or touch signal
// dispositions), a bounded redirect chain and close-on-exec sockets.
void SetSafetyOptions(CURL* curl, const char* protocols) {
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, protocols);
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, kRedirectProtocols);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OpenCloexecSocket);
}

// The request headers of a GET: the identity encoding, then extra when not
// null. Null when the list cannot be made.
HeaderList GetHeaders(const char* extra) {
  HeaderList headers(curl_slist_append(nullptr, kIdentityOnly));
  // Appending to a list keeps its head; null means the item was not added.
  if (headers && extra != nullptr && curl_slist_append(headers.get(), extra) == nullptr)
    return HeaderList();
  return headers;
}

// The options of a GET, in this order; the write callback and its data and
// the request headers are the caller's. libcurl is never asked to decode: it
// would, with CURLOPT_ACCEPT_ENCODING set to anything.
using WriteFunction = size_t (*)(void* contents, size_t size, size_t nmemb, void* userp);

void SetGetOptions(CURL* curl, const std::string& sUrl, DWORD time_out,
                   WriteFunction write_function, void* write_data, curl_slist* headers) {
  curl_easy_setopt(curl, CURLOPT_URL, sUrl.c_str());
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  if (time_out != 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(time_out));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_function);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, write_data);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  SetSafetyOptions(curl, kGetProtocols);
}

}  // namespace

CHttpDown::CHttpDown() {}

CHttpDown::~CHttpDown() {}

void CHttpDown::GlobalInit() {
  // A function-local static runs exactly once, even when threads race here.
  static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)init;
}

std::string CHttpDown::OpenURL(const std::string& sUrl, DWORD time_out) {
  return OpenURL(sUrl, time_out, SIZE_MAX);
}

std::string CHttpDown::OpenURL(const std::string& sUrl, DWORD time_out, size_t max_size) {
  GlobalInit();
  std::string mRecievData;  // the reply's body; stays empty unless the transfer succeeds
  MemoryStruct chunk;
  chunk.limit = max_size;
  CurlHandle curl(curl_easy_init());
  HeaderList headers = GetHeaders(nullptr);
  if (!curl || !headers) return mRecievData;
  chunk.judge = curl.get();

  SetGetOptions(curl.get(), sUrl, time_out, write_html_data, &chunk, headers.get());
  CURLcode err = curl_easy_perform(curl.get());
  if (err == CURLE_OK && chunk.memory != nullptr) mRecievData.assign(chunk.memory, chunk.size);
  return mRecievData;
}

std::string CHttpDown::PostUrl(std::string sUrl, const char* Data, int len, DWORD time_out) {
  GlobalInit();
  std::string mRecievData;  // the reply's body; stays empty unless the transfer succeeds
  COMMUSE::ComPrintLog& log = COMMUSE::ComPrintLog::GetInstance();
  // A negative length would make libcurl measure Data with strlen, reading
  // past a buffer that has no terminating zero.
  if (len < 0 || (Data == nullptr && len > 0)) {
    log.LogForce_A(65535, 4, "<QMLOG>[%s : %d] curl other error", __FILE__, __LINE__);
    return mRecievData;
  }
  const char* body = Data != nullptr ? Data : "";  // an empty body still gets a valid pointer

  MemoryStruct chunk;
  CurlHandle curl(curl_easy_init());
  if (!curl) return mRecievData;

  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, sUrl.c_str());
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body);
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(len));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write_html_data);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &chunk);
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(time_out));
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(time_out));
  curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
  SetSafetyOptions(h, kPostProtocols);

  CURLcode res = curl_easy_perform(h);
  if (res == CURLE_OK) {
    if (chunk.memory != nullptr) mRecievData.assign(chunk.memory, chunk.size);
    return mRecievData;
  }
  switch (res) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      log.LogForce_A(65535, 4, "<QMLOG>[%s : %d] Does not support agreement", __FILE__, __LINE__);
      break;
    case CURLE_COULDNT_CONNECT:
      log.LogForce_A(65535, 4, "<QMLOG>[%s : %d] not link remote server", __FILE__, __LINE__);
      break;
    case CURLE_HTTP_RETURNED_ERROR:
      log.LogForce_A(65535, 4, "<QMLOG>[%s : %d] http return failed", __FILE__, __LINE__);
      break;
    case CURLE_READ_ERROR:
      log.LogForce_A(65535, 4, "<QMLOG>[%s : %d] read local file failed", __FILE__, __LINE__);
      break;
    default:
      log.LogForce_A(65535, 4, "<QMLOG>[%s : %d] curl other error", __FILE__, __LINE__);
      break;
  }
  return mRecievData;
}

int CHttpDown::DownloadToFile(const std::string& sUrl, const std::string& file_path, DWORD time_out,
                              DWORD64* size_out, DWORD* crc_out) {
  GlobalInit();
  UniqueFd fd(open(file_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid()) return -2;

  qmCRC crc;
  FileSink sink;
  sink.fd = fd.get();
  sink.crc = crc_out != nullptr ? &crc : nullptr;

  CurlHandle curl(curl_easy_init());
  HeaderList headers = GetHeaders(nullptr);
  if (!curl || !headers) return -1;
  sink.curl = curl.get();
  SetGetOptions(curl.get(), sUrl, time_out, write_file_data, &sink, headers.get());
  curl_easy_setopt(curl.get(), CURLOPT_BUFFERSIZE, kFileBufferSize);
  CURLcode err = curl_easy_perform(curl.get());
  curl.reset();

  // A write error can surface only at close on some file systems.
  int closed = close(fd.release());
  if (err != CURLE_OK || (closed != 0 && errno != EINTR)) return -1;

  if (size_out != nullptr) *size_out = sink.size;
  if (crc_out != nullptr) *crc_out = crc.GetFinallyCrC();
  return 0;
}

namespace {

// Where a ranged download puts its bytes: judged once, at the first byte.
struct RangeSink {
  CURL* curl = nullptr;
  int fd = -1;
  RANGE_FETCH* fetch = nullptr;
  off_t position = 0;
  bool write_failed = false;
  bool no_room = false;
};

std::string ReplyHeader(CURL* curl, const char* name) {
  struct curl_header* header = nullptr;
  if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return "";
  return header->value != nullptr ? header->value : "";
}

DWORD64 FileSize(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? static_cast<DWORD64>(st.st_size) : 0;
}

// Reads what the last reply said and decides where its body goes.
void JudgeReply(RangeSink* sink) {
  RANGE_FETCH* f = sink->fetch;
  f->judged = true;
  curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &f->status);
  f->etag = ReplyHeader(sink->curl, "ETag");
  f->last_modified = ReplyHeader(sink->curl, "Last-Modified");
  f->content_range = ReplyHeader(sink->curl, "Content-Range");
  f->content_encoding = ReplyHeaderList(sink->curl, "Content-Encoding");
  f->verdict = JudgeRangeReply(f->offset, f->expected_total, f->status, f->content_range,
                               f->content_encoding);
  f->total = 0;
  if (f->verdict == RangeVerdict::kAppend) {
    CONTENT_RANGE range;
    if (ParseContentRange(f->content_range, &range)) f->total = range.total;
  } else if (f->verdict != RangeVerdict::kRefuse) {
    curl_off_t length = -1;
    if (curl_easy_getinfo(sink->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length > 0)
      f->total = static_cast<DWORD64>(length);
  }
}

// Places the file for the body: the held bytes stay only for an append, and
// only a body whose length fits in the room given is begun.
bool PrepareFile(RangeSink* sink) {
  RANGE_FETCH* f = sink->fetch;
  if (f->verdict == RangeVerdict::kRefuse) return false;
  off_t keep = f->verdict == RangeVerdict::kAppend ? static_cast<off_t>(f->offset) : 0;
  // The file ends up total bytes long; what it holds now is reused or freed.
  DWORD64 held = FileSize(sink->fd);
  f->needed = f->total > held ? f->total - held : 0;
  if (f->total != 0 && f->room_for && !f->room_for(f->needed)) {
    sink->no_room = true;
    return false;
  }
  if (ftruncate(sink->fd, keep) != 0) {
    sink->write_failed = true;
    return false;
  }
  sink->position = keep;
  return true;
}

size_t write_range_data(void* contents, size_t size, size_t nmemb, void* userp) {
  RangeSink* sink = static_cast<RangeSink*>(userp);
  if (!sink->fetch->judged) {
    JudgeReply(sink);
    if (!PrepareFile(sink)) return 0;  // aborts the transfer before any byte is used
  }
  size_t realsize = size * nmemb;
  // Also when the reply told no length, or the file system fills meanwhile.
  if (sink->fetch->room_for && !sink->fetch->room_for(realsize)) {
    sink->no_room = true;
    return 0;
  }
  const char* data = static_cast<const char*>(contents);
  size_t done = wholeio::WriteAllAt(sink->fd, data, realsize, sink->position);
  // What reached the file counts, even when the rest did not.
  sink->position += static_cast<off_t>(done);
  sink->fetch->written += static_cast<DWORD64>(done);
  if (done < realsize) {
    sink->write_failed = true;
    return 0;
  }
  return realsize;
}

// A validator goes into a request header: no control characters.
bool SafeHeaderValue(const std::string& value) {
  for (unsigned char c : value)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

}  // namespace

int CHttpDown::DownloadRange(const std::string& sUrl, int fd, DWORD time_out_ms,
                             RANGE_FETCH* fetch) {
  GlobalInit();
  fetch->status = 0;
  fetch->etag.clear();
  fetch->last_modified.clear();
  fetch->content_range.clear();
  fetch->content_encoding.clear();
  fetch->verdict = RangeVerdict::kRefuse;
  fetch->judged = false;
  fetch->total = 0;
  fetch->written = 0;
  fetch->needed = 0;
  if (!SafeHeaderValue(fetch->if_range)) return -3;

  RangeSink sink;
  sink.fd = fd;
  sink.fetch = fetch;
  std::string if_range;
  if (fetch->offset != 0 && !fetch->if_range.empty()) if_range = "If-Range: " + fetch->if_range;
  CurlHandle curl(curl_easy_init());
  HeaderList headers = GetHeaders(if_range.empty() ? nullptr : if_range.c_str());
  if (!curl || !headers) return -1;
  sink.curl = curl.get();
  SetGetOptions(curl.get(), sUrl, 0, write_range_data, &sink, headers.get());
  if (time_out_ms != 0)
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(time_out_ms));
  curl_easy_setopt(curl.get(), CURLOPT_BUFFERSIZE, kFileBufferSize);

  std::string range;
  if (fetch->offset != 0) {
    range = std::to_string(fetch->offset) + "-";
    curl_easy_setopt(curl.get(), CURLOPT_RANGE, range.c_str());
  }

  CURLcode err = curl_easy_perform(curl.get());
  // A reply without a body (an empty file, a bare 416) reaches no write.
  if (err == CURLE_OK && !fetch->judged) {
    JudgeReply(&sink);
    if (!PrepareFile(&sink)) err = CURLE_WRITE_ERROR;
  }
  if (sink.no_room) return -4;
  if (sink.write_failed) return -2;
  if (fetch->judged && fetch->verdict == RangeVerdict::kRefuse) return -3;
  return err == CURLE_OK ? 0 : -1;
}
