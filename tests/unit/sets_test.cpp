// sets_test.cpp: bit sets: bit layout at word boundaries, the set algebra,
// complement over a partial last word, bounds and counts, reading.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "support/sets.h"
#include "tests/unit/foundation_context.h"

namespace {

using Elements = std::vector<int>;

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

Elements elementsOf(const BitSet* s) {
  Elements out;
  for (int e = 0; e <= s->maxElement; ++e)
    if (IsElement(s, static_cast<uint16_t>(e))) out.push_back(e);
  return out;
}

Elements visited;
void record(uint16_t e) { visited.push_back(e); }
bool isEven(uint16_t e) { return e % 2 == 0; }
bool isSeven(uint16_t e) { return e == 7; }

TEST(Sets, ElementZeroIsTheTopBitOfTheFirstWordAndTheWordsCoverMaxElement) {
  FoundationContext c;
  TestSet a(c, 100, {0, 31, 32, 63, 64, 100, 101});   // 101 lies outside
  EXPECT_EQ(3, a.s.lastWord);
  EXPECT_EQ(0x80000001u, a.s.words[0]);
  EXPECT_EQ(0x80000001u, a.s.words[1]);
  EXPECT_EQ(0x80000000u, a.s.words[2]);
  EXPECT_EQ(1u << 27, a.s.words[3]);
  EXPECT_EQ(6, Card(&a.s));
  TestSet w31(c, 31, {}), w32(c, 32, {}), zero(c, 0, {});
  EXPECT_EQ(0, w31.s.lastWord);
  EXPECT_EQ(1, w32.s.lastWord);
  EXPECT_TRUE(IsEmpty(&zero.s));
  SetsInclude(&zero.s, 0);
  EXPECT_FALSE(IsEmpty(&zero.s));
  EXPECT_EQ(1, Card(&zero.s));
}

TEST(Sets, BinaryOperationsAcrossWordBoundaries) {
  FoundationContext c;
  TestSet a(c, 95, {1, 31, 32, 64});
  TestSet b(c, 95, {31, 32, 33, 95});
  TestSet t(c, 95, {});
  struct Case {
    void (*op)(BitSet*, const BitSet*);
    Elements result;
  };
  for (const Case& k : {Case{Union, {1, 31, 32, 33, 64, 95}}, Case{Intersection, {31, 32}},
                        Case{Difference, {1, 64}}, Case{SymDiff, {1, 33, 64, 95}}}) {
    Assign(&t.s, &a.s);
    k.op(&t.s, &b.s);
    EXPECT_EQ(k.result, elementsOf(&t.s));
    EXPECT_EQ(static_cast<int>(k.result.size()), Card(&t.s));
    EXPECT_EQ(k.result.front(), Minimum(&t.s));
    EXPECT_EQ(k.result.back(), Maximum(&t.s));
  }
  TestSet d(c, 95, {40});
  Intersection(&d.s, &a.s);   // disjoint: the bounds cross
  EXPECT_TRUE(IsEmpty(&d.s));
  EXPECT_EQ(0, Card(&d.s));

  TestSet sub(c, 95, {1, 64});
  EXPECT_TRUE(IsSubset(&sub.s, &a.s));
  EXPECT_FALSE(IsSubset(&a.s, &sub.s));
  EXPECT_FALSE(IsEqual(&a.s, &sub.s));
  Exclude(&a.s, 31);
  Exclude(&a.s, 32);
  EXPECT_TRUE(IsEqual(&a.s, &sub.s));
}

TEST(Sets, ComplementOverAPartialLastWord) {
  FoundationContext c;
  TestSet a(c, 66, {});
  Complement(&a.s);
  Elements all;
  for (int e = 0; e <= 66; ++e) all.push_back(e);
  EXPECT_EQ(all, elementsOf(&a.s));
  EXPECT_EQ(0xE0000000u, a.s.words[2]) << "bits above maxElement cleared";
  EXPECT_EQ(67, Card(&a.s));
  EXPECT_EQ(66, Maximum(&a.s));

  TestSet b(c, 66, {5, 40});
  EXPECT_EQ(2, Card(&b.s));
  Complement(&b.s);
  EXPECT_EQ(65, b.s.cachedCount) << "a known count is carried over";
  Complement(&b.s);
  EXPECT_EQ((Elements{5, 40}), elementsOf(&b.s));
}

TEST(Sets, ExtractExcludeAndTheBounds) {
  FoundationContext c;
  TestSet a(c, 20, {9, 3});
  EXPECT_EQ(3, Extract(&a.s));
  EXPECT_EQ((Elements{9}), elementsOf(&a.s));
  EXPECT_EQ(9, Extract(&a.s));
  EXPECT_TRUE(IsEmpty(&a.s));
  EXPECT_EQ(0, Minimum(&a.s));

  TestSet b(c, 200, {10, 11, 150});
  Exclude(&b.s, 10);
  EXPECT_EQ(11, Minimum(&b.s));
  Exclude(&b.s, 150);
  EXPECT_EQ(11, Maximum(&b.s));
  EXPECT_EQ(1, Card(&b.s));
  AssignElmt(&b.s, 33);
  EXPECT_EQ((Elements{33}), elementsOf(&b.s));
  EXPECT_EQ(1, b.s.cachedCount);
  AssignEmpty(&b.s);
  EXPECT_EQ(200, b.s.lowBound);
  EXPECT_EQ(0, b.s.highBound);
}

TEST(Sets, PredicatesAndIteration) {
  FoundationContext c;
  TestSet a(c, 99, {98, 2, 64, 7});
  TestSet e(c, 99, {});
  visited.clear();
  ForallDo(&a.s, record);
  EXPECT_EQ((Elements{2, 7, 64, 98}), visited);
  EXPECT_FALSE(Forall(&a.s, isEven));
  EXPECT_TRUE(Exists(&a.s, isEven));
  EXPECT_FALSE(Exists1(&a.s, isEven));
  EXPECT_TRUE(Exists1(&a.s, isSeven));
  Exclude(&a.s, 7);
  EXPECT_TRUE(Forall(&a.s, isEven));
  EXPECT_TRUE(Forall(&e.s, isSeven));
  EXPECT_FALSE(Exists(&e.s, isEven));
  EXPECT_FALSE(Exists1(&e.s, isEven));
}

TEST(Sets, ReadSetReadsTheBracedList) {
  FoundationContext c;
  TestSet a(c, 50, {1});
  FILE* f = std::tmpfile();
  ASSERT_NE(nullptr, f);
  std::fputs("junk { 3 40 , 7 40 99 } 12", f);
  std::rewind(f);
  ReadSet(f, &a.s);
  EXPECT_EQ((Elements{3, 7, 40}), elementsOf(&a.s));
  EXPECT_EQ(3, a.s.cachedCount);
  std::fclose(f);
}

}  // namespace
