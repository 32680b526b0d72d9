// SafeVector: a vector with its own lock.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "SafeSTL.h"

TEST(SafeVectorTest, CopiesCarryElementsAndGetTheirOwnLock) {
  SafeVector<int, std::mutex> source;
  source.push_back(1);
  source.push_back(2);
  std::lock_guard<std::mutex> hold(source);

  SafeVector<int, std::mutex> copy(source);
  EXPECT_EQ(copy, (std::vector<int>{1, 2}));
  ASSERT_TRUE(copy.try_lock());  // not the source's lock, which is held
  copy.unlock();

  SafeVector<int, std::mutex> assigned;
  assigned.push_back(9);
  assigned = source;
  EXPECT_EQ(assigned, (std::vector<int>{1, 2}));
  ASSERT_TRUE(assigned.try_lock());
  assigned.unlock();

  SafeVector<int, std::mutex> moved(std::move(copy));
  EXPECT_EQ(moved, (std::vector<int>{1, 2}));
  ASSERT_TRUE(moved.try_lock());
  moved.unlock();
}
