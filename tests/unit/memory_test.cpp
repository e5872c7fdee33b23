// memory_test.cpp: the request budget: exact charges, no refunds, the
// boundary of the limit and the fatal exits it causes.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/unit/foundation_context.h"

namespace {

TEST(Memory, EveryAllocatorChargesExactlyTheRequestedSizeAndFreeingRefundsNothing) {
  FoundationContext c;
  const int64_t start = c.left();
  int64_t expected = start;
  auto charged = [&](int64_t n) { return (expected -= n) == c.left(); };
  void* a = bxAlloc(c.G, 1000);
  EXPECT_TRUE(charged(1000));
  auto* z = static_cast<unsigned char*>(bxAllocZero(c.G, 24));
  EXPECT_TRUE(charged(24));
  for (int i = 0; i < 24; ++i) EXPECT_EQ(0, z[i]);
  char* s = STRDUP(c.G, "hello");
  EXPECT_TRUE(charged(6));
  char* t = STRNDUP(c.G, "abcdef", 3);
  EXPECT_STREQ("abc", t);
  EXPECT_TRUE(charged(4));
  void* declared = bxAllocAs(c.G, 64, 16);   // the block is 64 bytes, 16 are charged
  EXPECT_TRUE(charged(16));
  std::pair<int, double>* r = bxNew<std::pair<int, double>>(c.G, 3, 2.5);
  EXPECT_TRUE(charged(sizeof *r));
  for (void* p : {a, static_cast<void*>(z), static_cast<void*>(s), static_cast<void*>(t), declared})
    bxFree(p);
  bxDelete(r);
  EXPECT_TRUE(charged(0)) << "freeing must not refund the budget";
}

// Freed small blocks are handed out again: every block must hold what was
// asked of it, whatever sizes were freed before, and charges stay as asked.
TEST(Memory, ReusedBlocksHoldTheRequestedSize) {
  FoundationContext c;
  std::mt19937 random(18);
  std::vector<std::pair<unsigned char*, size_t>> live;
  for (int k = 0; k < 20000; ++k) {
    if (!live.empty() && random() % 2 == 0) {
      const size_t i = random() % live.size();
      // Freed by its size, or by any size up to what was asked for.
      if (random() % 2 == 0) bxFree(live[i].first);
      else bxFreeSized(live[i].first, random() % (live[i].second + 1));
      live[i] = live.back();
      live.pop_back();
      continue;
    }
    const size_t n = random() % 160;
    const int64_t before = c.left();
    auto* p = static_cast<unsigned char*>(bxAlloc(c.G, n));
    ASSERT_GE(malloc_usable_size(p), n);
    ASSERT_EQ(before - static_cast<int64_t>(n), c.left());
    std::fill(p, p + n, static_cast<unsigned char>(k));
    live.emplace_back(p, n);
  }
  for (auto& [p, n] : live) bxFree(p);
}

using MemoryDeathTest = ::testing::Test;

// Exactly 0 left is allowed; one byte more ends the request, and the page
// text reaches the client although a capture is running. The error log
// receives one entry.
TEST_F(MemoryDeathTest, OneByteBeyondZeroOrARefusedAllocationEndsTheRequest) {
  const std::string log = ::testing::TempDir() + "braxel_memory_test.log";
  std::remove(log.c_str());
  EXPECT_EXIT(
      {
        FoundationContext c;
        c.errorPagesToStderr();
        c.G->serverInterface->X_Resource->errorlog = STRDUP(c.G, log.c_str());
        c.left() = 4096;
        std::vector<char> storage(1000);
        CaptureBuffer b = MakeCapture(storage.data(), storage.size());
        serverSendOutputToBuffer(c.G, &b);
        bxFree(bxAlloc(c.G, 4096));
        std::fputs("zero left\n", stderr);
        bxAlloc(c.G, 1);
      },
      ::testing::ExitedWithCode(1),
      "^zero left\n</table></table></table><p>braxel program exceeded memory limit\n$");
  std::ifstream in(log);
  std::stringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  EXPECT_TRUE(text.ends_with("] from: static, url: -, braxel program exceeded memory limit\n"))
      << text;
  EXPECT_EQ(1, std::count(text.begin(), text.end(), '['));
  std::remove(log.c_str());
  EXPECT_EXIT(
      {
        FoundationContext c;
        MALLOC_CHECK(c.G, nullptr);
      },
      ::testing::ExitedWithCode(1), "^\nMALLOC: Not enough memory\n$");
}

}  // namespace
