#include <gtest/gtest.h>
#include <sys/wait.h>

#include "ChildProcess.h"

TEST(ChildProcess, CapturesOutputAndStatus) {
  std::string out;
  int status = qmChildProcess::RunShell("printf 'a\\0b'; exit 3", &out);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(out, std::string("a\0b", 3));
}

TEST(ChildProcess, MissingProgramEndsWith127) {
  std::string out;
  int status = qmChildProcess::Run({"/nonexistent/program"}, &out);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 127);
  EXPECT_TRUE(out.empty());
}
