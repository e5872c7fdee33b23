// memory_test.cpp: the request budget: exact charges, no refunds, the
// boundary of the limit and the fatal exit it causes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/unit/foundation_context.h"
#include "tests/unit/testing.h"

namespace {

// ---- Charges --------------------------------------------------------------

TEST(MemoryCharge, AllocationsChargeExactlyTheRequestedSize) {
  FoundationContext c;
  const int64_t before = c.left();
  void* a = bxAlloc(c.G, 1000);
  EXPECT_EQ(before - 1000, c.left());
  void* b = bxAllocZero(c.G, 24);
  EXPECT_EQ(before - 1024, c.left());
  for (int i = 0; i < 24; ++i) EXPECT_EQ(0, static_cast<unsigned char*>(b)[i]);
  bxFree(a);
  bxFree(b);
  EXPECT_EQ(before - 1024, c.left()) << "freeing must not refund the budget";
}

TEST(MemoryCharge, TextCopiesChargeLengthPlusOne) {
  FoundationContext c;
  const int64_t before = c.left();
  char* s = STRDUP(c.G, "hello");
  EXPECT_STREQ("hello", s);
  EXPECT_EQ(before - 6, c.left());
  char* t = STRNDUP(c.G, "abcdef", 3);
  EXPECT_STREQ("abc", t);
  EXPECT_EQ(before - 10, c.left());
  char* e = STRDUP(c.G, "");
  EXPECT_STREQ("", e);
  EXPECT_EQ(before - 11, c.left());
  bxFree(s);
  bxFree(t);
  bxFree(e);
}

TEST(MemoryCharge, DeclaredChargeMayDifferFromTheBlockSize) {
  FoundationContext c;
  const int64_t before = c.left();
  char* p = static_cast<char*>(bxAllocAs(c.G, 64, 16));
  std::memset(p, 'x', 64);   // the whole block is usable
  EXPECT_EQ(before - 16, c.left());
  bxFree(p);
}

TEST(MemoryCharge, TypedRecordsAreChargedTheirSize) {
  FoundationContext c;
  struct Rec {
    int a;
    double b;
  };
  const int64_t before = c.left();
  Rec* r = bxNew<Rec>(c.G, 3, 2.5);
  EXPECT_EQ(3, r->a);
  EXPECT_EQ(2.5, r->b);
  EXPECT_EQ(before - static_cast<int64_t>(sizeof(Rec)), c.left());
  bxDelete(r);
}

TEST(MemoryStorage, TheStorageRecordHoldsOneBlockAndIsNotCharged) {
  FoundationContext c;
  ASSERT_NE(nullptr, c.G->Storage);
  ASSERT_NE(nullptr, c.G->Storage->blocks);
  EXPECT_EQ(nullptr, c.G->Storage->blocks->link);
  EXPECT_EQ(kStorageBlockBytes - sizeof(StorageBlock), c.G->Storage->blocks->size);
  const int64_t before = c.left();
  StorageFinalizeGV(c.G);
  StorageInitializeGV(c.G);
  EXPECT_EQ(before, c.left());
}

TEST(MemoryCharge, WideBudgetsWorkAsWritten) {
  // memlimit of 4096 MB: more than 32 bits can hold.
  FoundationContext c(int64_t{4096} * 1048576);
  EXPECT_EQ(int64_t{4096} * 1048576, c.left());
  void* p = bxAlloc(c.G, 1 << 20);
  EXPECT_EQ(int64_t{4095} * 1048576, c.left());
  bxFree(p);
}

// ---- The limit ------------------------------------------------------------

TEST(MemoryLimit, AnAllocationThatLeavesExactlyZeroIsAllowed) {
  FoundationContext c(4096);
  void* p = bxAlloc(c.G, 4096);
  EXPECT_EQ(0, c.left());
  void* q = bxAlloc(c.G, 0);   // nothing requested, nothing charged
  EXPECT_EQ(0, c.left());
  bxFree(p);
  bxFree(q);
}

using MemoryLimitDeathTest = ::testing::Test;

TEST_F(MemoryLimitDeathTest, OneByteMoreEndsTheRequest) {
  EXPECT_EXIT(
      {
        FoundationContext c(4096);
        c.errorPagesToStderr();
        bxFree(bxAlloc(c.G, 4096));
        bxAlloc(c.G, 1);
      },
      ::testing::ExitedWithCode(1),
      "</table></table></table><p>braxel program exceeded memory limit\n");
}

TEST_F(MemoryLimitDeathTest, FreeingDoesNotGiveBudgetBack) {
  // 100 kilobytes allocated and freed a hundred times exhaust 5 megabytes.
  EXPECT_EXIT(
      {
        FoundationContext c(5 * 1048576);
        c.errorPagesToStderr();
        for (int i = 0; i < 100; ++i) bxFree(bxAlloc(c.G, 100 * 1024));
      },
      ::testing::ExitedWithCode(1), "braxel program exceeded memory limit");
}

TEST_F(MemoryLimitDeathTest, TheMessageReachesTheClientDuringACapture) {
  EXPECT_EXIT(
      {
        FoundationContext c(100);
        c.errorPagesToStderr();
        std::vector<char> storage(1000);
        CaptureBuffer b = MakeCapture(storage.data(), storage.size());
        serverSendOutputToBuffer(c.G, &b);
        STRDUP(c.G, std::string(200, 'x').c_str());
      },
      ::testing::ExitedWithCode(1), "braxel program exceeded memory limit");
}

TEST_F(MemoryLimitDeathTest, ARefusedAllocationEndsTheRequest) {
  EXPECT_EXIT(
      {
        FoundationContext c;
        MALLOC_CHECK(c.G, nullptr);
      },
      ::testing::ExitedWithCode(1), "\nMALLOC: Not enough memory\n");
}

}  // namespace
