// idents_test.cpp: the identifier table: case folding, first spelling kept,
// the hash buckets, stability across growth, charges and the listing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/unit/foundation_context.h"
#include "tests/unit/testing.h"

namespace {

TEST(Idents, NamesFoldOnlyAToZKeepTheirFirstSpellingAndFollowTheHash) {
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
  // Buckets follow the hash; similar names stay apart.
  EXPECT_EQ(ab, c.G->Idents->buckets[IdentHash("aB", 2) % 256]->number);
  EXPECT_EQ(IdentHash("AB", 2), IdentHash("ab", 2));
  EXPECT_NE(IdentHash("\xe9", 1), IdentHash("\xc9", 1)) << "bytes above 127 are not folded";
  EXPECT_EQ(0u, IdentHash("", 0));
  const Ident a = MakeIdent(c.G, "axxb");
  const Ident b = MakeIdent(c.G, "ayyb");   // same first byte, last byte and length
  EXPECT_NE(a, b);
  EXPECT_EQ(a, MakeIdent(c.G, "AXXB"));
  EXPECT_EQ(b, MakeIdent(c.G, "aYyB"));
  EXPECT_EQ(ab, MakeIdent(c.G, "AB"));
}

TEST(Idents, ManySimilarNamesKeepChainsShort) {
  FoundationContext c;
  std::vector<Ident> ids;
  for (int i = 0; i < 5000; ++i) ids.push_back(MakeIdent(c.G, ("n" + std::to_string(i)).c_str()));
  const IdentsRec* r = c.G->Idents;
  EXPECT_GE(r->bucketCount, 2048u) << "the bucket table grows with the names";
  size_t longest = 0;
  for (uint32_t h = 0; h < r->bucketCount; ++h) {
    size_t n = 0;
    for (const IdentEntry* e = r->buckets[h]; e != nullptr; e = e->next) ++n;
    longest = std::max(longest, n);
  }
  EXPECT_LE(longest, 16u);
  for (int i = 0; i < 5000; ++i)   // every name still found after the moves
    EXPECT_EQ(ids[i], MakeIdent(c.G, ("N" + std::to_string(i)).c_str()));
  EXPECT_EQ(5000u, MaxIdent(c.G));
}

TEST(Idents, EntriesChargeLengthPlus13AndThe1024thGrowsTheTable) {
  FoundationContext c;
  int64_t before = c.left();
  MakeIdent(c.G, "seven77");
  MakeIdent(c.G, "SEVEN77");   // a hit allocates nothing
  EXPECT_EQ(before - 20, c.left());
  std::vector<const char*> texts{nullptr};
  for (int i = 2; i <= 1023; ++i) MakeIdent(c.G, ("id" + std::to_string(i)).c_str());
  for (Ident i = 1; i <= 1023; ++i) texts.push_back(GetStringIdent(c.G, i));
  EXPECT_EQ(1024u, c.G->Idents->capacity);
  before = c.left();
  EXPECT_EQ(1024u, MakeIdent(c.G, "id1024"));
  EXPECT_EQ(2048u, c.G->Idents->capacity);
  EXPECT_EQ(before - static_cast<int64_t>(2048 * sizeof(IdentEntry*)) - (6 + 13), c.left());
  for (Ident i = 1; i <= 1023; ++i) EXPECT_EQ(texts[i], GetStringIdent(c.G, i));
  EXPECT_EQ(500u, MakeIdent(c.G, "ID500"));
  for (int i = 1025; i <= 3000; ++i) MakeIdent(c.G, ("id" + std::to_string(i)).c_str());
  EXPECT_STREQ("id3000", GetStringIdent(c.G, 3000));
}

}  // namespace
