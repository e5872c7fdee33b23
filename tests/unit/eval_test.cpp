// eval_test.cpp: the common-type and conversion tables, the operators and the locations of the evaluator.
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "driver/globals.h"
#include "frontend/tree.h"
#include "interp/eval.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "support/memory.h"
#include "tests/unit/testing.h"
#include "values/strings.h"
#include "values/value.h"

namespace {

// Deep expressions need the stack that the program itself asks for at start.
void RaiseStackLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_STACK, &rl) != 0) return;
  rlim_t want = rlim_t(512) << 20;
  if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < want) want = rl.rlim_max;
  if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur >= want) return;
  rl.rlim_cur = want;
  setrlimit(RLIMIT_STACK, &rl);
}

class Eval : public ::testing::Test {
 protected:
  void SetUp() override {
    RaiseStackLimit();
    G = NewTestGlobals();
  }
  void TearDown() override { FinalizeAllGV(G); }

  Position At(int line, int col) { return Position{uint16_t(line), uint16_t(col), "t.brx"}; }
  Token* Node(uint16_t kind) {
    Token* t = static_cast<Token*>(bxAllocZero(G, sizeof(Token)));
    t->kind = kind;
    t->position = At(1, ++column_);
    return t;
  }
  Token* Const(Value v) {
    Token* t = Node(TKconst);
    t->constant = v;
    return t;
  }
  Token* Int(int32_t i) { return Const(MakeInteger(i)); }
  Token* Real(double d) { return Const(MakeReal(d)); }
  Token* Bool(bool b) { return Const(MakeBoolean(b)); }
  Token* Null() { return Const(nullValue); }
  Token* Str(const char* s) { return Const(MakeStringZ(G, s, 0)); }
  Token* EmptyTuple() {
    Value v;
    iVTuple(G, &v);
    return Const(v);
  }
  Token* Name(const char* n) {
    Token* t = Node(TKName);
    t->name = MakeIdent(G, n);
    return t;
  }
  Token* Bin(Token* l, int op, Token* r) {
    Token* t = Node(TKexprbin);
    t->left = l;
    t->op = op;
    t->right = r;
    return t;
  }
  Token* Un(int op, Token* e) {
    Token* t = Node(TKexprun);
    t->op = op;
    t->left = e;
    return t;
  }
  Token* Assign(Token* target, Token* value) {
    Token* t = Node(TKexprassign);
    t->left = target;
    t->op = opAssign;
    t->right = value;
    return t;
  }
  Token* Index(Token* base, Token* index) {
    Token* t = Node(TKexprindex);
    t->left = base;
    t->right = index;
    return t;
  }
  Token* Sel(Token* base, const char* field) {
    Token* t = Node(TKselektor);
    t->left = base;
    t->name = MakeIdent(G, field);
    return t;
  }
  Token* Copy(Token* e) {
    Token* t = Node(TKexprcopy);
    t->left = e;
    return t;
  }

  Value Ev(Token* e) { return eval(G, e); }
  std::string Text(Token* e) {
    char* s = evalexpr(G, e);
    std::string r = s ? s : "<none>";
    bxFree(s);
    return r;
  }
  bool IsTrue(Token* e) {
    const Value v = eval(G, e);
    EXPECT_EQ(v.type, tBoolean);
    return v.val.Boolean != 0;
  }

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

// ---------------------------------------------------------------------------
// The common-type rule
// ---------------------------------------------------------------------------

TEST_F(Eval, CommonTypeOfEqualTypesIsThatType) {
  for (uint16_t t = tNull; t <= tTuple; ++t) {
    EXPECT_EQ(CommonType(t, t, opPlus), t);
    EXPECT_EQ(CommonType(t, t, opLess), t);
  }
}

TEST_F(Eval, CommonTypeOfNumbersAndStrings) {
  EXPECT_EQ(CommonType(tInteger, tReal, opLess), tReal);
  EXPECT_EQ(CommonType(tReal, tInteger, opTimes), tReal);
  EXPECT_EQ(CommonType(tString, tInteger, opPlus), tString);
  EXPECT_EQ(CommonType(tReal, tString, opLess), tString);
}

TEST_F(Eval, CommonTypeWithNullDependsOnTheOperator) {
  // Arithmetic and equality adopt the other operand's type.
  for (int op : {opPlus, opMinus, opTimes, opDiv, opMod, opEq, opNotEq}) {
    EXPECT_EQ(CommonType(tNull, tInteger, op), tInteger);
    EXPECT_EQ(CommonType(tString, tNull, op), tString);
    EXPECT_EQ(CommonType(tNull, tTuple, op), tTuple);
  }
  // Ordering and logic: Boolean only beside a Boolean, else Null.
  for (int op : {opLess, opLessEq, opGreaterEq, opAnd, opOr}) {
    EXPECT_EQ(CommonType(tNull, tInteger, op), tNull);
    EXPECT_EQ(CommonType(tInteger, tNull, op), tNull);
    EXPECT_EQ(CommonType(tBoolean, tNull, op), tBoolean);
    EXPECT_EQ(CommonType(tNull, tBoolean, op), tBoolean);
  }
}

TEST_F(Eval, CommonTypeOfUnrelatedTypes) {
  EXPECT_EQ(CommonType(tBoolean, tInteger, opPlus), tBoolean);
  EXPECT_EQ(CommonType(tString, tBoolean, opEq), tBoolean);
  EXPECT_EQ(CommonType(tTuple, tInteger, opEq), tNull);
  EXPECT_EQ(CommonType(tString, tTuple, opPlus), tNull);
}

// ---------------------------------------------------------------------------
// Coerce
// ---------------------------------------------------------------------------

TEST_F(Eval, CoerceFromNullGivesTheZeroOfEachType) {
  const Position p = At(1, 1);
  EXPECT_EQ(Coerce(G, nullValue, tInteger, p).val.Integer, 0);
  const Value r = Coerce(G, nullValue, tReal, p);
  EXPECT_EQ(r.type, tReal);
  EXPECT_EQ(r.val.Real, 0.0);
  const Value b = Coerce(G, nullValue, tBoolean, p);
  EXPECT_EQ(b.type, tBoolean);
  EXPECT_EQ(b.val.Boolean, 0);
  const Value s = Coerce(G, nullValue, tString, p);
  EXPECT_EQ(s.type, tString);
  EXPECT_EQ(s.val.String.str, nullptr);
}

TEST_F(Eval, CoerceNumbersToText) {
  const Position p = At(1, 1);
  Value s = Coerce(G, MakeInteger(-42), tString, p);
  ASSERT_EQ(s.type, tString);
  EXPECT_STREQ(s.val.String.str, "-42");
  EXPECT_EQ(s.val.String.size, 3);
  EXPECT_TRUE(IsTemp(s));
  ReleaseValue(G, &s);
  Value r = Coerce(G, MakeReal(1.5), tString, p);
  EXPECT_STREQ(r.val.String.str, "1.500000");
  ReleaseValue(G, &r);
  Value big = Coerce(G, MakeReal(1e20), tString, p);
  EXPECT_STREQ(big.val.String.str, "100000000000000000000.000000");
  ReleaseValue(G, &big);
}

TEST_F(Eval, CoerceToRealAndUnchangedCells) {
  const Position p = At(1, 1);
  EXPECT_EQ(Coerce(G, MakeInteger(7), tReal, p).val.Real, 7.0);
  const Value str = MakeStringZ(G, "12", VF_TEMP);
  const Value r = Coerce(G, str, tReal, p);   // a string counts as 0.0
  EXPECT_EQ(r.type, tReal);
  EXPECT_EQ(r.val.Real, 0.0);
  EXPECT_EQ(Coerce(G, MakeInteger(3), tInteger, p).val.Integer, 3);
  Value t;
  iVTuple(G, &t);
  EXPECT_EQ(Coerce(G, t, tTuple, p).val.tuple.t, t.val.tuple.t);
  EXPECT_EQ(Coerce(G, MakeInteger(3), tTuple, p).type, tInteger);
  ReleaseValue(G, &t);
}

TEST_F(Eval, CoerceToNullIsFatal) {
  EXPECT_EXIT(DiesWith([&] { Coerce(G, MakeInteger(1), tNull, At(2, 3)); }),
              ::testing::ExitedWithCode(1), "Operator needs a non null argument");
}

TEST_F(Eval, CoerceTypeErrors) {
  const Position p = At(1, 1);
  EXPECT_EXIT(DiesWith([&] { Coerce(G, MakeReal(1), tInteger, p); }),
              ::testing::ExitedWithCode(1), "Integer instead of real was expected");
  EXPECT_EXIT(DiesWith([&] { Coerce(G, MakeBoolean(true), tInteger, p); }),
              ::testing::ExitedWithCode(1), "Integer instead of boolean was expected");
  EXPECT_EXIT(DiesWith([&] { Coerce(G, MakeStringZ(G, "x", 0), tInteger, p); }),
              ::testing::ExitedWithCode(1), "Integer instead of string was expected");
  EXPECT_EXIT(DiesWith([&] { Coerce(G, MakeBoolean(false), tReal, p); }),
              ::testing::ExitedWithCode(1), "Real instead of boolean was expected");
  EXPECT_EXIT(DiesWith([&] { Coerce(G, MakeInteger(1), tBoolean, p); }),
              ::testing::ExitedWithCode(1),
              "Boolean argument was expected(.|\n)*make sure you have used == instead of =");
}

TEST_F(Eval, CoerceOfATupleToANumberIsAnInternalError) {
  Value t;
  iVTuple(G, &t);
  EXPECT_EXIT(Coerce(G, t, tInteger, At(1, 1)), ::testing::ExitedWithCode(1),
              "Coerce: Internal error: not a valid expression tag '6'");
}

// ---------------------------------------------------------------------------
// Operators
// ---------------------------------------------------------------------------

TEST_F(Eval, IntegerDivisionTruncatesTowardZero) {
  EXPECT_EQ(Ev(Bin(Int(7), opDiv, Int(2))).val.Integer, 3);
  EXPECT_EQ(Ev(Bin(Int(-7), opDiv, Int(2))).val.Integer, -3);
  EXPECT_EQ(Ev(Bin(Int(-7), opMod, Int(2))).val.Integer, -1);
  EXPECT_EQ(Ev(Bin(Int(7), opMod, Int(-2))).val.Integer, 1);
}

TEST_F(Eval, IntegerArithmeticWrapsAround) {
  EXPECT_EQ(Ev(Bin(Int(INT_MAX), opPlus, Int(1))).val.Integer, INT_MIN);
  EXPECT_EQ(Ev(Bin(Int(INT_MIN), opMinus, Int(1))).val.Integer, INT_MAX);
  EXPECT_EQ(Ev(Bin(Int(65536), opTimes, Int(65536))).val.Integer, 0);
  EXPECT_EQ(Ev(Un(opNeg, Int(INT_MIN))).val.Integer, INT_MIN);
  // The one overflowing quotient wraps like the rest and does not trap.
  EXPECT_EQ(Ev(Bin(Int(INT_MIN), opDiv, Int(-1))).val.Integer, INT_MIN);
  EXPECT_EQ(Ev(Bin(Int(INT_MIN), opMod, Int(-1))).val.Integer, 0);
}

TEST_F(Eval, IntegerLogicAndComparison) {
  EXPECT_TRUE(IsTrue(Bin(Int(2), opAnd, Int(3))));
  EXPECT_FALSE(IsTrue(Bin(Int(2), opAnd, Int(0))));
  EXPECT_TRUE(IsTrue(Bin(Int(0), opOr, Int(-1))));
  EXPECT_TRUE(IsTrue(Bin(Int(-1), opLess, Int(0))));
  EXPECT_TRUE(IsTrue(Bin(Int(4), opGreaterEq, Int(4))));
  EXPECT_FALSE(IsTrue(Bin(Int(4), opLessEq, Int(3))));
}

TEST_F(Eval, RealOperators) {
  EXPECT_EQ(Ev(Bin(Real(7.0), opDiv, Int(2))).val.Real, 3.5);
  const Value m = Ev(Bin(Real(5.5), opMod, Real(2.0)));
  EXPECT_EQ(m.type, tReal);
  EXPECT_EQ(m.val.Real, 0.0);
  const Value s = Ev(Bin(Int(1), opPlus, Real(2.5)));
  EXPECT_EQ(s.type, tReal);
  EXPECT_EQ(s.val.Real, 3.5);
  EXPECT_TRUE(IsTrue(Bin(Int(1), opLess, Real(1.5))));
}

TEST_F(Eval, NullTakesTheOtherType) {
  const Value v = Ev(Bin(Null(), opPlus, Int(5)));
  EXPECT_EQ(v.type, tInteger);
  EXPECT_EQ(v.val.Integer, 5);
  EXPECT_TRUE(IsTrue(Bin(Null(), opEq, Null())));
  EXPECT_FALSE(IsTrue(Bin(Null(), opNotEq, Null())));
  EXPECT_FALSE(IsTrue(Bin(Int(0), opEq, Null())));
  EXPECT_TRUE(IsTrue(Bin(Int(0), opNotEq, Null())));
  EXPECT_FALSE(IsTrue(Bin(Real(0), opEq, Null())));
  EXPECT_FALSE(IsTrue(Bin(Str(""), opEq, Null())));
  EXPECT_FALSE(IsTrue(Bin(Bool(false), opEq, Null())));
  EXPECT_FALSE(IsTrue(Bin(EmptyTuple(), opEq, Null())));
  EXPECT_TRUE(IsTrue(Bin(Null(), opNotEq, EmptyTuple())));
  // Beside a Boolean, Null is false.
  EXPECT_TRUE(IsTrue(Bin(Bool(true), opAnd, Bool(true))));
  EXPECT_FALSE(IsTrue(Bin(Null(), opOr, Bool(false))));
  EXPECT_TRUE(IsTrue(Bin(Null(), opLess, Bool(true))));
}

TEST_F(Eval, BooleansCompareAsZeroAndOne) {
  EXPECT_TRUE(IsTrue(Bin(Bool(false), opLess, Bool(true))));
  EXPECT_FALSE(IsTrue(Bin(Bool(true), opLessEq, Bool(false))));
  Value odd = MakeBoolean(true);
  odd.val.Boolean = 7;   // any non-zero word reads as true
  EXPECT_TRUE(IsTrue(Bin(Const(odd), opEq, Bool(true))));
  EXPECT_FALSE(IsTrue(Un(opNot, Const(odd))));
}

TEST_F(Eval, StringConcatenationAndConversion) {
  EXPECT_EQ(Text(Bin(Str("a"), opPlus, Int(1))), "a1");
  EXPECT_EQ(Text(Bin(Real(0.5), opPlus, Str("x"))), "0.500000x");
  EXPECT_EQ(Text(Bin(Null(), opPlus, Str("b"))), "b");
  const Value v = Ev(Bin(Str("ab"), opPlus, Str("cd")));
  EXPECT_TRUE(IsTemp(v));
  EXPECT_EQ(v.val.String.size, 4);
}

TEST_F(Eval, ConcatenationIsCutAt32767Bytes) {
  std::string a(20000, 'a'), b(20000, 'b');
  Value v = Ev(Bin(Str(a.c_str()), opPlus, Str(b.c_str())));
  ASSERT_EQ(v.type, tString);
  EXPECT_EQ(v.val.String.size, 32767);
  EXPECT_EQ(std::strlen(v.val.String.str), 32767u);
  EXPECT_EQ(v.val.String.str[19999], 'a');
  EXPECT_EQ(v.val.String.str[20000], 'b');
  ReleaseValue(G, &v);
}

TEST_F(Eval, StringComparison) {
  EXPECT_TRUE(IsTrue(Bin(Str("abc"), opLess, Str("abd"))));
  EXPECT_TRUE(IsTrue(Bin(Str("10"), opLess, Int(9))));   // compared as text
  EXPECT_TRUE(IsTrue(Bin(Str("x"), opEq, Str("x"))));
  Value nullStr = MakeStringZ(G, "", 0);
  bxFree(nullStr.val.String.str);
  nullStr.val.String.str = nullptr;
  EXPECT_TRUE(IsTrue(Bin(Const(nullStr), opLess, Str(""))));
  EXPECT_TRUE(IsTrue(Bin(Const(nullStr), opEq, Const(nullStr))));
  EXPECT_FALSE(IsTrue(Bin(Str("\xe4"), opLess, Str("a"))));   // unsigned bytes
}

TEST_F(Eval, TuplesCompareByIdentity) {
  Ev(Assign(Name("a"), EmptyTuple()));
  Ev(Assign(Name("b"), Name("a")));
  EXPECT_TRUE(IsTrue(Bin(Name("a"), opEq, Name("b"))));
  EXPECT_FALSE(IsTrue(Bin(Name("a"), opEq, EmptyTuple())));
  EXPECT_TRUE(IsTrue(Bin(EmptyTuple(), opNotEq, EmptyTuple())));
}

TEST_F(Eval, SequenceGivesTheRightOperand) {
  Value v = Ev(Bin(Assign(Name("i"), Int(4)), opSeq, Bin(Name("i"), opPlus, Int(1))));
  EXPECT_EQ(v.val.Integer, 5);
}

TEST_F(Eval, OperatorMessages) {
  const struct {
    int l, op, r;
    const char* text;
  } cases[] = {
      {0, opDiv, 0, "Division by zero"},
      {0, opMod, 0, "Division by zero"},
  };
  for (const auto& c : cases)
    EXPECT_EXIT(DiesWith([&] { Ev(Bin(Int(c.l), c.op, Int(c.r))); }),
                ::testing::ExitedWithCode(1), c.text);
  EXPECT_EXIT(DiesWith([&] { Ev(Bin(Real(1), opDiv, Int(0))); }), ::testing::ExitedWithCode(1),
              "division by zero");
  EXPECT_EXIT(DiesWith([&] { Ev(Bin(Real(1), opMod, Real(0))); }), ::testing::ExitedWithCode(1),
              "division by zero");
  EXPECT_EXIT(DiesWith([&] { Ev(Bin(Null(), opLess, Int(5))); }), ::testing::ExitedWithCode(1),
              "Operator needs a non null argument");
  EXPECT_EXIT(DiesWith([&] { Ev(Bin(Null(), opPlus, Null())); }), ::testing::ExitedWithCode(1),
              "Type error");
  EXPECT_EXIT(DiesWith([&] { Ev(Bin(Bool(true), opPlus, Int(1))); }),
              ::testing::ExitedWithCode(1), "Boolean argument was expected");
  EXPECT_EXIT(DiesWith([&] { Ev(Bin(Real(1), opAnd, Real(1))); }), ::testing::ExitedWithCode(1),
              "This operator does not work on real arguments.");
  EXPECT_EXIT(DiesWith([&] { Ev(Bin(Bool(true), opPlus, Bool(true))); }),
              ::testing::ExitedWithCode(1), "This operator does not work on boolean arguments.");
  EXPECT_EXIT(DiesWith([&] { Ev(Bin(Str("a"), opMinus, Str("b"))); }),
              ::testing::ExitedWithCode(1), "This operator does not work on string arguments.");
  EXPECT_EXIT(DiesWith([&] { Ev(Bin(EmptyTuple(), opLess, EmptyTuple())); }),
              ::testing::ExitedWithCode(1), "This operator does not work on tuple arguments.");
  EXPECT_EXIT(DiesWith([&] { Ev(Bin(Int(1), opSeq + 1000, Int(1))); }),
              ::testing::ExitedWithCode(1), "This operator does not work on integer arguments.");
}

TEST_F(Eval, UnaryOperators) {
  EXPECT_EQ(Ev(Un(opNeg, Int(5))).val.Integer, -5);
  EXPECT_EQ(Ev(Un(opNeg, Real(2.5))).val.Real, -2.5);
  EXPECT_TRUE(IsTrue(Un(opNot, Bool(false))));
  EXPECT_EXIT(DiesWith([&] { Ev(Un(opNeg, Bool(true))); }), ::testing::ExitedWithCode(1),
              "does not work on a boolean argument");
  EXPECT_EXIT(DiesWith([&] { Ev(Un(opNot, Int(1))); }), ::testing::ExitedWithCode(1),
              "does not work on an integer argument");
  EXPECT_EXIT(DiesWith([&] { Ev(Un(opNot, Real(1))); }), ::testing::ExitedWithCode(1),
              "does not work on a real argument");
  EXPECT_EXIT(DiesWith([&] { Ev(Un(opNot, Null())); }), ::testing::ExitedWithCode(1),
              "Operator needs a non null argument");
  EXPECT_EXIT(Ev(Un(opNeg, Str("a"))), ::testing::ExitedWithCode(1),
              "eval: Internal error: not a valid type for unary expression: 5");
}

// ---------------------------------------------------------------------------
// Variables, indexing and assignment
// ---------------------------------------------------------------------------

TEST_F(Eval, StringIndexing) {
  EXPECT_EQ(Text(Index(Str("abc"), Int(1))), "b");
  EXPECT_EXIT(DiesWith([&] { Ev(Index(Str("abc"), Int(3))); }), ::testing::ExitedWithCode(1),
              "Index out of bounds");
  EXPECT_EXIT(DiesWith([&] { Ev(Index(Str("abc"), Int(-1))); }), ::testing::ExitedWithCode(1),
              "Index out of bounds");
  EXPECT_EXIT(DiesWith([&] { Ev(Index(Str("abc"), Real(1))); }), ::testing::ExitedWithCode(1),
              "Index must be of type integer");
  EXPECT_EXIT(DiesWith([&] { Ev(Index(Int(5), Int(0))); }), ::testing::ExitedWithCode(1),
              "must lead to a tuple or a string");
}

TEST_F(Eval, TupleFieldsByNameAndPosition) {
  Ev(Assign(Name("t"), EmptyTuple()));
  Ev(Assign(Index(Name("t"), Str("x")), Int(1)));   // adds the field
  Ev(Assign(Sel(Name("t"), "y"), Str("two")));
  EXPECT_EQ(Text(Sel(Name("t"), "x")), "1");
  EXPECT_EQ(Text(Index(Name("t"), Int(1))), "two");
  EXPECT_EQ(Text(Index(Name("t"), Str("Y"))), "two");   // names ignore case
  EXPECT_EQ(Ev(Index(Name("t"), Str("zz"))).type, tNull);
  Ev(Assign(Index(Name("t"), Int(0)), Int(9)));
  EXPECT_EQ(Text(Sel(Name("t"), "x")), "9");
  EXPECT_EXIT(DiesWith([&] { Ev(Sel(Name("t"), "zz")); }), ::testing::ExitedWithCode(1),
              "Undefined tuple field : zz");
  EXPECT_EXIT(DiesWith([&] { Ev(Assign(Index(Name("t"), Int(5)), Int(1))); }),
              ::testing::ExitedWithCode(1), "Index out of bounds:: 5");
  EXPECT_EXIT(DiesWith([&] { Ev(Index(Name("t"), Int(2))); }), ::testing::ExitedWithCode(1),
              "Index out of bounds");
}

TEST_F(Eval, LocationMessages) {
  Ev(Assign(Name("s"), Str("abc")));
  Ev(Assign(Name("n"), Int(1)));
  EXPECT_EXIT(DiesWith([&] { Ev(Assign(Index(Name("s"), Int(0)), Str("x"))); }),
              ::testing::ExitedWithCode(1), "Character Indexing on left hand side not allowed");
  EXPECT_EXIT(DiesWith([&] { Ev(Assign(Index(Name("n"), Int(0)), Int(1))); }),
              ::testing::ExitedWithCode(1), "Expression in front of \\[\\] must denote a tuple");
  EXPECT_EXIT(DiesWith([&] { Ev(Assign(Sel(Name("n"), "x"), Int(1))); }),
              ::testing::ExitedWithCode(1), "Tuple type expected");
  EXPECT_EXIT(DiesWith([&] { Ev(Sel(Name("n"), "x")); }), ::testing::ExitedWithCode(1),
              "The expression before the . must lead to a tuple.");
  EXPECT_EXIT(DiesWith([&] { Ev(Assign(Int(1), Int(2))); }), ::testing::ExitedWithCode(1),
              "lvalue expected");
  EXPECT_EXIT(DiesWith([&] { Ev(Name("nowhere")); }), ::testing::ExitedWithCode(1),
              "Undefined variable: nowhere");
}

TEST_F(Eval, TuplesAreSharedStringsAreCopied) {
  Ev(Assign(Name("b"), EmptyTuple()));
  Ev(Assign(Name("a"), Name("b")));
  Ev(Assign(Sel(Name("a"), "x"), Int(1)));
  EXPECT_EQ(Text(Sel(Name("b"), "x")), "1");
  Ev(Assign(Name("s"), Str("one")));
  Ev(Assign(Name("u"), Name("s")));
  Ev(Assign(Name("s"), Str("two")));
  EXPECT_EQ(Text(Name("u")), "one");
}

TEST_F(Eval, SelfAssignmentKeepsTheValue) {
  Ev(Assign(Name("s"), Bin(Str("ab"), opPlus, Str("cd"))));
  Ev(Assign(Name("s"), Name("s")));
  EXPECT_EQ(Text(Name("s")), "abcd");
  Ev(Assign(Name("t"), EmptyTuple()));
  Ev(Assign(Sel(Name("t"), "inner"), EmptyTuple()));
  Ev(Assign(Sel(Sel(Name("t"), "inner"), "v"), Str("deep")));
  // A variable receives a part of its own old value.
  Ev(Assign(Name("t"), Sel(Name("t"), "inner")));
  EXPECT_EQ(Text(Sel(Name("t"), "v")), "deep");
  Ev(Assign(Name("t"), Name("t")));
  EXPECT_EQ(Text(Sel(Name("t"), "v")), "deep");
}

TEST_F(Eval, ReadOnlyFieldsRefuseAssignment) {
  Ev(Assign(Name("t"), EmptyTuple()));
  Ev(Assign(Sel(Name("t"), "f"), Int(1)));
  vGetField(*vGetField(G->environment->current->locals, MakeIdent(G, "t")),
            MakeIdent(G, "f"))->flags |= VF_READONLY;
  EXPECT_EXIT(DiesWith([&] { Ev(Assign(Sel(Name("t"), "f"), Int(2))); }),
              ::testing::ExitedWithCode(1), "Assignment to read only field/variable");
  // Reading and copying it is fine; the copy may be assigned.
  Ev(Assign(Name("c"), Sel(Name("t"), "f")));
  Ev(Assign(Name("c"), Int(3)));
  EXPECT_EQ(Text(Name("c")), "3");
}

TEST_F(Eval, CopyNodesMakeOwnedValues) {
  Ev(Assign(Name("s"), Str("keep")));
  Value v = Ev(Copy(Name("s")));
  EXPECT_TRUE(IsTemp(v));
  EXPECT_NE(v.val.String.str, vGetField(G->environment->current->locals, MakeIdent(G, "s"))->val.String.str);
  ReleaseValue(G, &v);
  EXPECT_EQ(Text(Name("s")), "keep");
}

TEST_F(Eval, EmptyTupleConstantIsNewEachTime) {
  Token* e = EmptyTuple();
  Value a = Ev(e), b = Ev(e);
  EXPECT_NE(a.val.tuple.t, b.val.tuple.t);
  EXPECT_TRUE(IsTemp(a));
  ReleaseValue(G, &a);
  ReleaseValue(G, &b);
}

TEST_F(Eval, RootTuplesAreLocations) {
  Ev(Assign(Sel(Name("gl"), "count"), Int(3)));
  EXPECT_NE(vGetField(G->value->gl, MakeIdent(G, "count")), nullptr);
  EXPECT_EQ(Text(Sel(Name("GL"), "count")), "3");
}

TEST_F(Eval, FieldReferences) {
  Ev(Assign(Name("t"), EmptyTuple()));
  Ev(Assign(Sel(Name("t"), "x"), Int(1)));
  Value tuple;
  Ident name = 0;
  Field* f = evalfield(G, Sel(Name("t"), "x"), &tuple, &name);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(tuple.type, tTuple);
  EXPECT_EQ(name, MakeIdent(G, "x"));
  EXPECT_EQ(evalfield(G, Index(Name("t"), Str("nope")), &tuple, &name), nullptr);
  EXPECT_EQ(name, MakeIdent(G, "nope"));
  EXPECT_EQ(evalfield(G, Name("absent"), &tuple, &name), nullptr);
  f = evalfield(G, Bin(Int(1), opPlus, Int(1)), &tuple, &name);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(tuple.type, tNull);
  EXPECT_EQ(f->v.val.Integer, 2);
}

TEST_F(Eval, ExpressionDepthIsBounded) {
  Token* e = Int(1);
  for (int i = 0; i < kMaxExprDepth + 5; ++i) e = Bin(e, opPlus, Int(1));
  EXPECT_EXIT(DiesWith([&] { Ev(e); }), ::testing::ExitedWithCode(1),
              "Expression nested too deeply");
}

}  // namespace
