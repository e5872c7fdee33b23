// sets_test.cpp: bit sets: bit layout at word boundaries, the set algebra,
// complement over a partial last word, bounds and counts, reading.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <vector>

#include "support/sets.h"
#include "tests/unit/foundation_context.h"

namespace {

using Elements = std::vector<int>;

struct Sets : ::testing::Test {
  FoundationContext c;
  std::deque<BitSet> sets;
  // A set over 0..max with the given elements, released with the test.
  BitSet* make(uint16_t max, Elements elements = {}) {
    BitSet* s = &sets.emplace_back();
    MakeSet(c.G, s, max);
    for (int e : elements) SetsInclude(s, static_cast<uint16_t>(e));
    return s;
  }
  ~Sets() override {
    for (BitSet& s : sets) ReleaseSet(c.G, &s);
  }
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

TEST_F(Sets, ElementZeroIsTheTopBitAndTheWordsCoverMaxElementOnly) {
  BitSet* a = make(100, {0, 31, 32, 63, 64, 100, 101});   // 101 lies outside
  EXPECT_EQ(3, a->lastWord);
  EXPECT_EQ((std::vector<uint32_t>{0x80000001u, 0x80000001u, 0x80000000u, 1u << 27}),
            std::vector<uint32_t>(a->words, a->words + 4));
  EXPECT_EQ(6, Card(a));
  EXPECT_EQ(0, make(31)->lastWord);
  EXPECT_EQ(1, make(32)->lastWord);
  BitSet* zero = make(0);
  EXPECT_TRUE(IsEmpty(zero));
  SetsInclude(zero, 0);
  EXPECT_EQ(1, Card(zero));
  BitSet* full = make(66);   // complement over a partial last word
  Complement(full);
  EXPECT_EQ(0xE0000000u, full->words[2]) << "bits above maxElement cleared";
  EXPECT_EQ(67, Card(full));
  EXPECT_EQ(0, Minimum(full));
  EXPECT_EQ(66, Maximum(full));
  BitSet* b = make(66, {5, 40});
  EXPECT_EQ(2, Card(b));
  Complement(b);
  EXPECT_EQ(65, Card(b)) << "from the count known before";
  Complement(b);
  EXPECT_EQ((Elements{5, 40}), elementsOf(b));
}

TEST_F(Sets, BinaryOperationsAcrossWordBoundaries) {
  BitSet* a = make(95, {1, 31, 32, 64});
  BitSet* b = make(95, {31, 32, 33, 95});
  BitSet* t = make(95);
  struct Case { void (*op)(BitSet*, const BitSet*); Elements result; };
  for (const Case& k : {Case{Union, {1, 31, 32, 33, 64, 95}}, Case{Intersection, {31, 32}},
                        Case{Difference, {1, 64}}, Case{SymDiff, {1, 33, 64, 95}}}) {
    Assign(t, a);
    k.op(t, b);
    EXPECT_EQ(k.result, elementsOf(t));
    EXPECT_EQ(static_cast<int>(k.result.size()), Card(t));
    EXPECT_EQ(k.result.front(), Minimum(t));
    EXPECT_EQ(k.result.back(), Maximum(t));
  }
  BitSet* d = make(95, {40});
  Intersection(d, a);   // disjoint: the bounds cross
  EXPECT_TRUE(IsEmpty(d));
  EXPECT_EQ(0, Card(d));
  BitSet* sub = make(95, {1, 64});
  EXPECT_TRUE(IsSubset(sub, a));
  EXPECT_FALSE(IsSubset(a, sub));
  EXPECT_FALSE(IsEqual(a, sub));
  Exclude(a, 31);
  Exclude(a, 32);
  EXPECT_TRUE(IsEqual(a, sub));
}

TEST_F(Sets, ExtractExcludeBoundsPredicatesIterationAndReading) {
  BitSet* a = make(20, {9, 3});
  EXPECT_EQ(3, Extract(a));
  EXPECT_EQ((Elements{9}), elementsOf(a));
  EXPECT_EQ(9, Extract(a));
  EXPECT_TRUE(IsEmpty(a));
  EXPECT_EQ(0, Minimum(a));
  BitSet* b = make(200, {10, 11, 150});
  Exclude(b, 10);
  EXPECT_EQ(11, Minimum(b));
  Exclude(b, 150);
  EXPECT_EQ(11, Maximum(b));
  EXPECT_EQ(1, Card(b));
  AssignElmt(b, 33);
  EXPECT_EQ((Elements{33}), elementsOf(b));
  EXPECT_EQ(1, Card(b));
  AssignEmpty(b);
  EXPECT_TRUE(Forall(b, isSeven));   // empty: true for all, no element exists
  EXPECT_FALSE(Exists(b, isEven) || Exists1(b, isEven));
  BitSet* p = make(99, {98, 2, 64, 7});
  visited.clear();
  ForallDo(p, record);
  EXPECT_EQ((Elements{2, 7, 64, 98}), visited);
  EXPECT_FALSE(Forall(p, isEven));
  EXPECT_TRUE(Exists(p, isEven));
  EXPECT_FALSE(Exists1(p, isEven));
  EXPECT_TRUE(Exists1(p, isSeven));
  BitSet* r = make(50, {1});
  FILE* f = std::tmpfile();
  ASSERT_NE(nullptr, f);
  std::fputs("junk { 3 40 , 7 40 99 } 12", f);
  std::rewind(f);
  ReadSet(f, r);
  std::fclose(f);
  EXPECT_EQ((Elements{3, 7, 40}), elementsOf(r));
  EXPECT_EQ(3, Card(r));
}

}  // namespace
