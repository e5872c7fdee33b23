// builtins_test.cpp: the function registry, the field-order procedure of
// TuFieldSort, and the format-string language on single fields.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "driver/globals.h"
#include "driver/output.h"
#include "interp/builtins.h"
#include "interp/format.h"
#include "support/idents.h"
#include "tests/unit/testing.h"
#include "values/value.h"

namespace {

struct Context {
  Globals* G = NewTestGlobals();
  ~Context() { FinalizeAllGV(G); }
};

// ---- Registry -----------------------------------------------------------

TEST(Registry, EveryTableRowIsFoundWithItsArity) {
  Context c;
  for (const FunctionTableRow* table : {bitab, userfuntab}) {
    for (const FunctionTableRow* row = table; row->name[0] != '\0'; ++row) {
      const FunctionRecord* r = FindFunction(c.G, MakeIdent(c.G, row->name));
      ASSERT_NE(nullptr, r) << row->name;
      EXPECT_EQ(row->fn, r->fn) << row->name;
      EXPECT_EQ(row->minArity, r->minArity) << row->name;
      EXPECT_EQ(row->maxArity, r->maxArity) << row->name;
    }
  }
}

TEST(Registry, LookupIgnoresCaseAndUnknownNamesAreAbsent) {
  Context c;
  const FunctionRecord* len = FindFunction(c.G, MakeIdent(c.G, "len"));
  ASSERT_NE(nullptr, len);
  EXPECT_EQ(len, FindFunction(c.G, MakeIdent(c.G, "LEN")));
  EXPECT_EQ(len, FindFunction(c.G, MakeIdent(c.G, "Len")));
  EXPECT_EQ(nullptr, FindFunction(c.G, MakeIdent(c.G, "lenx")));
  EXPECT_EQ(nullptr, FindFunction(c.G, MakeIdent(c.G, "myOwnFunction")));
}

TEST(Registry, DocumentedAritiesAndSharedImplementations) {
  Context c;
  auto find = [&](const char* name) { return FindFunction(c.G, MakeIdent(c.G, name)); };
  struct Expect { const char* name; int lo, hi; };
  const Expect rows[] = {
      {"ArAppend", 2, 20000}, {"ArConcat", 2, 99}, {"default", 1, 25}, {"random", 0, 0},
      {"repeat", 2, 2}, {"TuDelField", 1, 2}, {"integer", 1, 2}, {"index", 2, 3},
      {"crypt", 1, 2}, {"array", 1, 2}, {"resize", 2, 3}, {"TuAppField", 2, 3},
  };
  for (const Expect& e : rows) {
    const FunctionRecord* r = find(e.name);
    ASSERT_NE(nullptr, r) << e.name;
    EXPECT_EQ(e.lo, r->minArity) << e.name;
    EXPECT_EQ(e.hi, r->maxArity) << e.name;
  }
  EXPECT_EQ(find("copy")->fn, find("clone")->fn);
}

TEST(RegistryDeathTest, ADuplicateNameAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Context c;
        dbhRegisterFunction(c.G, "Substring", bisubstring, 3, 3);
      },
      "Function Substring registered twice");
}

// ---- Field order of TuFieldSort -----------------------------------------

// The procedure as written: every pair i < j, exchanged when out of order.
std::vector<int32_t> plainExchangeSort(std::vector<int32_t> rank, std::vector<int32_t>* perm) {
  const size_t n = rank.size();
  for (size_t i = 0; i + 1 < n; ++i)
    for (size_t j = i + 1; j < n; ++j)
      if (rank[i] > rank[j]) {
        std::swap(rank[i], rank[j]);
        std::swap((*perm)[i], (*perm)[j]);
      }
  return rank;
}

void expectSameOrder(Globals* G, const std::vector<int32_t>& ranks) {
  std::vector<int32_t> expectedPerm(ranks.size());
  for (size_t i = 0; i < ranks.size(); ++i) expectedPerm[i] = static_cast<int32_t>(i);
  std::vector<int32_t> perm = expectedPerm;
  const std::vector<int32_t> expectedRanks = plainExchangeSort(ranks, &expectedPerm);
  std::vector<int32_t> got = ranks;
  ExchangeSortPermutation(G, got.data(), perm.data(), static_cast<int32_t>(got.size()));
  EXPECT_EQ(expectedRanks, got);
  EXPECT_EQ(expectedPerm, perm);
}

TEST(FieldSort, SmallCasesMatchThePlainProcedure) {
  Context c;
  expectSameOrder(c.G, {});
  expectSameOrder(c.G, {0});
  expectSameOrder(c.G, {1, 0});
  expectSameOrder(c.G, {0, 0, 0});
  expectSameOrder(c.G, {3, 2, 1, 0});
  expectSameOrder(c.G, {2, 2, 1, 1, 0, 0});
  expectSameOrder(c.G, {1, 0, 1, 0, 1, 0, 1, 0});
}

TEST(FieldSort, RandomInputsWithManyEqualNamesMatchThePlainProcedure) {
  Context c;
  std::mt19937 rng(12345);
  for (int round = 0; round < 400; ++round) {
    const int n = static_cast<int>(rng() % 40);
    const int distinct = 1 + static_cast<int>(rng() % 6);
    std::vector<int32_t> ranks(static_cast<size_t>(n));
    for (int32_t& r : ranks) r = static_cast<int32_t>(rng() % static_cast<unsigned>(distinct));
    expectSameOrder(c.G, ranks);
  }
}

TEST(FieldSort, ALargeArrayWithFewNamesIsOrderedLikeThePlainProcedure) {
  Context c;
  std::mt19937 rng(7);
  std::vector<int32_t> ranks(3000);
  for (int32_t& r : ranks) r = (rng() % 10 == 0) ? 1 + static_cast<int32_t>(rng() % 3) : 0;
  expectSameOrder(c.G, ranks);
}

TEST(FieldSort, ReversedNamesWithAndWithoutTiesMatchThePlainProcedure) {
  Context c;
  std::vector<int32_t> distinct(2000), ties(2000), mixed(2000);
  for (int32_t i = 0; i < 2000; ++i) {
    distinct[static_cast<size_t>(i)] = 2000 - i;
    ties[static_cast<size_t>(i)] = (2000 - i) / 3;
    mixed[static_cast<size_t>(i)] = i % 100 == 0 ? 0 : 2000 - i;
  }
  expectSameOrder(c.G, distinct);
  expectSameOrder(c.G, ties);
  expectSameOrder(c.G, mixed);
}

// ---- Format strings on single fields ------------------------------------

std::string formatField(Globals* G, const char* format, Value v, const char* name = nullptr,
                        const char* prefix = "") {
  Field f{name != nullptr ? MakeIdent(G, name) : 0, v};
  // Not capturing: the page output goes to a file that is read back.
  FILE* tmp = std::tmpfile();
  FILE* saved = G->serverInterface->X_Out;
  G->serverInterface->X_Out = tmp;
  FormatValue(G, nullptr, format, &f, prefix, NoPosition, nullValue);
  std::fflush(tmp);
  G->serverInterface->X_Out = saved;
  std::rewind(tmp);
  std::string text;
  for (int ch = std::fgetc(tmp); ch != EOF; ch = std::fgetc(tmp)) text += static_cast<char>(ch);
  std::fclose(tmp);
  return text;
}

TEST(FormatField, WidthsPadStringsAndNumbersTheirOwnWay) {
  Context c;
  Value ab = MakeStringZ(c.G, "ab", 0);
  EXPECT_EQ("ab   ", formatField(c.G, "%5A", ab));
  EXPECT_EQ("   ab", formatField(c.G, "%-5A", ab));
  EXPECT_EQ("ab", formatField(c.G, "%1A", ab));
  EXPECT_EQ("   42", formatField(c.G, "%5", MakeInteger(42)));
  EXPECT_EQ("42   ", formatField(c.G, "%-5", MakeInteger(42)));
  EXPECT_EQ("00042", formatField(c.G, "%05", MakeInteger(42)));
  EXPECT_EQ("1.50", formatField(c.G, "%.2", MakeReal(1.5)));
  EXPECT_EQ("ff", formatField(c.G, "%x", MakeInteger(255)));
  EXPECT_EQ("0XFF", formatField(c.G, "%#X", MakeInteger(255)));
  EXPECT_EQ("1.500000e+00", formatField(c.G, "%e", MakeReal(1.5)));
  ReleaseValue(c.G, &ab);
}

TEST(FormatField, LeadTextAndNullRules) {
  Context c;
  EXPECT_EQ("Name: 7", formatField(c.G, "Name: %H", MakeInteger(7)));
  EXPECT_EQ("", formatField(c.G, "Name: %H", nullValue));
  EXPECT_EQ("NULL", formatField(c.G, "%NN", nullValue));
  EXPECT_EQ("null", formatField(c.G, "%Nn", nullValue));
  EXPECT_EQ("0", formatField(c.G, "%N0", nullValue));
  EXPECT_EQ("false", formatField(c.G, "%Nb", nullValue));
  EXPECT_EQ("0.000000", formatField(c.G, "%Nr", nullValue));
  EXPECT_EQ("x ", formatField(c.G, "x%Ns", nullValue));
  EXPECT_EQ("&nbsp;", formatField(c.G, "%NS", nullValue));
  EXPECT_EQ("<td>&nbsp</td>", formatField(c.G, "%TNS", nullValue));
  EXPECT_EQ("NULL", formatField(c.G, "%Q", nullValue));
  EXPECT_EQ("", formatField(c.G, "%N", nullValue));
  EXPECT_EQ("true", formatField(c.G, "%A", trueValue));
}

TEST(FormatField, ModesForStringsAndNumbers) {
  Context c;
  Value s = MakeStringZ(c.G, "a<b", 0);
  EXPECT_EQ("a&lt;b", formatField(c.G, "H", s));
  EXPECT_EQ("a<b", formatField(c.G, "%A", s));
  EXPECT_EQ("\"a&lt;b\"", formatField(c.G, "%P", s));
  EXPECT_EQ("\"a<b\"", formatField(c.G, "%Q", s));
  EXPECT_EQ("a%3cb", formatField(c.G, "%U", s));
  EXPECT_EQ("<td>a&lt;b</td>", formatField(c.G, "T", s));
  EXPECT_EQ("<td align=\"right\">a&lt;b</td>", formatField(c.G, "%-T", s));
  EXPECT_EQ("<td align=\"right\">5</td>", formatField(c.G, "T", MakeInteger(5)));
  EXPECT_EQ("<td >5</td>", formatField(c.G, "%-T", MakeInteger(5)));
  EXPECT_EQ("<input type=\"text\" name=\"p.v\" value=\"a&lt;b\" size=\"5\">",
            formatField(c.G, "%5F", s, "v", "p."));
  EXPECT_EQ("<input type=\"hidden\" name=\"v\" value=\"3\">",
            formatField(c.G, "%hF", MakeInteger(3), "v"));
  EXPECT_EQ("<td align=\"right\"><input type=\"text\" name=\"v\" value=\"3\"></td>",
            formatField(c.G, "%FT", MakeInteger(3), "v"));
  EXPECT_EQ("<td><input type=\"text\" name=\"v\" value=\"\"></td>",
            formatField(c.G, "%TF", nullValue, "v"));
  ReleaseValue(c.G, &s);
}

TEST(FormatField, NameDisplay) {
  Context c;
  Value x = MakeStringZ(c.G, "x", 0);
  EXPECT_EQ("b=\"x\"", formatField(c.G, "%nQ", x, "b"));
  EXPECT_EQ("t.b=x", formatField(c.G, "%nU", x, "b", "t."));
  EXPECT_EQ("b", formatField(c.G, "%NVn", x, "b"));
  EXPECT_EQ("<td>b</td><td>x</td>", formatField(c.G, "%nT", x, "b"));
  // A name that holds markup is escaped in the HTML modes.
  EXPECT_EQ("&lt;i&gt;=x", formatField(c.G, "%n", x, "<i>"));
  ReleaseValue(c.G, &x);
}

TEST(FormatField, HostileFormatsStayBounded) {
  Context c;
  // A 200-character format works.
  std::string longLead(196, 'L');
  EXPECT_EQ(longLead + "    7", formatField(c.G, (longLead + "%5H").c_str(), MakeInteger(7)));
  // Absurd widths and precisions are bounded, never overflow anything.
  const std::string wide = formatField(c.G, "%99999999999999999999.99999999999999i", MakeInteger(1));
  EXPECT_LE(wide.size(), 8192u);
  EXPECT_EQ('1', wide.back());
  const std::string real = formatField(c.G, "%999.999f", MakeReal(1e308));
  EXPECT_LT(real.size(), 8192u);
  // Letters that are not conversions in this language never reach printf.
  EXPECT_EQ("5", formatField(c.G, "%s%n%p%%lld", MakeInteger(5), nullptr));
}

}  // namespace
