// system_test.cpp: dynamic arrays (size rounding, doubling, charges), the
// file layer's descriptors and Log2/Exp2.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "support/arrays.h"
#include "tests/unit/foundation_context.h"

namespace {

TEST(Arrays, SizesAndCountsAreRoundedToWholeWordsExtendDoublesAndPowersOfTwo) {
  FoundationContext c;
  struct Sized { size_t elementSize, countIn, countOut, bytes; };
  // Odd sizes: count to a multiple of 4; 2 mod 4: to an even count; sizes
  // round to 1, 2, 4 or a multiple of 4.
  for (const Sized& s : {Sized{1, 5, 8, 8}, Sized{2, 3, 4, 8}, Sized{3, 3, 3, 12},
                         Sized{5, 2, 2, 16}, Sized{6, 1, 1, 8}, Sized{13, 2, 2, 32}}) {
    void* block = nullptr;
    size_t count = s.countIn;
    const int64_t before = c.left();
    MakeArray(c.G, &block, &count, s.elementSize);
    EXPECT_EQ(s.countOut, count) << s.elementSize;
    EXPECT_EQ(before - static_cast<int64_t>(s.bytes), c.left()) << s.elementSize;
    ReleaseArray(c.G, &block);
  }
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
  EXPECT_EQ(nullptr, block);
  // Log2 and Exp2
  EXPECT_EQ(0, Log2(0));
  EXPECT_EQ(0, Log2(1));
  EXPECT_EQ(1, Log2(3));
  EXPECT_EQ(8192ul, Exp2(Log2(8448)));
  EXPECT_EQ(31, Log2(0xffffffffUL));
  EXPECT_EQ(2147483648ul, Exp2(31));
}

// No command a template starts may inherit the descriptors of the files
// the template reads.
TEST(FileLayer, InputDescriptorsCloseOnExec) {
  FoundationContext c;
  const int in = OpenInput(c.G, "/dev/null");
  ASSERT_GE(in, 0);
  EXPECT_NE(0, fcntl(in, F_GETFD) & FD_CLOEXEC);
  Close(in);
  EXPECT_LT(OpenInput(c.G, "/nonexistent/braxel/file"), 0);
}

}  // namespace
