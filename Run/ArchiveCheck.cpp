#include "ArchiveCheck.h"

#include <string.h>
#include <zlib.h>

#include <memory>
#include <vector>

namespace {

constexpr size_t kBlock = 512;
constexpr unsigned long long kMaxMetaSize = 1 << 20;  // long names and pax records

struct GzCloser {
  void operator()(gzFile f) const { gzclose(f); }
};
using GzFile = std::unique_ptr<gzFile_s, GzCloser>;

bool ReadFull(gzFile f, char* buf, size_t len) {
  return gzread(f, buf, static_cast<unsigned>(len)) == static_cast<int>(len);
}

bool Skip(gzFile f, unsigned long long len) {
  char buf[16384];
  while (len > 0) {
    size_t n = len < sizeof buf ? static_cast<size_t>(len) : sizeof buf;
    if (!ReadFull(f, buf, n)) return false;
    len -= n;
  }
  return true;
}

// A numeric header field: octal text, or base-256 when the top bit is set.
bool ParseNumber(const char* field, size_t len, unsigned long long* out) {
  unsigned long long v = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(field);
  if (p[0] & 0x80) {
    if (p[0] & 0x40) return false;  // negative
    v = p[0] & 0x3f;
    for (size_t i = 1; i < len; ++i) {
      if (v >> 55) return false;
      v = (v << 8) | p[i];
    }
    *out = v;
    return true;
  }
  size_t i = 0;
  while (i < len && p[i] == ' ') ++i;
  for (; i < len && p[i] >= '0' && p[i] <= '7'; ++i) {
    if (v >> 60) return false;
    v = v * 8 + (p[i] - '0');
  }
  for (; i < len; ++i)
    if (p[i] != ' ' && p[i] != '\0') return false;
  *out = v;
  return true;
}

bool ChecksumOk(const char* h) {
  unsigned long long stored;
  if (!ParseNumber(h + 148, 8, &stored)) return false;
  unsigned long long sum = 0;
  for (size_t i = 0; i < kBlock; ++i)
    sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(h[i]);
  return sum == stored;
}

std::string Field(const char* p, size_t len) { return std::string(p, strnlen(p, len)); }

// Splits a relative path into its components, resolving "." and "..";
// false when it is absolute or climbs above its starting point.
bool Normalize(const std::string& path, std::vector<std::string>* parts) {
  if (!path.empty() && path[0] == '/') return false;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(pos, end - pos);
    if (part == "..") {
      if (parts->empty()) return false;
      parts->pop_back();
    } else if (!part.empty() && part != ".") {
      parts->push_back(part);
    }
    pos = end + 1;
  }
  return true;
}

// A member name may not be absolute or have a ".." component at all.
bool NameInside(const std::string& name) {
  if (!name.empty() && name[0] == '/') return false;
  return ("/" + name + "/").find("/../") == std::string::npos;
}

// A symbolic link's target, taken from the link's own directory.
bool LinkTargetInside(const std::string& name, const std::string& target) {
  if (target.empty() || target[0] == '/') return false;
  std::vector<std::string> parts;
  if (!Normalize(name, &parts) || parts.empty()) return false;
  parts.pop_back();
  std::string dir;
  for (const std::string& p : parts) dir += p + "/";
  std::vector<std::string> resolved;
  return Normalize(dir + target, &resolved);
}

// The value of key in a pax extended header's records, if present.
void PaxValue(const std::string& records, const char* key, std::string* out) {
  size_t pos = 0;
  while (pos < records.size()) {
    size_t space = records.find(' ', pos);
    if (space == std::string::npos) return;
    unsigned long len = strtoul(records.c_str() + pos, nullptr, 10);
    if (len == 0 || pos + len > records.size()) return;
    std::string record = records.substr(space + 1, pos + len - space - 2);
    size_t eq = record.find('=');
    if (eq != std::string::npos && record.compare(0, eq, key) == 0) *out = record.substr(eq + 1);
    pos += len;
  }
}

}  // namespace

std::string CheckArchive(const std::string& path) {
  GzFile f(gzopen(path.c_str(), "rbe"));
  if (!f) return "cannot open the archive";
  gzbuffer(f.get(), 256 * 1024);

  char h[kBlock];
  std::string long_name, long_link;
  bool any = false;
  for (;;) {
    if (!ReadFull(f.get(), h, kBlock)) {
      if (!any) return "not a gzip-compressed tar";
      return "the archive ends early";
    }
    if (gzdirect(f.get())) return "not gzip-compressed";
    any = true;
    if (h[0] == '\0') {
      bool zero = true;
      for (char c : h) zero = zero && c == '\0';
      if (zero) break;  // end of archive
    }
    if (!ChecksumOk(h)) return "not a tar archive (bad header)";
    unsigned long long size;
    if (!ParseNumber(h + 124, 12, &size)) return "bad member size";
    unsigned long long padded = (size + kBlock - 1) / kBlock * kBlock;
    char type = h[156];

    if (type == 'L' || type == 'K' || type == 'x') {
      if (size > kMaxMetaSize) return "member header too long";
      std::string data(static_cast<size_t>(padded), '\0');
      if (!ReadFull(f.get(), &data[0], data.size())) return "the archive ends early";
      data.resize(static_cast<size_t>(size));
      if (type == 'L') long_name = Field(data.data(), data.size());
      if (type == 'K') long_link = Field(data.data(), data.size());
      if (type == 'x') {
        PaxValue(data, "path", &long_name);
        PaxValue(data, "linkpath", &long_link);
      }
      continue;
    }

    std::string name = long_name;
    if (name.empty()) {
      name = Field(h, 100);
      bool ustar = memcmp(h + 257, "ustar\0", 6) == 0;
      std::string prefix = ustar ? Field(h + 345, 155) : "";
      if (!prefix.empty()) name = prefix + "/" + name;
    }
    std::string link = long_link.empty() ? Field(h + 157, 100) : long_link;
    long_name.clear();
    long_link.clear();

    if (!NameInside(name)) return "member outside the directory: " + name;
    if (type == '1' && !NameInside(link)) return "hard link outside the directory: " + name;
    if (type == '2' && !LinkTargetInside(name, link))
      return "symbolic link pointing outside the directory: " + name + " -> " + link;
    if (type == '3' || type == '4') return "device member: " + name;
    if (!Skip(f.get(), padded)) return "the archive ends early";
  }
  int err = Z_OK;
  gzerror(f.get(), &err);
  if (err != Z_OK && err != Z_BUF_ERROR) return "the archive is damaged";
  return "";
}
