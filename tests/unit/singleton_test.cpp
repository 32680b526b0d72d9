// SingletonBase: one object per class, from any thread, with its class's name.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "SingletonBase.h"
#include "ToolHelper.h"

namespace sample {
class Widget : public SingletonBase<Widget> {};
}  // namespace sample

TEST(Singleton, OneObjectWithItsReadableNameAcrossThreads) {
  qmToolHelper* seen[8] = {};
  std::string names[8];
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      seen[i] = &SingletonBase<qmToolHelper>::Instance();
      names[i] = seen[i]->GetClassName();
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(seen[i], &SingletonBase<qmToolHelper>::Instance());
    EXPECT_EQ(names[i], "qmToolHelper");
  }
  EXPECT_STREQ(SingletonBase<sample::Widget>::Instance().GetClassName(), "sample::Widget");
}
