// CRC-32 (reflected, polynomial 0x04C11DB7, as zlib and IEEE 802.3) of memory
// buffers, streams of buffers and files, with its three text forms.
#pragma once

#include <cstdint>
#include <string>

#include "def_linux/GlobalDef.h"

typedef uint64_t DWORD64;

class qmCRC {
 public:
  qmCRC();
  virtual ~qmCRC();

  void Reset();
  void InitCrc();
  bool GetPartCRC(unsigned char* csData, DWORD dwSize);
  DWORD GetFinallyCrC();
  DWORD GetCrcNumber(const char* buf, DWORD len);
  std::string GetCrcString(const char* buf, DWORD len);
  std::string GetCrcHexString(const char* buf, DWORD len);
  DWORD GetFileCRCNumber(const std::string& filename, DWORD64* file_len, DWORD64 dwbeing,
                         DWORD64 dwend);
  std::string GetFileCRC(const std::string& filename, DWORD64* file_len, DWORD64 dwbeing,
                         DWORD64 dwend);
  std::string GetFileCRCNum(const std::string& filename, DWORD64* file_len, DWORD64 dwbeing,
                            DWORD64 dwend);

 protected:
  void Init_CRC32_Table();
  DWORD Reflect(DWORD ref, char ch);

 private:
  DWORD crc;
  DWORD m_crc32_table[256];
  bool m_crc_init;
};
