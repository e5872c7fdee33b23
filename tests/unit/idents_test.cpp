// idents_test.cpp: the identifier table: case folding, first spelling kept,
// stability across growth, charges and the debugging listing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/foundation_context.h"
#include "tests/unit/testing.h"

namespace {

TEST(Idents, TheEmptyNameIsZero) {
  FoundationContext c;
  EXPECT_EQ(0u, MakeIdent(c.G, ""));
  EXPECT_EQ(0u, MakeIdent(c.G, "anything", 0));
  EXPECT_STREQ("", GetStringIdent(c.G, 0));
  EXPECT_EQ(0u, GetLengthIdent(c.G, 0));
  EXPECT_EQ(0u, MaxIdent(c.G));
}

TEST(Idents, NamesFoldCaseAndKeepTheFirstSpelling) {
  FoundationContext c;
  const Ident a = MakeIdent(c.G, "Name");
  EXPECT_EQ(a, MakeIdent(c.G, "NAME"));
  EXPECT_EQ(a, MakeIdent(c.G, "name"));
  EXPECT_EQ(a, MakeIdent(c.G, "nAmE"));
  EXPECT_STREQ("Name", GetStringIdent(c.G, a));
  EXPECT_EQ(4u, GetLengthIdent(c.G, a));
  EXPECT_EQ(1u, MaxIdent(c.G));
}

TEST(Idents, NumbersAreHandedOutInOrderOfFirstAppearance) {
  FoundationContext c;
  EXPECT_EQ(1u, MakeIdent(c.G, "x"));
  EXPECT_EQ(2u, MakeIdent(c.G, "y"));
  EXPECT_EQ(1u, MakeIdent(c.G, "X"));
  EXPECT_EQ(3u, MakeIdent(c.G, "xy"));
  EXPECT_EQ(3u, MaxIdent(c.G));
}

TEST(Idents, BytesAbove127CompareExactly) {
  FoundationContext c;
  const Ident small = MakeIdent(c.G, "\xe9");   // Latin-1 e acute
  const Ident capital = MakeIdent(c.G, "\xc9");
  EXPECT_NE(small, capital);
  EXPECT_EQ(small, MakeIdent(c.G, "\xe9"));
  // Only a-z fold; the brackets next to the letters stay apart.
  EXPECT_NE(MakeIdent(c.G, "["), MakeIdent(c.G, "{"));
  EXPECT_NE(MakeIdent(c.G, "@"), MakeIdent(c.G, "`"));
}

TEST(Idents, NamesNeedNoTerminatingZero) {
  FoundationContext c;
  const char text[] = {'a', 'b', 'c', 'd'};
  const Ident ab = MakeIdent(c.G, text, 2);
  EXPECT_STREQ("ab", GetStringIdent(c.G, ab));
  EXPECT_EQ(ab, MakeIdent(c.G, "AB"));
  EXPECT_NE(ab, MakeIdent(c.G, text, 3));
}

TEST(Idents, SameHashDifferentNamesStayApart) {
  FoundationContext c;
  // Same first and last byte and length: the same bucket.
  const Ident a = MakeIdent(c.G, "axxb");
  const Ident b = MakeIdent(c.G, "ayyb");
  const Ident d = MakeIdent(c.G, "AXYB");
  EXPECT_NE(a, b);
  EXPECT_NE(a, d);
  EXPECT_NE(b, d);
  EXPECT_EQ(a, MakeIdent(c.G, "AXXB"));
  EXPECT_EQ(b, MakeIdent(c.G, "aYyB"));
}

TEST(Idents, EntriesChargeTheirLengthPlus13) {
  FoundationContext c;
  const int64_t before = c.left();
  MakeIdent(c.G, "seven77");
  EXPECT_EQ(before - 20, c.left());
  MakeIdent(c.G, "SEVEN77");   // a hit allocates nothing
  EXPECT_EQ(before - 20, c.left());
}

TEST(Idents, The1024thIdentifierGrowsTheTableAndEarlierOnesStayValid) {
  FoundationContext c;
  std::vector<std::string> names;
  std::vector<Ident> ids;
  std::vector<const char*> texts;
  for (int i = 1; i <= 1023; ++i) {
    names.push_back("id" + std::to_string(i));
    ids.push_back(MakeIdent(c.G, names.back().c_str()));
    texts.push_back(GetStringIdent(c.G, ids.back()));
  }
  EXPECT_EQ(1024u, c.G->Idents->capacity);
  const int64_t before = c.left();
  const Ident last = MakeIdent(c.G, "id1024");
  EXPECT_EQ(1024u, last);
  EXPECT_EQ(2048u, c.G->Idents->capacity);
  // The grown array (2048 pointers) plus the entry.
  EXPECT_EQ(before - static_cast<int64_t>(2048 * sizeof(IdentEntry*)) - (6 + 13), c.left());
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(i + 1, ids[i]);
    EXPECT_EQ(ids[i], MakeIdent(c.G, names[i].c_str()));
    EXPECT_EQ(texts[i], GetStringIdent(c.G, ids[i])) << "entries must not move";
    EXPECT_EQ(names[i], GetStringIdent(c.G, ids[i]));
  }
  for (int i = 1025; i <= 5000; ++i)
    EXPECT_EQ(static_cast<Ident>(i), MakeIdent(c.G, ("id" + std::to_string(i)).c_str()));
  EXPECT_STREQ("id1024", GetStringIdent(c.G, 1024));
  EXPECT_STREQ("id5000", GetStringIdent(c.G, 5000));
}

TEST(Idents, UnknownNumbersReadAsTheEmptyName) {
  FoundationContext c;
  MakeIdent(c.G, "one");
  EXPECT_STREQ("", GetStringIdent(c.G, 77));
  EXPECT_EQ(0u, GetLengthIdent(c.G, 77));
}

TEST(Idents, TheListingShowsEveryIdentifierWithItsNumber) {
  FoundationContext c;
  MakeIdent(c.G, "alpha");
  MakeIdent(c.G, "Beta");
  MakeIdent(c.G, "ALPHA");
  const std::string out = CaptureOutput(c.G, [&] { WriteIdents(c.G); });
  EXPECT_EQ("    1 alpha\n    2 Beta\n", out);
  const std::string one = CaptureOutput(c.G, [&] { WriteIdent(c.G, stdout, 2); });
  EXPECT_EQ("Beta", one);
}

}  // namespace
