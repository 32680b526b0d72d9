#include "update/Signature.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "UniqueFd.h"

namespace {

const char kUntrustedPrefix[] = "untrusted comment:";
const char kUntrustedLinePrefix[] = "untrusted comment: ";
const char kTrustedLinePrefix[] = "trusted comment: ";
constexpr size_t kHashBytes = crypto_generichash_BYTES_MAX;  // BLAKE2b-512
constexpr size_t kReadBlock = 1 << 20;

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

// Exactly len bytes from standard padded base64, nothing before or after.
// libsodium's decoder takes some bytes above 127 for base64 characters, so
// the alphabet is checked first: one text, one reading.
bool DecodeBase64(const std::string& text, unsigned char* out, size_t len) {
  if (text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") !=
      std::string::npos)
    return false;
  size_t got = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out, len, text.data(), text.size(), nullptr, &got, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0)
    return false;
  return got == len && end == text.data() + text.size();
}

std::string Trim(const std::string& s) {
  const char* blanks = " \t\r";
  size_t b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

// The next line of text from *pos, without its line break (LF or CR LF);
// false when no line break ends it. The last line of a file may also end
// where the text ends (a trimmed upload): last says so.
bool NextLine(const std::string& text, size_t* pos, std::string* line, bool last = false) {
  size_t nl = text.find('\n', *pos);
  if (nl == std::string::npos) {
    if (!last || *pos >= text.size()) return false;
    nl = text.size();
  }
  *line = text.substr(*pos, nl - *pos);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  *pos = nl < text.size() ? nl + 1 : nl;
  return true;
}

bool Verify(const unsigned char* sig, const unsigned char* msg, size_t len,
            const unsigned char* pk) {
  return crypto_sign_verify_detached(sig, msg, len, pk) == 0;
}

std::string ErrnoText(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + strerror(errno);
}

// BLAKE2b-512 of everything the descriptor reads.
std::string HashFile(int fd, const std::string& path, unsigned char (&hash)[kHashBytes]) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, kHashBytes);
  std::vector<unsigned char> buf(kReadBlock);
  for (;;) {
    ssize_t r = read(fd, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return ErrnoText("cannot read", path);
    if (r == 0) break;
    crypto_generichash_update(&state, buf.data(), size_t(r));
  }
  crypto_generichash_final(&state, hash, kHashBytes);
  return "";
}

// The whole file, mapped for the legacy form, which signs the file itself.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile() {
    if (data_ != nullptr) munmap(data_, size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool Map(int fd, size_t size) {
    size_ = size;
    if (size == 0) return true;
    void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) return false;
    data_ = p;
    return true;
  }
  const unsigned char* data() const {
    static const unsigned char kEmpty = 0;
    return data_ != nullptr ? static_cast<const unsigned char*>(data_) : &kEmpty;
  }
  size_t size() const { return size_; }

 private:
  void* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace

std::string ParseSignKey(const std::string& text, SignKey* key) {
  if (text.find('\0') != std::string::npos) return "the key holds a NUL byte";
  std::string key_line;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = Trim(text.substr(pos, nl - pos));
    pos = nl + 1;
    if (line.empty() || StartsWith(line, kUntrustedPrefix)) continue;
    if (!key_line.empty()) return "more than one key line";
    key_line = line;
  }
  if (key_line.empty()) return "no key line";
  unsigned char raw[2 + sizeof key->key_id + sizeof key->public_key];
  if (!DecodeBase64(key_line, raw, sizeof raw)) return "the key line is not a base64 public key";
  if (memcmp(raw, "Ed", 2) != 0) return "not an Ed25519 public key";
  memcpy(key->key_id, raw + 2, sizeof key->key_id);
  memcpy(key->public_key, raw + 2 + sizeof key->key_id, sizeof key->public_key);
  return "";
}

std::string ParseSignatureFile(const std::string& text, SignatureFile* sig) {
  if (text.find('\0') != std::string::npos) return "the signature file holds a NUL byte";
  std::string untrusted, sig_line, trusted, global_line;
  size_t pos = 0;
  if (!NextLine(text, &pos, &untrusted) || !StartsWith(untrusted, kUntrustedLinePrefix))
    return "no untrusted comment line";
  if (!NextLine(text, &pos, &sig_line)) return "no signature line";
  if (!NextLine(text, &pos, &trusted) || !StartsWith(trusted, kTrustedLinePrefix))
    return "no trusted comment line";
  if (!NextLine(text, &pos, &global_line, true)) return "no global signature line";

  unsigned char raw[2 + sizeof sig->key_id + sizeof sig->signature];
  if (!DecodeBase64(sig_line, raw, sizeof raw))
    return "the signature line is not base64 of a signature";
  if (memcmp(raw, "ED", 2) == 0)
    sig->prehashed = true;
  else if (memcmp(raw, "Ed", 2) == 0)
    sig->prehashed = false;
  else
    return "unknown signature algorithm";
  if (!DecodeBase64(global_line, sig->global_signature, sizeof sig->global_signature))
    return "the global signature line is not base64 of a signature";
  memcpy(sig->key_id, raw + 2, sizeof sig->key_id);
  memcpy(sig->signature, raw + 2 + sizeof sig->key_id, sizeof sig->signature);
  sig->trusted_comment = trusted.substr(strlen(kTrustedLinePrefix));
  return "";
}

std::string VerifyFileSignature(const SignKey& key, const SignatureFile& sig,
                                const std::string& path) {
  if (sodium_init() < 0) return "libsodium cannot be initialised";
  if (memcmp(key.key_id, sig.key_id, sizeof key.key_id) != 0)
    return "signed by another key (key id " + KeyIdText(sig.key_id) + ", expected " +
           KeyIdText(key.key_id) + ")";

  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return ErrnoText("cannot open", path);
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return ErrnoText("cannot read", path);
  if (!S_ISREG(st.st_mode)) return "not a regular file: " + path;
  bool file_ok;
  if (sig.prehashed) {
    posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    unsigned char hash[kHashBytes];
    std::string why = HashFile(fd.get(), path, hash);
    if (!why.empty()) return why;
    file_ok = Verify(sig.signature, hash, sizeof hash, key.public_key);
  } else {
    MappedFile map;
    if (!map.Map(fd.get(), size_t(st.st_size))) return ErrnoText("cannot map", path);
    file_ok = Verify(sig.signature, map.data(), map.size(), key.public_key);
  }
  if (!file_ok) return "the signature does not match the archive";

  std::vector<unsigned char> signed_comment(sig.signature, sig.signature + sizeof sig.signature);
  signed_comment.insert(signed_comment.end(), sig.trusted_comment.begin(),
                        sig.trusted_comment.end());
  if (!Verify(sig.global_signature, signed_comment.data(), signed_comment.size(), key.public_key))
    return "the trusted comment does not match its signature";
  return "";
}

bool SignedTimestamp(const std::string& trusted_comment, uint64_t* seconds) {
  const char* field = "timestamp:";
  const size_t field_len = strlen(field);
  size_t pos = 0;
  while (pos < trusted_comment.size()) {
    size_t end = trusted_comment.find_first_of("\t ", pos);
    if (end == std::string::npos) end = trusted_comment.size();
    if (end - pos >= field_len && trusted_comment.compare(pos, field_len, field) == 0) {
      uint64_t v = 0;
      size_t i = pos + field_len;
      for (; i < end && trusted_comment[i] >= '0' && trusted_comment[i] <= '9'; ++i) {
        unsigned digit = unsigned(trusted_comment[i] - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
      }
      if (i != end || i == pos + field_len) return false;
      *seconds = v;
      return true;
    }
    pos = end + 1;
  }
  return false;
}

std::string KeyIdText(const unsigned char (&key_id)[kSignKeyIdBytes]) {
  // The tool prints the id as a little-endian 64-bit number, without leading zeros.
  uint64_t id = 0;
  for (size_t i = kSignKeyIdBytes; i-- > 0;) id = (id << 8) | key_id[i];
  char text[2 * kSignKeyIdBytes + 1];
  snprintf(text, sizeof text, "%" PRIX64, id);
  return text;
}
