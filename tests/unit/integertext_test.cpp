// integertext_test.cpp: numbers written without printf read as printf writes
// them: integers as "%d" at every digit count and at both ends of the range,
// Reals as "%.Nf" (rounding ties, tiny and negative values, the range's end).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

void expectFixedLikePrintf(double x, int decimals) {
  char expected[64];
  std::snprintf(expected, sizeof expected, "%.*f", decimals, x);
  char buf[kFixedTextSize];
  const int n = FixedText(x, decimals, buf);
  ASSERT_GE(n, 0) << x;
  EXPECT_EQ(std::string(expected), std::string(buf)) << x << " " << decimals;
  EXPECT_EQ(static_cast<int>(std::strlen(expected)), n);
}

TEST(FixedText, WritesWhatPrintfWrites) {
  for (int d = 0; d <= 9; ++d) {
    for (double x : {0.0, -0.0, 0.5, 1.5, 2.5, -0.5, 0.125, 0.375, 1.005, 2.675, 0.045, 1e-300,
                     5e-324, -1e-7, 999999999.99999, 123456.789, 0.1, 0.7, 1.25, 1.0 / 3})
      expectFixedLikePrintf(x, d);
    // ties at the last decimal: k / 2^j with few bits
    for (int j = 1; j <= 12; ++j)
      for (int k = 1; k < 64; k += 2) expectFixedLikePrintf(std::ldexp(k, -j), d);
  }
  std::mt19937_64 random(18);
  for (int k = 0; k < 200000; ++k) {
    double x = 0;
    const uint64_t bits = random();
    std::memcpy(&x, &bits, sizeof x);
    if (!std::isfinite(x) || std::fabs(x) >= 1e9) x = std::ldexp(static_cast<double>(bits >> 11), -int(bits % 80));
    if (std::fabs(x) >= 1e9) continue;
    expectFixedLikePrintf(x, static_cast<int>(random() % 10));
  }
  char buf[kFixedTextSize];
  EXPECT_EQ(FixedText(1e9, 2, buf), -1);
  EXPECT_EQ(FixedText(NAN, 2, buf), -1);
  EXPECT_EQ(FixedText(1.0, 10, buf), -1);
}

}  // namespace
