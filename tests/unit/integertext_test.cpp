// integertext_test.cpp: integers written without printf read as "%d" writes
// them, at every digit count and at both ends of the range.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "values/strings.h"

namespace {

void expectLikePrintf(int32_t i) {
  char expected[32];
  std::snprintf(expected, sizeof expected, "%d", i);
  char buf[kIntegerTextSize];
  const int n = IntegerText(i, buf);
  EXPECT_EQ(std::string(expected), std::string(buf)) << i;
  EXPECT_EQ(static_cast<int>(std::string(expected).size()), n) << i;
}

TEST(IntegerText, WritesWhatPrintfWrites) {
  for (int32_t i : {0, 1, -1, INT32_MAX, INT32_MIN, INT32_MIN + 1}) expectLikePrintf(i);
  for (int64_t p = 1; p <= 1000000000; p *= 10)
    for (int64_t d : {-1, 0, 1})
      for (int64_t sign : {1, -1}) expectLikePrintf(static_cast<int32_t>(sign * (p + d)));
  std::mt19937 random(18);
  for (int k = 0; k < 100000; ++k) expectLikePrintf(static_cast<int32_t>(random()));
}

}  // namespace
