// sets_test.cpp: bit sets: bit layout at word boundaries, the set algebra,
// complement over a partial last word, bounds and counts, reading.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "support/sets.h"
#include "tests/unit/foundation_context.h"

namespace {

// A set over 0..max with the given elements.
struct TestSet {
  FoundationContext* c;
  BitSet s{};
  TestSet(FoundationContext& ctx, uint16_t max, std::initializer_list<int> elements) : c(&ctx) {
    MakeSet(c->G, &s, max);
    for (int e : elements) SetsInclude(&s, static_cast<uint16_t>(e));
  }
  ~TestSet() { ReleaseSet(c->G, &s); }
  TestSet(const TestSet&) = delete;
  TestSet& operator=(const TestSet&) = delete;
};

std::vector<int> elementsOf(const BitSet* s) {
  std::vector<int> out;
  for (int e = 0; e <= s->maxElement; ++e)
    if (IsElement(s, static_cast<uint16_t>(e))) out.push_back(e);
  return out;
}

std::vector<int> visited;
void record(uint16_t e) { visited.push_back(e); }
bool isEven(uint16_t e) { return e % 2 == 0; }
bool isSeven(uint16_t e) { return e == 7; }

// ---- Layout ---------------------------------------------------------------

TEST(Sets, ElementZeroIsTheTopBitOfTheFirstWord) {
  FoundationContext c;
  TestSet a(c, 100, {0, 31, 32, 63, 64, 100});
  EXPECT_EQ(3, a.s.lastWord);
  EXPECT_EQ(0x80000001u, a.s.words[0]);
  EXPECT_EQ(0x80000001u, a.s.words[1]);
  EXPECT_EQ(0x80000000u, a.s.words[2]);
  EXPECT_EQ(1u << (31 - 100 % 32), a.s.words[3]);
  EXPECT_EQ((std::vector<int>{0, 31, 32, 63, 64, 100}), elementsOf(&a.s));
}

TEST(Sets, WordCountCoversMaxElement) {
  FoundationContext c;
  TestSet a(c, 31, {});
  TestSet b(c, 32, {});
  TestSet z(c, 0, {});
  EXPECT_EQ(0, a.s.lastWord);
  EXPECT_EQ(1, b.s.lastWord);
  EXPECT_EQ(0, z.s.lastWord);
  EXPECT_TRUE(IsEmpty(&z.s));
  SetsInclude(&z.s, 0);
  EXPECT_FALSE(IsEmpty(&z.s));
  EXPECT_EQ(1, Card(&z.s));
}

TEST(Sets, ElementsOutsideTheRangeAreIgnored) {
  FoundationContext c;
  TestSet a(c, 40, {41, 63});
  EXPECT_TRUE(IsEmpty(&a.s));
  EXPECT_FALSE(IsElement(&a.s, 41));
}

// ---- Algebra --------------------------------------------------------------

TEST(Sets, BinaryOperationsAcrossWordBoundaries) {
  FoundationContext c;
  TestSet a(c, 95, {1, 31, 32, 64});
  TestSet b(c, 95, {31, 32, 33, 95});
  TestSet t(c, 95, {});

  Assign(&t.s, &a.s);
  Union(&t.s, &b.s);
  EXPECT_EQ((std::vector<int>{1, 31, 32, 33, 64, 95}), elementsOf(&t.s));
  EXPECT_EQ(6, Card(&t.s));
  EXPECT_EQ(1, Minimum(&t.s));
  EXPECT_EQ(95, Maximum(&t.s));

  Assign(&t.s, &a.s);
  Intersection(&t.s, &b.s);
  EXPECT_EQ((std::vector<int>{31, 32}), elementsOf(&t.s));
  EXPECT_EQ(2, Card(&t.s));
  EXPECT_EQ(31, Minimum(&t.s));
  EXPECT_EQ(32, Maximum(&t.s));

  Assign(&t.s, &a.s);
  Difference(&t.s, &b.s);
  EXPECT_EQ((std::vector<int>{1, 64}), elementsOf(&t.s));
  EXPECT_EQ(2, Card(&t.s));

  Assign(&t.s, &a.s);
  SymDiff(&t.s, &b.s);
  EXPECT_EQ((std::vector<int>{1, 33, 64, 95}), elementsOf(&t.s));
  EXPECT_EQ(4, Card(&t.s));
  EXPECT_EQ(95, Maximum(&t.s));
}

TEST(Sets, ComplementOfTheEmptySetOver66HoldsExactly0To66) {
  FoundationContext c;
  TestSet a(c, 66, {});
  Complement(&a.s);
  std::vector<int> all;
  for (int e = 0; e <= 66; ++e) all.push_back(e);
  EXPECT_EQ(all, elementsOf(&a.s));
  EXPECT_EQ(67, Card(&a.s));
  EXPECT_EQ(0u, a.s.words[2] & ~(~0u << (31 - 66 % 32))) << "bits above maxElement cleared";
  EXPECT_EQ(0, Minimum(&a.s));
  EXPECT_EQ(66, Maximum(&a.s));
}

TEST(Sets, ComplementUsesAKnownCount) {
  FoundationContext c;
  TestSet a(c, 66, {5, 40});
  EXPECT_EQ(2, Card(&a.s));
  Complement(&a.s);
  EXPECT_EQ(65, a.s.cachedCount);
  EXPECT_EQ(65, Card(&a.s));
  EXPECT_FALSE(IsElement(&a.s, 5));
  EXPECT_FALSE(IsElement(&a.s, 40));
  Complement(&a.s);
  EXPECT_EQ((std::vector<int>{5, 40}), elementsOf(&a.s));
}

TEST(Sets, ExtractTakesTheSmallestElement) {
  FoundationContext c;
  TestSet a(c, 20, {9, 3});
  EXPECT_EQ(3, Extract(&a.s));
  EXPECT_EQ((std::vector<int>{9}), elementsOf(&a.s));
  EXPECT_EQ(9, Extract(&a.s));
  EXPECT_TRUE(IsEmpty(&a.s));
  EXPECT_EQ(0, Card(&a.s));
}

TEST(Sets, ExcludeKeepsTheBoundsTrue) {
  FoundationContext c;
  TestSet a(c, 200, {10, 11, 150});
  Exclude(&a.s, 10);
  EXPECT_EQ(11, Minimum(&a.s));
  Exclude(&a.s, 150);
  EXPECT_EQ(11, Maximum(&a.s));
  EXPECT_EQ(1, Card(&a.s));
  Exclude(&a.s, 11);
  EXPECT_TRUE(IsEmpty(&a.s));
  EXPECT_EQ(0, Minimum(&a.s));
  EXPECT_EQ(0, Maximum(&a.s));
}

TEST(Sets, CountsFollowChanges) {
  FoundationContext c;
  TestSet a(c, 70, {});
  EXPECT_EQ(0, Card(&a.s));
  SetsInclude(&a.s, 70);
  SetsInclude(&a.s, 70);
  EXPECT_EQ(1, Card(&a.s));
  AssignElmt(&a.s, 33);
  EXPECT_EQ(1, Card(&a.s));
  EXPECT_EQ((std::vector<int>{33}), elementsOf(&a.s));
  AssignEmpty(&a.s);
  EXPECT_EQ(0, Card(&a.s));
  EXPECT_EQ(70, a.s.lowBound);
  EXPECT_EQ(0, a.s.highBound);
}

TEST(Sets, SubsetAndEquality) {
  FoundationContext c;
  TestSet a(c, 64, {1, 64});
  TestSet b(c, 64, {1, 32, 64});
  TestSet e(c, 64, {});
  EXPECT_TRUE(IsSubset(&a.s, &b.s));
  EXPECT_FALSE(IsSubset(&b.s, &a.s));
  EXPECT_TRUE(IsSubset(&e.s, &a.s));
  EXPECT_FALSE(IsEqual(&a.s, &b.s));
  Exclude(&b.s, 32);
  EXPECT_TRUE(IsEqual(&a.s, &b.s));
}

// ---- Iteration ------------------------------------------------------------

TEST(Sets, PredicatesAndIteration) {
  FoundationContext c;
  TestSet a(c, 99, {98, 2, 64, 7});
  TestSet e(c, 99, {});
  visited.clear();
  ForallDo(&a.s, record);
  EXPECT_EQ((std::vector<int>{2, 7, 64, 98}), visited);
  EXPECT_FALSE(Forall(&a.s, isEven));
  EXPECT_TRUE(Exists(&a.s, isEven));
  EXPECT_FALSE(Exists1(&a.s, isEven));
  EXPECT_TRUE(Exists1(&a.s, isSeven));
  Exclude(&a.s, 7);
  EXPECT_TRUE(Forall(&a.s, isEven));
  EXPECT_FALSE(Exists1(&a.s, isSeven));
  EXPECT_TRUE(Forall(&e.s, isSeven));
  EXPECT_FALSE(Exists(&e.s, isEven));
  EXPECT_FALSE(Exists1(&e.s, isEven));
}

// ---- Reading --------------------------------------------------------------

TEST(Sets, ReadSetReadsTheBracedList) {
  FoundationContext c;
  TestSet a(c, 50, {1});
  FILE* f = std::tmpfile();
  ASSERT_NE(nullptr, f);
  std::fputs("junk { 3 40 , 7 40 99 } 12", f);
  std::rewind(f);
  ReadSet(f, &a.s);
  EXPECT_EQ((std::vector<int>{3, 7, 40}), elementsOf(&a.s));
  EXPECT_EQ(3, a.s.cachedCount);
  std::fclose(f);
}

}  // namespace
