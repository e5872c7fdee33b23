// builtins_test.cpp: the function registry, the field-order procedure of
// TuFieldSort, field arguments in temporary tuples, and tuple capacities.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "driver/globals.h"
#include "interp/builtins.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "tests/unit/testing_core.h"
#include "values/value.h"

namespace {

// ---- Registry -----------------------------------------------------------

TEST(RegistryDeathTest, ADuplicateNameAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        TestGlobals c;
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

// Small cases, random inputs with many equal names, a large array with few
// names, and reversed names with and without ties.
TEST(FieldSort, OrdersLikeThePlainProcedure) {
  TestGlobals c;
  for (const std::vector<int32_t>& ranks : std::vector<std::vector<int32_t>>{
           {}, {0}, {1, 0}, {0, 0, 0}, {3, 2, 1, 0}, {2, 2, 1, 1, 0, 0}, {1, 0, 1, 0, 1, 0, 1, 0}})
    expectSameOrder(c.G, ranks);
  std::mt19937 rng(12345);
  for (int round = 0; round < 400; ++round) {
    std::vector<int32_t> ranks(rng() % 40);
    const unsigned distinct = 1 + rng() % 6;
    for (int32_t& r : ranks) r = static_cast<int32_t>(rng() % distinct);
    expectSameOrder(c.G, ranks);
  }
  std::vector<int32_t> few(3000), distinct(2000), ties(2000), mixed(2000);
  for (int32_t& r : few) r = (rng() % 10 == 0) ? 1 + static_cast<int32_t>(rng() % 3) : 0;
  for (int32_t i = 0; i < 2000; ++i) {
    distinct[static_cast<size_t>(i)] = 2000 - i;
    ties[static_cast<size_t>(i)] = (2000 - i) / 3;
    mixed[static_cast<size_t>(i)] = i % 100 == 0 ? 0 : 2000 - i;
  }
  for (const std::vector<int32_t>* ranks : {&few, &distinct, &ties, &mixed}) expectSameOrder(c.G, *ranks);
}

// ---- Field arguments inside temporary tuples -----------------------------

// TuFieldSort returns its argument with a reference of its own. A field of
// that result given to a declaration test, a field-mode format or a field
// source must give the reference back; default's value must outlive it.
TEST(FieldArguments, TheTemporaryContainingTupleIsReleased) {
  TestGlobals c;
  const std::string page = CaptureOutput(c.G, [&] {
    InterpretString(c.G,
                    "<let gl.u = array(1); gl.u[0] = \"x\"; gl.t = array(1)>"
                    "<? isdecl(TuFieldSort(gl.u)[0])> <? isnull(TuFieldSort(gl.u)[0])> "
                    "<? isempty(TuFieldSort(gl.u)[0])> [<? fname(TuFieldSort(gl.u)[0])>] "
                    "<? default(TuFieldSort(gl.u)[0])> <? default(copy(gl.u)[0])> "
                    "<? TuFieldSort(gl.u)[0] \"%n\"> <? isdecl(TuFieldSort(gl.u)[5])>"
                    "<let TuAppField(gl.t[0], TuFieldSort(gl.u)[0])> <? gl.t[1]>",
                    nullValue);
  });
  EXPECT_EQ("true false false [] x x x false x", page);
  const Value* u = vGetField(c.G->value->gl, MakeIdent(c.G, "u"));
  ASSERT_NE(nullptr, u);
  EXPECT_EQ(1, u->val.tuple.t->refcount);
}

// ---- Capacities ------------------------------------------------------------

int32_t capacityOf(Globals* G, const char* name) {
  const Value* v = vGetField(G->value->gl, MakeIdent(G, name));
  return v != nullptr && v->type == tTuple ? v->val.tuple.t->physsize : -1;
}

// array and resize take the larger of size and capacity; ArAppend and
// ArConcat grow to twice the new count up to 2000, else the old count plus
// 1000, never below the new count.
TEST(Capacities, FollowTheGrowthRules) {
  TestGlobals c;
  CaptureOutput(c.G, [&] {
    InterpretString(c.G,
                    "<let gl.a = array(3); gl.b = array(5, 1); gl.c = array(2, 10)>"
                    "<let gl.d = array(0, 1); ArAppend(gl.d, 1, 2, 3)>"
                    "<let gl.e = array(1500, 1500); ArAppend(gl.e, 1)>"
                    "<let gl.f = array(0, 1); ArConcat(gl.f, array(1500))>"
                    "<let gl.g = array(0, 1); ArConcat(gl.g, 1, array(2))>"
                    "<let gl.h = array(2, 2); resize(gl.h, 3)>"
                    "<let gl.i = array(2, 2); resize(gl.i, 3, 9)>"
                    "<let gl.j = array(5); resize(gl.j, 1); gl.k = TuSlice(array(5), 1, 3)>",
                    nullValue);
  });
  const std::pair<const char*, int32_t> expected[] = {{"a", 8},    {"b", 5}, {"c", 10}, {"d", 6},
                                                      {"e", 2500}, {"f", 1500}, {"g", 6}, {"h", 8},
                                                      {"i", 9},    {"j", 10}, {"k", 3}};
  for (const auto& [name, capacity] : expected) EXPECT_EQ(capacity, capacityOf(c.G, name)) << name;
}

}  // namespace
