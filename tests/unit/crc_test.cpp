#include "CRC.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "Crc32Fast.h"
#include "ScratchDir.h"
#include "UniqueFd.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Bit at a time, sharing nothing with the code under test.
uint32_t ReferenceUpdate(uint32_t reg, const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    reg ^= p[i];
    for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ ((reg & 1) ? 0xEDB88320u : 0);
  }
  return reg;
}

uint32_t ReferenceCrc(const unsigned char* p, size_t n) {
  return ~ReferenceUpdate(0xFFFFFFFF, p, n);
}

Bytes RandomBytes(size_t n, std::mt19937& rng) {
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng());
  return b;
}

// ---- Known answers and the text forms ----

struct KnownAnswer {
  std::string input;
  DWORD value;
  std::string signed_text;
};

TEST(CrcKnownAnswers, NumberAndSignedTextForms) {
  const KnownAnswer cases[] = {
      {"", 0, "0"},
      {"123456789", 0xCBF43926, "-873187034"},
      {"a", 0xE8B7BE43, "-390611389"},
      {"x31", 0x001685F0, "1476080"},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339, "1095738169"},
  };
  qmCRC crc;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const char* data = c.input.data();
    DWORD len = static_cast<DWORD>(c.input.size());
    EXPECT_EQ(crc.GetCrcNumber(data, len), c.value);
    EXPECT_EQ(crc.GetCrcString(data, len), c.signed_text);
    EXPECT_EQ(crc.GetCrcHexString(data, len), c.signed_text);
    EXPECT_EQ(crc.GetFinallyCrC(), 0u) << "register not back at its preset";
  }
}

class ReflectProbe : public qmCRC {
 public:
  using qmCRC::Reflect;
};

TEST(CrcKnownAnswers, ReflectReversesTheLowBitsOnly) {
  struct Case {
    DWORD ref;
    char bits;
    DWORD want;
  };
  const Case cases[] = {
      {0x01, 8, 0x80}, {0x1F0, 8, 0x0F}, {0x80000000, 32, 0x00000001}, {0x12345678, 32, 0x1E6A2C48},
      {0xFF, 0, 0},
  };
  ReflectProbe probe;
  for (const auto& c : cases) EXPECT_EQ(probe.Reflect(c.ref, c.bits), c.want) << std::hex << c.ref;
}

// ---- The register across calls ----

TEST(CrcRegister, StreamingPiecesEqualsOneCall) {
  qmCRC crc;
  unsigned char a[] = "1234", b[] = "56789";
  crc.Reset();
  EXPECT_TRUE(crc.GetPartCRC(a, 4));
  EXPECT_TRUE(crc.GetPartCRC(b, 5));
  EXPECT_EQ(crc.GetFinallyCrC(), 0xCBF43926u);
  EXPECT_EQ(crc.GetFinallyCrC(), 0xCBF43926u) << "GetFinallyCrC changed the register";
  crc.Reset();
  EXPECT_EQ(crc.GetFinallyCrC(), 0u);
}

TEST(CrcRegister, PendingPiecesCarryIntoTheNextComputation) {
  qmCRC crc;
  unsigned char a[] = "1234";
  crc.GetPartCRC(a, 4);
  EXPECT_EQ(crc.GetCrcNumber("56789", 5), 0xCBF43926u);
  EXPECT_EQ(crc.GetCrcNumber("123456789", 9), 0xCBF43926u);
}

TEST(CrcRegister, RandomSplitsThroughGetPartCrc) {
  std::mt19937 rng(7);
  qmCRC crc;
  for (int trial = 0; trial < 200; ++trial) {
    Bytes data = RandomBytes(rng() % 20000, rng);
    crc.Reset();
    for (size_t pos = 0; pos < data.size();) {
      size_t piece = std::min<size_t>(data.size() - pos, rng() % (trial % 2 ? 40 : 3000));
      crc.GetPartCRC(data.data() + pos, static_cast<DWORD>(piece));
      pos += piece;
    }
    ASSERT_EQ(crc.GetFinallyCrC(), ReferenceCrc(data.data(), data.size())) << "trial " << trial;
  }
}

// ---- Every kernel against the reference ----

class CrcKernel : public ::testing::TestWithParam<crc32fast::Kernel> {
 protected:
  void SetUp() override {
    if (!crc32fast::KernelAvailable(GetParam())) GTEST_SKIP() << "not on this processor";
  }
  uint32_t Run(uint32_t reg, const unsigned char* p, size_t n) {
    return crc32fast::UpdateWith(GetParam(), reg, p, n);
  }
};

TEST_P(CrcKernel, EveryLengthAtRandomAlignments) {
  std::mt19937 rng(1);
  Bytes data = RandomBytes(1024, rng);
  for (size_t len = 0; len <= 700; ++len) {
    for (int round = 0; round < 3; ++round) {
      size_t offset = rng() % 64;
      uint32_t reg = rng();
      ASSERT_EQ(Run(reg, data.data() + offset, len),
                ReferenceUpdate(reg, data.data() + offset, len))
          << "length " << len << " offset " << offset;
    }
  }
}

TEST_P(CrcKernel, RandomSplits) {
  std::mt19937 rng(2);
  for (int trial = 0; trial < 300; ++trial) {
    Bytes data = RandomBytes(rng() % 9000, rng);
    const size_t max_piece = trial % 3 == 0 ? 20 : trial % 3 == 1 ? 700 : 9000;
    uint32_t reg = 0xFFFFFFFF;
    for (size_t pos = 0; pos < data.size();) {
      size_t piece = std::min<size_t>(data.size() - pos, rng() % (max_piece + 1));
      reg = Run(reg, data.data() + pos, piece);
      pos += piece;
    }
    ASSERT_EQ(reg, ReferenceUpdate(0xFFFFFFFF, data.data(), data.size())) << "trial " << trial;
  }
}

TEST_P(CrcKernel, LargeBuffers) {
  std::mt19937 rng(3);
  Bytes data = RandomBytes((1 << 20) + 64, rng);
  for (size_t len : {size_t(1) << 20, (size_t(1) << 20) + 13, size_t(3 * 65536 + 255)}) {
    for (size_t offset : {0, 1, 33}) {
      ASSERT_EQ(Run(0x12345678, data.data() + offset, len),
                ReferenceUpdate(0x12345678, data.data() + offset, len))
          << "length " << len << " offset " << offset;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, CrcKernel,
                         ::testing::Values(crc32fast::Kernel::Auto, crc32fast::Kernel::Portable,
                                           crc32fast::Kernel::Pclmul,
                                           crc32fast::Kernel::Vpclmul512),
                         [](const ::testing::TestParamInfo<crc32fast::Kernel>& info) {
                           switch (info.param) {
                             case crc32fast::Kernel::Auto:
                               return std::string("Auto");
                             case crc32fast::Kernel::Portable:
                               return std::string("Portable");
                             case crc32fast::Kernel::Pclmul:
                               return std::string("Pclmul");
                             case crc32fast::Kernel::Vpclmul512:
                               return std::string("Vpclmul512");
                           }
                           return std::string("Unknown");
                         });

// ---- Files ----

class CrcFile : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) { return scratch_ / name; }
  std::string Write(const std::string& name, const Bytes& data) {
    std::string path = Path(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    return path;
  }
  std::string Write(const std::string& name, const std::string& text) {
    return Write(name, Bytes(text.begin(), text.end()));
  }

  ScratchDir scratch_{"crc_test"};
};

TEST_F(CrcFile, TextFormsAndPrintedLine) {
  qmCRC crc;
  std::string check = Write("check", "123456789");
  std::string low = Write("low", "x31");
  EXPECT_EQ(crc.GetFileCRC(check, nullptr, 0, 0), "CBF43926");
  EXPECT_EQ(crc.GetFileCRC(low, nullptr, 0, 0), "1685F0");
  testing::internal::CaptureStdout();
  std::string num = crc.GetFileCRCNum(check, nullptr, 0, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "qm crc:3421780262\n");
  EXPECT_EQ(num, "3421780262");
}

// Ranges over a file of several read blocks; one object for all rows, so each
// row also checks that the previous one left the register preset.
TEST_F(CrcFile, Ranges) {
  std::mt19937 rng(4);
  const Bytes data = RandomBytes(3 * 262144 + 12345, rng);
  const DWORD64 size = data.size();
  std::string path = Write("data", data);
  struct Case {
    DWORD64 begin, end;  // arguments
    DWORD64 from, to;    // the bytes covered; from == to gives 0
  };
  const Case cases[] = {
      {0, 0, 0, size},                   // 0 and 0: the whole file
      {0, size + 1000, 0, size},         // end cut to the size
      {100, 0, 100, size},               // 0 as end: up to the end
      {0, 8192, 0, 8192},                // one block
      {0, 8193, 0, 8193},                // a block and one byte
      {262143, 524289, 262143, 524289},  // across read chunks
      {1, size - 1, 1, size - 1},
      {7, 7, 0, 0},                // begin equal to a non-zero end
      {300, 200, 0, 0},            // begin after end
      {size, 0, 0, 0},             // begin at the end
      {size + 5, size + 9, 0, 0},  // begin beyond the end
  };
  qmCRC crc;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "begin " << c.begin << " end " << c.end);
    DWORD64 file_len = 1;
    DWORD want = c.from == c.to ? 0 : ReferenceCrc(data.data() + c.from, c.to - c.from);
    EXPECT_EQ(crc.GetFileCRCNumber(path, &file_len, c.begin, c.end), want);
    EXPECT_EQ(file_len, size);
  }
}

TEST_F(CrcFile, UnreadableInputGivesZeroAndLeavesTheSizeAlone) {
  std::string missing = Path("missing");
  std::string dir = Path("dir");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  std::string fifo = Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string locked = Write("locked", "123456789");
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  const bool root = geteuid() == 0;
  struct Case {
    std::string path;
    bool skip;
  };
  const Case cases[] = {{missing, false}, {dir, false}, {fifo, false}, {locked, root}};
  qmCRC crc;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.skip) {
      std::printf("[ SKIPPED  ] %s: permissions do not bind root\n", c.path.c_str());
      continue;
    }
    DWORD64 file_len = 77;
    EXPECT_EQ(crc.GetFileCRCNumber(c.path, &file_len, 0, 0), 0u);
    EXPECT_EQ(file_len, 77u);
    EXPECT_EQ(crc.GetFileCRC(c.path, nullptr, 0, 0), "0");
  }
  EXPECT_EQ(crc.GetCrcNumber("123456789", 9), 0xCBF43926u);
}

TEST_F(CrcFile, EmptyFileGivesZeroAndStoresSizeZero) {
  std::string empty = Write("empty", "");
  qmCRC crc;
  DWORD64 file_len = 77;
  EXPECT_EQ(crc.GetFileCRCNumber(empty, &file_len, 0, 0), 0u);
  EXPECT_EQ(file_len, 0u);
}

// A file that ends early or a read that fails keeps the whole 8192-byte
// blocks (counted from the start of the range) before the failure.
TEST_F(CrcFile, ReadFailureKeepsTheBlocksBeforeIt) {
  std::mt19937 rng(5);
  const Bytes data = RandomBytes(20000, rng);
  std::string path = Write("short", data);
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd write_only(open(path.c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(fd.valid() && write_only.valid());
  struct Case {
    int fd;
    uint64_t begin, end;
    bool complete;
    size_t from, to;
  };
  const Case cases[] = {
      {fd.get(), 0, 20000, true, 0, 20000},      {fd.get(), 0, 30000, false, 0, 16384},
      {fd.get(), 100, 30000, false, 100, 16484}, {fd.get(), 0, 1000000, false, 0, 16384},
      {fd.get(), 25000, 30000, false, 0, 0},     {write_only.get(), 0, 20000, false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "begin " << c.begin << " end " << c.end);
    bool complete = !c.complete;
    uint32_t reg = crc32fast::UpdateFromFd(c.fd, c.begin, c.end, 0xFFFFFFFF, &complete);
    EXPECT_EQ(complete, c.complete);
    EXPECT_EQ(reg, ReferenceUpdate(0xFFFFFFFF, data.data() + c.from, c.to - c.from));
  }
}

}  // namespace
