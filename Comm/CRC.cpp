#include "CRC.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

#include "Crc32Fast.h"
#include "UniqueFd.h"

namespace {

constexpr DWORD kPreset = 0xFFFFFFFF;

// Below this many bytes the object's own table loop beats starting a kernel.
constexpr DWORD kKernelMinBytes = 16;

// The text forms: "%d" (so values from 0x80000000 up are negative), "%u", "%X".
std::string Signed(DWORD value) {
  char text[16];
  snprintf(text, sizeof text, "%d", static_cast<int>(value));
  return text;
}

std::string Unsigned(DWORD value) {
  char text[16];
  snprintf(text, sizeof text, "%u", value);
  return text;
}

std::string Hex(DWORD value) {
  char text[16];
  snprintf(text, sizeof text, "%X", value);
  return text;
}

}  // namespace

qmCRC::qmCRC() : crc(kPreset), m_crc32_table{}, m_crc_init(false) { Reset(); }

qmCRC::~qmCRC() {}

void qmCRC::Reset() {
  crc = kPreset;
  if (!m_crc_init) InitCrc();
}

void qmCRC::InitCrc() {
  if (m_crc_init) return;
  m_crc_init = true;
  Init_CRC32_Table();
}

void qmCRC::Init_CRC32_Table() {
  const DWORD ulPolynomial = 0x04C11DB7;
  for (DWORD i = 0; i < 256; ++i) {
    DWORD t = Reflect(i, 8) << 24;
    for (int bit = 0; bit < 8; ++bit) t = (t & 0x80000000u) ? (t << 1) ^ ulPolynomial : t << 1;
    m_crc32_table[i] = Reflect(t, 32);
  }
}

DWORD qmCRC::Reflect(DWORD ref, char ch) {
  DWORD value = 0;
  for (int i = 1; i <= ch; ++i) {
    if ((ref & 1) && ch - i < 32) value |= DWORD(1) << (ch - i);
    ref >>= 1;
  }
  return value;
}

bool qmCRC::GetPartCRC(unsigned char* csData, DWORD dwSize) {
  if (dwSize >= kKernelMinBytes) {
    crc = crc32fast::Update(crc, csData, dwSize);
    return true;
  }
  for (DWORD i = 0; i < dwSize; ++i) crc = (crc >> 8) ^ m_crc32_table[(crc & 0xFF) ^ csData[i]];
  return true;
}

DWORD qmCRC::GetFinallyCrC() { return ~crc; }

DWORD qmCRC::GetCrcNumber(const char* buf, DWORD len) {
  GetPartCRC(reinterpret_cast<unsigned char*>(const_cast<char*>(buf)), len);
  DWORD value = GetFinallyCrC();
  crc = kPreset;
  return value;
}

std::string qmCRC::GetCrcString(const char* buf, DWORD len) {
  std::string text = Signed(GetCrcNumber(buf, len));
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string qmCRC::GetCrcHexString(const char* buf, DWORD len) { return GetCrcString(buf, len); }

DWORD qmCRC::GetFileCRCNumber(const std::string& filename, DWORD64* file_len, DWORD64 dwbeing,
                              DWORD64 dwend) {
  DWORD crcRes = 0;
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  UniqueFd fd(open(filename.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  // Only files with a size can be read as a byte range; a directory, FIFO or
  // terminal counts as a file that cannot be opened.
  if (fd.valid() && fstat(fd.get(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    off_t end = lseek(fd.get(), 0, SEEK_END);
    if (end >= 0) {
      DWORD64 size = DWORD64(end);
      if (file_len) *file_len = size;
      // 0 as end means the end of the file; begin == end, even past it, is empty.
      if (dwend == 0 || dwend > size) dwend = size;
      if (dwbeing < dwend) {
        crc = crc32fast::UpdateFromFd(fd.get(), dwbeing, dwend, crc, nullptr);
        crcRes = GetFinallyCrC();
      }
    }
  }
  Reset();
  return crcRes;
}

std::string qmCRC::GetFileCRC(const std::string& filename, DWORD64* file_len, DWORD64 dwbeing,
                              DWORD64 dwend) {
  return Hex(GetFileCRCNumber(filename, file_len, dwbeing, dwend));
}

std::string qmCRC::GetFileCRCNum(const std::string& filename, DWORD64* file_len, DWORD64 dwbeing,
                                 DWORD64 dwend) {
  DWORD value = GetFileCRCNumber(filename, file_len, dwbeing, dwend);
  printf("qm crc:%u\n", value);
  return Unsigned(value);
}
