// The host's serial number from its real interfaces.
#include <dirent.h>
#include <gtest/gtest.h>

#include <string>

#include "host/HostSerial.h"

namespace {

size_t OpenDescriptors() {
  size_t n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

// Whatever this host's interfaces are, the answer has the serial number's form and the query
// socket is closed again.
TEST(HostSerial, AnswersTwelveHexDigitsAndClosesItsSocket) {
  size_t before = OpenDescriptors();
  std::string serial = getmac();
  EXPECT_EQ(OpenDescriptors(), before);
  ASSERT_EQ(serial.size(), 12u) << serial;
  EXPECT_EQ(serial.find_first_not_of("0123456789abcdef"), std::string::npos) << serial;
  EXPECT_EQ(getmac(), serial);
}

}  // namespace
