// eval_test.cpp: the evaluator's rules below what templates show: the common-type rule
// beside Null, the Coerce cells the rule reaches, odd Boolean words, field
// references and the nesting guards. Operator results, string order and messages as
// templates see them are end-to-end cases.
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "driver/globals.h"
#include "frontend/tree.h"
#include "interp/eval.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "support/memory.h"
#include "tests/unit/testing_core.h"
#include "values/strings.h"
#include "values/value.h"

namespace {

using ::testing::ExitedWithCode;

class Eval : public ::testing::Test {
 protected:
  void SetUp() override {
    // Deep expressions need the stack that the program itself asks for at start.
    rlimit rl{};
    if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
        rl.rlim_cur < rl.rlim_max) {
      rl.rlim_cur = rl.rlim_max;
      setrlimit(RLIMIT_STACK, &rl);
    }
    G = NewTestGlobals();
  }
  void TearDown() override { FinalizeAllGV(G); }

  Token* Node(uint16_t kind) {
    Token* t = static_cast<Token*>(bxAllocZero(G, sizeof(Token)));
    t->kind = kind;
    t->position = Position{1, uint16_t(++column_), "t.brx"};
    return t;
  }
  Token* Const(Value v) {
    Token* t = Node(TKconst);
    t->constant = v;
    return t;
  }
  Token* Int(int32_t i) { return Const(MakeInteger(i)); }
  Token* Str(const char* s) { return Const(MakeStringZ(G, s, 0)); }
  Token* Name(const char* n) {
    Token* t = Node(TKName);
    t->name = MakeIdent(G, n);
    return t;
  }
  Token* Pair(uint16_t kind, Token* l, int op, Token* r) {
    Token* t = Node(kind);
    t->left = l;
    t->op = op;
    t->right = r;
    return t;
  }
  Token* Bin(Token* l, int op, Token* r) { return Pair(TKexprbin, l, op, r); }
  Token* Assign(Token* target, Token* value) { return Pair(TKexprassign, target, opAssign, value); }
  Token* Sel(Token* base, const char* field) {
    Token* t = Node(TKselektor);
    t->left = base;
    t->name = MakeIdent(G, field);
    return t;
  }
  bool IsTrue(Token* e) {
    const Value v = eval(G, e);
    EXPECT_EQ(v.type, tBoolean);
    return v.val.Boolean != 0;
  }
  Value* Local(const char* n) { return vGetField(G->environment->current->locals, MakeIdent(G, n)); }

  Globals* G = nullptr;
  int column_ = 0;
};

// Runs f in a death test with the page (standard output) sent to standard
// error, so that the fatal message can be matched.
template <class F>
void DiesWith(F f) {
  dup2(2, 1);
  f();
}

// ---- The common-type rule beside Null ---------------------------------------
// For every operator (the end-to-end cases pair Null with a few): arithmetic and equality adopt the other operand's
// type; ordering and logic give Boolean only beside a Boolean, else Null.

TEST_F(Eval, CommonTypeBesideNull) {
  for (int op : {opPlus, opMinus, opTimes, opDiv, opMod, opEq, opNotEq}) {
    EXPECT_EQ(CommonType(tNull, tInteger, op), tInteger);
    EXPECT_EQ(CommonType(tString, tNull, op), tString);
    EXPECT_EQ(CommonType(tNull, tTuple, op), tTuple);
  }
  for (int op : {opLess, opLessEq, opGreaterEq, opAnd, opOr}) {
    EXPECT_EQ(CommonType(tNull, tInteger, op), tNull);
    EXPECT_EQ(CommonType(tInteger, tNull, op), tNull);
    EXPECT_EQ(CommonType(tBoolean, tNull, op), tBoolean);
    EXPECT_EQ(CommonType(tNull, tBoolean, op), tBoolean);
  }
}

// ---- Coerce -----------------------------------------------------------------
// For the pairs the common-type rule asks for: an Integer target only from
// Null, Real from Integer or Null, String from numbers or Null, Boolean from
// anything (the other cells are never reached)

TEST_F(Eval, CoerceConversions) {
  const Position p{1, 1, "t.brx"};
  EXPECT_EQ(Coerce(G, nullValue, tInteger, p).val.Integer, 0);
  const Value r0 = Coerce(G, nullValue, tReal, p), b0 = Coerce(G, nullValue, tBoolean, p),
              s0 = Coerce(G, nullValue, tString, p);
  EXPECT_TRUE(r0.type == tReal && r0.val.Real == 0.0);
  EXPECT_TRUE(b0.type == tBoolean && b0.val.Boolean == 0);
  EXPECT_TRUE(s0.type == tString && s0.val.str == nullptr);
  EXPECT_EQ(Coerce(G, MakeInteger(7), tReal, p).val.Real, 7.0);
  // the texts themselves are the operators' end-to-end cases
  Value s = Coerce(G, MakeInteger(-42), tString, p);
  EXPECT_EQ(std::string(s.val.str, static_cast<size_t>(s.size)), "-42");
  EXPECT_TRUE(IsTemp(s));
  ReleaseValue(G, &s);
  // a Tuple target (Null beside a tuple) leaves the value as it is
  EXPECT_EQ(Coerce(G, nullValue, tTuple, p).type, tNull);
}

// ---- Operands no template can write -----------------------------------------

TEST_F(Eval, OddBooleanWordsAndCopyNodes) {
  Value odd = MakeBoolean(true);
  odd.val.Boolean = 7;   // any non-zero word reads as true
  EXPECT_TRUE(IsTrue(Bin(Const(odd), opEq, Const(MakeBoolean(true)))));
  Token* notOdd = Node(TKexprun);
  notOdd->op = opNot;
  notOdd->left = Const(odd);
  EXPECT_FALSE(IsTrue(notOdd));
  // a copy node makes an owned value
  eval(G, Assign(Name("s"), Str("keep")));
  Token* copy = Node(TKexprcopy);
  copy->left = Name("s");
  Value v = eval(G, copy);
  EXPECT_TRUE(IsTemp(v));
  EXPECT_NE(v.val.str, Local("s")->val.str);
  ReleaseValue(G, &v);
  EXPECT_STREQ(Local("s")->val.str, "keep");
}

// ---- Field references for the tuple built-ins -------------------------------

TEST_F(Eval, FieldReferences) {
  Value t;
  iVTuple(G, &t);
  eval(G, Assign(Name("t"), Const(t)));
  eval(G, Assign(Sel(Name("t"), "x"), Int(1)));
  Value tuple;
  Ident name = 0;
  Field* f = evalfield(G, Sel(Name("t"), "x"), &tuple, &name);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(tuple.type, tTuple);
  EXPECT_EQ(name, MakeIdent(G, "x"));
  EXPECT_EQ(evalfield(G, Pair(TKexprindex, Name("t"), 0, Str("nope")), &tuple, &name), nullptr);
  EXPECT_EQ(name, MakeIdent(G, "nope"));
  f = evalfield(G, Pair(TKexprindex, Name("t"), 0, Int(0)), &tuple, &name);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(name, MakeIdent(G, "x"));
  EXPECT_EQ(evalfield(G, Name("absent"), &tuple, &name), nullptr);
  EXPECT_EQ(tuple.val.tuple.t, G->environment->current->locals.val.tuple.t);
  f = evalfield(G, Bin(Int(1), opPlus, Int(1)), &tuple, &name);   // a field of its own
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(tuple.type, tNull);
  EXPECT_EQ(name, 0u);
  EXPECT_EQ(f->v.val.Integer, 2);
  bxFree(f);
}

// ---- Nesting ----------------------------------------------------------------
// The depth bound, and the stack guard that ends deep evaluation earlier
// when the stack limit leaves less room

TEST_F(Eval, ExpressionNestingIsBounded) {
  Token* deep = Int(1);
  for (int i = 0; i < kMaxExprDepth + 5; ++i) deep = Bin(deep, opPlus, Int(1));
  EXPECT_EXIT(DiesWith([&] { eval(G, deep); }), ExitedWithCode(1), "Expression nested too deeply");
  Token* shallow = Int(1);
  for (int i = 0; i < 2000; ++i) shallow = Bin(shallow, opPlus, Int(1));
  EXPECT_EQ(eval(G, shallow).val.Integer, 2001);
  G->dbhtml->X_StackRoom = 16 * 1024;
  EXPECT_EXIT(DiesWith([&] { eval(G, shallow); }), ExitedWithCode(1),
              "Expression nested too deeply");
}

}  // namespace
