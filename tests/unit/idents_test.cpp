// idents_test.cpp: the identifier table: case folding, first spelling kept,
// short chains for similar names, stability across growth, charges and the
// listing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/unit/foundation_context.h"
#include "tests/unit/testing.h"

namespace {

TEST(Idents, NamesFoldOnlyAToZAndKeepTheirFirstSpelling) {
  FoundationContext c;
  EXPECT_EQ(0u, MakeIdent(c.G, ""));
  EXPECT_EQ(0u, MakeIdent(c.G, "anything", 0));
  const Ident name = MakeIdent(c.G, "Name");
  EXPECT_EQ(1u, name);
  for (const char* other : {"NAME", "name", "nAmE"}) EXPECT_EQ(name, MakeIdent(c.G, other));
  EXPECT_STREQ("Name", GetStringIdent(c.G, name));
  EXPECT_EQ(4u, GetLengthIdent(c.G, name));
  EXPECT_EQ(2u, MakeIdent(c.G, "x"));
  EXPECT_EQ("    1 Name\n    2 x\n", CaptureOutput(c.G, [&] { WriteIdents(c.G); })) << "the listing";
  // Bytes above 127 and the characters next to the letters compare exactly.
  EXPECT_NE(MakeIdent(c.G, "\xe9"), MakeIdent(c.G, "\xc9"));
  EXPECT_NE(MakeIdent(c.G, "["), MakeIdent(c.G, "{"));
  EXPECT_NE(MakeIdent(c.G, "@"), MakeIdent(c.G, "`"));
  EXPECT_EQ(8u, MaxIdent(c.G));
  EXPECT_STREQ("", GetStringIdent(c.G, 77)) << "an unknown number reads as the empty name";
  // Names need no terminating zero.
  const char text[] = {'a', 'b', 'c'};
  const Ident ab = MakeIdent(c.G, text, 2);
  EXPECT_STREQ("ab", GetStringIdent(c.G, ab));
  EXPECT_NE(ab, MakeIdent(c.G, text, 3));
}

// Entries cost their length plus 13; the 1024th doubles the table, whose
// entries never move; the buckets grow so that similar names (form fields a
// visitor sends) keep short chains.
TEST(Idents, ChargesGrowthAndManySimilarNames) {
  FoundationContext c;
  int64_t before = c.left();
  MakeIdent(c.G, "n1");
  MakeIdent(c.G, "N1");   // a hit allocates nothing
  EXPECT_EQ(before - 15, c.left());
  auto name = [](int i) { return "n" + std::to_string(i); };
  for (int i = 2; i <= 1023; ++i) MakeIdent(c.G, name(i).c_str());
  std::vector<const char*> texts{nullptr};
  for (Ident i = 1; i <= 1023; ++i) texts.push_back(GetStringIdent(c.G, i));
  before = c.left();
  EXPECT_EQ(1024u, MakeIdent(c.G, "n1024"));
  EXPECT_EQ(before - static_cast<int64_t>(2048 * sizeof(IdentEntry*)) - (5 + 13), c.left());
  for (int i = 1025; i <= 5000; ++i) MakeIdent(c.G, name(i).c_str());
  for (Ident i = 1; i <= 1023; ++i) EXPECT_EQ(texts[i], GetStringIdent(c.G, i));
  const IdentsRec* r = c.G->Idents;
  size_t longest = 0;
  for (uint32_t h = 0; h < r->bucketCount; ++h) {
    size_t n = 0;
    for (const IdentEntry* e = r->buckets[h]; e != nullptr; e = e->next) ++n;
    longest = std::max(longest, n);
  }
  EXPECT_LE(longest, 16u);
  for (int i = 1; i <= 5000; ++i)   // every name still found after the moves
    EXPECT_EQ(static_cast<Ident>(i), MakeIdent(c.G, ("N" + std::to_string(i)).c_str()));
  EXPECT_EQ(0u, MakeIdent(c.G, "")) << "the empty name survives the moves";
  EXPECT_EQ(5000u, MaxIdent(c.G));
}

// A seed numbers its names as making them one by one would (a later
// spelling of a name keeps the first), is charged the same, and the names
// made after it go on from its last number.
TEST(Idents, ASeedStandsForTheNamesMadeInItsOrder) {
  static constexpr auto kSeed = MakeIdentSeed(std::array<const char*, 4>{"Alpha", "beta", "ALPHA", ""});
  static constexpr IdentSeed kSeedView = kSeed.seed();
  static_assert(kSeed.number("alpha") == 1 && kSeed.number("BETA") == 2);
  FoundationContext c;
  IdentsFinalizeGV(c.G);
  int64_t before = c.left();
  IdentsInitializeGV(c.G);
  for (const char* name : {"Alpha", "beta", "ALPHA", ""}) MakeIdent(c.G, name);
  const int64_t byHand = before - c.left();
  IdentsFinalizeGV(c.G);
  before = c.left();
  IdentsInitializeGV(c.G, kSeedView);
  EXPECT_EQ(byHand, before - c.left());
  EXPECT_EQ(2u, MaxIdent(c.G));
  EXPECT_EQ(1u, MakeIdent(c.G, "ALPHA"));
  EXPECT_STREQ("Alpha", GetStringIdent(c.G, 1));
  EXPECT_EQ(2u, MakeIdent(c.G, "Beta"));
  EXPECT_EQ(0u, MakeIdent(c.G, ""));
  before = c.left();
  EXPECT_EQ(3u, MakeIdent(c.G, "gamma"));
  EXPECT_EQ(before - (5 + 13), c.left());
  EXPECT_STREQ("gamma", GetStringIdent(c.G, 3));
  EXPECT_STREQ("beta", GetStringIdent(c.G, 2));
  // The buckets of made names double when the seeded ones are counted too.
  for (int i = 4; i <= 512; ++i) MakeIdent(c.G, ("n" + std::to_string(i)).c_str());
  EXPECT_EQ(256u, c.G->Idents->bucketCount);
  MakeIdent(c.G, "n513");
  EXPECT_EQ(512u, c.G->Idents->bucketCount);
  EXPECT_EQ(3u, MakeIdent(c.G, "GAMMA")) << "found after the move";
  EXPECT_EQ(1u, MakeIdent(c.G, "alpha"));
}

}  // namespace
