// system_test.cpp: dynamic arrays (size rounding, doubling, charges), the
// file layer and Log2/Exp2.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "support/arrays.h"
#include "tests/unit/foundation_context.h"

namespace {

// ---- Arrays ---------------------------------------------------------------

struct Sized {
  size_t elementSize;
  size_t countIn;
  size_t countOut;
  size_t bytes;
};

TEST(Arrays, ElementSizesAndCountsAreRoundedToWholeWords) {
  FoundationContext c;
  const Sized cases[] = {
      {1, 5, 8, 8},     // size 1 (odd): count to a multiple of 4
      {1, 8, 8, 8},
      {2, 3, 4, 8},     // size 2: count to an even number
      {3, 3, 3, 12},    // size 3 rounds to 4
      {4, 3, 3, 12},
      {5, 2, 2, 16},    // size 5 rounds to 8
      {6, 1, 1, 8},
      {13, 2, 2, 32},   // size 13 rounds to 16
  };
  for (const Sized& s : cases) {
    void* block = nullptr;
    size_t count = s.countIn;
    const int64_t before = c.left();
    MakeArray(c.G, &block, &count, s.elementSize);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(s.countOut, count) << "element size " << s.elementSize;
    EXPECT_EQ(before - static_cast<int64_t>(s.bytes), c.left()) << "element size " << s.elementSize;
    ReleaseArray(c.G, &block);
    EXPECT_EQ(nullptr, block);
  }
}

TEST(Arrays, ExtendDoublesAndKeepsTheContents) {
  FoundationContext c;
  int* block = nullptr;
  size_t count = 4;
  MakeArray(c.G, &block, &count);
  for (int i = 0; i < 4; ++i) block[i] = i * 11;
  const int64_t before = c.left();
  ExtendArray(c.G, &block, &count);
  EXPECT_EQ(8u, count);
  EXPECT_EQ(before - 32, c.left());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(i * 11, block[i]);
  block[7] = 5;
  ReleaseArray(c.G, &block);
}

// ---- Powers of two --------------------------------------------------------

TEST(PowersOfTwo, Log2AndExp2) {
  EXPECT_EQ(0, Log2(0));
  EXPECT_EQ(0, Log2(1));
  EXPECT_EQ(1, Log2(2));
  EXPECT_EQ(1, Log2(3));
  EXPECT_EQ(13, Log2(8448));
  EXPECT_EQ(8192ul, Exp2(Log2(8448)));
  EXPECT_EQ(31, Log2(0xffffffffUL));
  EXPECT_EQ(1ul, Exp2(0));
  EXPECT_EQ(2147483648ul, Exp2(31));
}

// ---- Files ----------------------------------------------------------------

TEST(FileLayer, StandardStreamsOccupyTheFirstSlots) {
  FoundationContext c;
  EXPECT_EQ(stdin, c.G->System->files[0]);
  EXPECT_EQ(stdout, c.G->System->files[1]);
  EXPECT_EQ(stderr, c.G->System->files[2]);
  EXPECT_TRUE(c.G->System->flags[2]);
  EXPECT_EQ(nullptr, c.G->System->files[3]);
  EXPECT_FALSE(c.G->System->flags[3]);
}

TEST(FileLayer, WriteReadAndRecordStreams) {
  FoundationContext c;
  char name[] = "/tmp/braxel_system_testXXXXXX";
  const int tmp = mkstemp(name);
  ASSERT_GE(tmp, 0);
  ::close(tmp);
  const int out = OpenOutput(c.G, name);
  ASSERT_GE(out, 0);
  EXPECT_EQ(5, Write(out, "hello", 5));
  Close(out);
  const int in = OpenInput(c.G, name);
  ASSERT_GE(in, 0);
  char buffer[16] = {};
  EXPECT_EQ(5, Read(in, buffer, sizeof buffer));
  EXPECT_STREQ("hello", buffer);
  EXPECT_FALSE(IsCharacterSpecial(in));
  Close(in);

  FILE* f = std::fopen(name, "r");
  ASSERT_NE(nullptr, f);
  const int fd = dbhFileToInt(c.G, f);
  EXPECT_EQ(fileno(f), fd);
  EXPECT_EQ(f, c.G->System->files[fd]);
  std::fclose(f);
  std::remove(name);

  EXPECT_LT(OpenInput(c.G, "/nonexistent/braxel/file"), 0);
  const int null = OpenInput(c.G, "/dev/null");
  ASSERT_GE(null, 0);
  EXPECT_TRUE(IsCharacterSpecial(null));
  Close(null);
}

}  // namespace
