// value_test.cpp: values and tuples: sharing and deep copy, release of
// nested and shared tuples, growth numbers, insertion and deletion, the
// session tuple space, and deep nesting without recursion.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "session/session.h"
#include "tests/unit/foundation_context.h"
#include "values/strings.h"

namespace {

Value newTuple(FoundationContext& c) {
  Value v;
  iVTuple(c.G, &v);
  return v;
}

Tuple* tupleOf(const Value& v) { return v.val.tuple.t; }

Ident id(FoundationContext& c, const char* name) { return MakeIdent(c.G, name); }

void addInt(FoundationContext& c, Value t, const char* name, int32_t i) {
  *vAddField(c.G, t, name ? id(c, name) : 0) = MakeInteger(i);
}

// The Integer payloads of the fields in order.
std::vector<int> intsOf(const Value& t) {
  std::vector<int> out;
  for (int32_t i = 0; i < tupleOf(t)->logsize; ++i) out.push_back(tupleOf(t)->fields[i].v.val.Integer);
  return out;
}

TEST(Values, ConstantsTypeNamesAndRootCells) {
  const char* const names[] = {"Error", "Null", "Integer", "Real", "Boolean", "String", "Tuple"};
  for (int i = 0; i < 7; ++i) EXPECT_STREQ(names[i], vTypeName[i]);
  EXPECT_EQ(1, trueValue.val.Boolean);
  EXPECT_EQ(0, trueValue.flags | falseValue.flags | nullValue.flags | errorValue.flags);
  FoundationContext c;
  EXPECT_EQ(tNull, c.G->value->ff.type);
  for (const Value* v : {&c.G->value->gl, &c.G->value->se}) {
    ASSERT_EQ(tTuple, v->type);
    EXPECT_EQ(3, tupleOf(*v)->physsize);
    EXPECT_EQ(0, tupleOf(*v)->logsize);
  }
}

// ---- Ownership ------------------------------------------------------------

TEST(ValueOwnership, TuplesAreSharedStringsCopiedAndDeepCopiesIndependent) {
  FoundationContext c;
  Value a = newTuple(c);
  addInt(c, a, "x", 1);
  a.flags = VF_READONLY;
  Value shared = AssignValue(c.G, a);
  Value copy = CopyValue(c.G, a);
  EXPECT_EQ(2, tupleOf(a)->refcount);
  EXPECT_EQ(VF_READONLY, shared.flags) << "a shared tuple keeps its flags";
  EXPECT_EQ(0, copy.flags);
  *vGetField(shared, id(c, "X")) = MakeInteger(2);
  EXPECT_EQ(2, vGetField(a, id(c, "x"))->val.Integer);
  EXPECT_EQ(1, vGetField(copy, id(c, "x"))->val.Integer);

  Value i = MakeInteger(5);
  i.flags = VF_READONLY;
  EXPECT_EQ(0, AssignValue(c.G, i).flags);
  EXPECT_EQ(0, CopyValue(c.G, i).flags);
  Value s = MakeStringZ(c.G, "abc", VF_READONLY);
  Value t = AssignValue(c.G, s);
  EXPECT_EQ(0, t.flags);
  s.val.String.str[0] = 'z';
  EXPECT_STREQ("abc", t.val.String.str);
  Value n = MakeStringZ(c.G, nullptr, 0);
  EXPECT_EQ(nullptr, AssignValue(c.G, n).val.String.str) << "the null string stays null";
  for (Value* v : {&a, &shared, &copy, &s, &t}) ReleaseValue(c.G, v);
}

TEST(ValueOwnership, StoreMovesTemporariesAndCopiesBorrowedValues) {
  FoundationContext c;
  Value temp = MakeStringZ(c.G, "moved", VF_TEMP);
  Value cell, other;
  StoreValue(c.G, &cell, temp);
  EXPECT_EQ(temp.val.String.str, cell.val.String.str);
  EXPECT_EQ(0, cell.flags);
  StoreValue(c.G, &other, cell);
  EXPECT_NE(cell.val.String.str, other.val.String.str);
  ReleaseIfTemp(c.G, &cell);   // not temporary: kept
  EXPECT_STREQ("moved", cell.val.String.str);
  ReleaseValue(c.G, &cell);
  ReleaseValue(c.G, &other);
}

TEST(ValueOwnership, ReleasingTheLastOwnerSparesNestedTuplesSharedElsewhere) {
  FoundationContext c;
  Value inner = newTuple(c);
  addInt(c, inner, "n", 7);
  Value outer = newTuple(c);
  *vAddField(c.G, outer, id(c, "in")) = AssignValue(c.G, inner);
  *vAddField(c.G, outer, id(c, "s")) = MakeStringZ(c.G, "text", 0);
  *vAddField(c.G, outer, id(c, "own")) = newTuple(c);
  Value second = AssignValue(c.G, outer);
  ReleaseValue(c.G, &outer);   // one of two owners: nothing is freed
  EXPECT_STREQ("text", vGetField(second, id(c, "s"))->val.String.str);
  EXPECT_EQ(2, tupleOf(inner)->refcount);
  ReleaseValue(c.G, &second);   // the last owner (ASan checks the rest)
  EXPECT_EQ(1, tupleOf(inner)->refcount);
  EXPECT_EQ(7, vGetField(inner, id(c, "n"))->val.Integer);
  ReleaseValue(c.G, &inner);
}

TEST(ValueOwnership, DeepCopyCopiesNestedTuplesWithFiveSpareSlots) {
  FoundationContext c;
  Value inner = newTuple(c);
  *vAddField(c.G, inner, id(c, "s")) = MakeStringZ(c.G, "deep", 0);
  Value outer = newTuple(c);
  addInt(c, outer, "a", 1);
  *vAddField(c.G, outer, id(c, "t")) = AssignValue(c.G, inner);
  addInt(c, outer, nullptr, 3);
  Value copy = CopyValue(c.G, outer);
  EXPECT_EQ(8, tupleOf(copy)->physsize);
  EXPECT_EQ(3, tupleOf(copy)->logsize);
  EXPECT_EQ(0u, tupleOf(copy)->fields[2].name);
  Value* t = vGetField(copy, id(c, "t"));
  EXPECT_NE(tupleOf(inner), tupleOf(*t));
  EXPECT_EQ(6, tupleOf(*t)->physsize);
  Value* s = vGetField(*t, id(c, "s"));
  EXPECT_STREQ("deep", s->val.String.str);
  EXPECT_NE(vGetField(inner, id(c, "s"))->val.String.str, s->val.String.str);
  for (Value* v : {&outer, &inner, &copy}) ReleaseValue(c.G, v);
}

TEST(ValueOwnership, DeeplyNestedTuplesCopyAndReleaseWithoutRecursion) {
  FoundationContext c;
  const int depth = 300000;
  Value v = newTuple(c);
  for (int i = 0; i < depth; ++i) {
    Value outer = newTuple(c);
    *vAddField(c.G, outer, 0) = v;
    v = outer;
  }
  Value copy = CopyValue(c.G, v);
  int n = 0;
  for (Value cur = copy; tupleOf(cur)->logsize == 1; cur = tupleOf(cur)->fields[0].v) ++n;
  EXPECT_EQ(depth, n);
  ReleaseValue(c.G, &v);
  ReleaseValue(c.G, &copy);
}

// ---- Construction, growth and lookup ----------------------------------------

TEST(ValueTuples, RecordsSlotsAndStringsChargeTheirDocumentedSizes) {
  FoundationContext c;
  int64_t before = c.left();
  Value t = newTuple(c);
  EXPECT_EQ(before - (16 + 3 * 16), c.left());
  before = c.left();
  Value u;
  iVTupleSize(c.G, &u, 20);
  EXPECT_EQ(before - (16 + 20 * 16), c.left());
  before = c.left();
  Value s = MakeString(c.G, "abcdef", 4, VF_TEMP);
  EXPECT_EQ(before - 5, c.left());
  EXPECT_STREQ("abcd", s.val.String.str);
  Tuple* r = vCreateTuple(c.G, 2, 4);
  EXPECT_EQ(2, r->logsize);
  EXPECT_EQ(4, r->physsize);
  r->fields[0] = Field{0, MakeInteger(1)};
  r->fields[1] = Field{0, nullValue};
  Value rv{tTuple, 0, {}};
  rv.val.tuple.t = r;
  for (Value* v : {&t, &u, &s, &rv}) ReleaseValue(c.G, v);
}

TEST(ValueTuples, AppendGrowsTo2CapPlus3AndInsertionTo2Cap) {
  FoundationContext c;
  Value t = newTuple(c);
  for (int i = 0; i < 4; ++i) addInt(c, t, nullptr, i);
  EXPECT_EQ(9, tupleOf(t)->physsize);
  for (int i = 4; i < 9; ++i) addInt(c, t, nullptr, i);
  const int64_t before = c.left();
  Field* f = vInsField(c.G, t, vIndexField(t, 4));
  EXPECT_EQ(18, tupleOf(t)->physsize);
  EXPECT_EQ(before - 18 * 16, c.left());
  EXPECT_EQ(tNull, f->v.type);
  EXPECT_EQ(f, vIndexField(t, 4));
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 0, 4, 5, 6, 7, 8}), intsOf(t));
  ReleaseValue(c.G, &t);

  Value u = newTuple(c);
  addInt(c, u, "a", 1);
  addInt(c, u, "b", 2);
  addInt(c, u, "c", 3);
  vAppField(c.G, u, vFindField(u, id(c, "a")))->v = MakeInteger(10);
  EXPECT_EQ(6, tupleOf(u)->physsize);
  vInsField(c.G, u, vFindField(u, id(c, "a")))->v = MakeInteger(20);
  EXPECT_EQ((std::vector<int>{20, 1, 10, 2, 3}), intsOf(u));
  EXPECT_EQ(3, vGetField(u, id(c, "c"))->val.Integer) << "names move with their values";
  EXPECT_EQ(vIndexField(u, 5), vAppField(c.G, u, vIndexField(u, 4)));
  ReleaseValue(c.G, &u);
}

TEST(ValueTuples, LookupFindsTheFirstFieldOfAName) {
  FoundationContext c;
  Value t = newTuple(c);
  addInt(c, t, "dup", 1);
  addInt(c, t, "DUP", 2);
  EXPECT_EQ(1, vGetField(t, id(c, "Dup"))->val.Integer);
  EXPECT_EQ(vFindField(t, id(c, "dup")), dbFieldOf(tupleOf(t), id(c, "dup")));
  EXPECT_EQ(nullptr, vGetField(t, id(c, "none")));
  EXPECT_EQ(nullptr, vGetField(MakeInteger(3), id(c, "dup")));
  EXPECT_EQ(nullptr, vIndexField(t, -1));
  EXPECT_EQ(nullptr, vIndexField(t, 2));
  EXPECT_EQ(2, vIndexField(t, 1)->v.val.Integer);
  ReleaseValue(c.G, &t);
}

// ---- Deletion and resize ----------------------------------------------------

Value fiveStrings(FoundationContext& c) {
  Value t = newTuple(c);
  for (int i = 0; i < 5; ++i) *vAddField(c.G, t, id(c, "f")) = MakeStringZ(c.G, std::to_string(i).c_str(), 0);
  return t;
}

std::string textsOf(const Value& t) {
  std::string out;
  for (int32_t i = 0; i < tupleOf(t)->logsize; ++i) out += tupleOf(t)->fields[i].v.val.String.str;
  return out;
}

TEST(ValueTuples, DeletionsMoveTheRestDownAndClearTheVacatedSlots) {
  FoundationContext c;
  struct Case {
    int at, n;
    const char* left;
  };
  for (const Case& k : {Case{2, 1, "0134"}, Case{1, 2, "034"}, Case{3, 3, "012"}, Case{3, 2, "012"},
                        Case{0, 0, "01234"}}) {
    Value t = fiveStrings(c);
    vDelField2(c.G, t, vIndexField(t, k.at), k.n);
    EXPECT_EQ(k.left, textsOf(t)) << k.at << " " << k.n;
    // A resize within the capacity shows the vacated slots: no field left there.
    const int32_t logsize = tupleOf(t)->logsize;
    vResizeTuple(c.G, tupleOf(t), 5, 5);
    for (int32_t i = logsize; i < 5; ++i) EXPECT_EQ(0u, tupleOf(t)->fields[i].name) << k.at << " " << k.n;
    vResizeTuple(c.G, tupleOf(t), logsize, 0);
    ReleaseValue(c.G, &t);
  }
  Value t = newTuple(c);
  addInt(c, t, "a", 1);
  addInt(c, t, "b", 2);
  addInt(c, t, "a", 3);
  vDelField(c.G, t, id(c, "A"));
  vDelField(c.G, t, id(c, "zz"));
  EXPECT_EQ((std::vector<int>{2, 3}), intsOf(t));
  EXPECT_EQ(0u, tupleOf(t)->fields[2].name);
  ReleaseValue(c.G, &t);
}

TEST(ValueTuples, ResizeChangesOnlyTheCountWithinTheCapacity) {
  FoundationContext c;
  Value t = newTuple(c);
  addInt(c, t, "a", 1);
  addInt(c, t, "b", 2);
  vResizeTuple(c.G, tupleOf(t), 1, 0);
  EXPECT_EQ(3, tupleOf(t)->physsize);
  vResizeTuple(c.G, tupleOf(t), 2, 0);
  EXPECT_EQ(2, vGetField(t, id(c, "b"))->val.Integer) << "fields beyond the count are kept";
  vResizeTuple(c.G, tupleOf(t), 7, 12);
  EXPECT_EQ(7, tupleOf(t)->logsize);
  EXPECT_EQ(12, tupleOf(t)->physsize);
  EXPECT_EQ(1, vGetField(t, id(c, "a"))->val.Integer);
  for (int i = 2; i < 7; ++i) tupleOf(t)->fields[i] = Field{0, nullValue};
  ReleaseValue(c.G, &t);
}

using ValueDeathTest = ::testing::Test;

TEST_F(ValueDeathTest, ConsistencyFailuresNameModuleFunctionAndCondition) {
  EXPECT_DEATH(
      {
        FoundationContext c;
        vAddField(c.G, MakeInteger(1), 0);
      },
      "^value:[0-9]+: vAddField: Assertion `\\(tuple\\).type==6' failed.\n");
  EXPECT_DEATH(
      {
        FoundationContext c;
        Value t = newTuple(c);
        Value u = newTuple(c);
        addInt(c, u, nullptr, 1);
        vDelField2(c.G, t, vIndexField(u, 0), 1);
      },
      "vDelField2: Assertion `i>=0 && i<t->logsize' failed");
  EXPECT_DEATH(
      {
        FoundationContext c;
        Value t = newTuple(c);
        vResizeTuple(c.G, tupleOf(t), 10, 5);
      },
      "vResizeTuple: Assertion `l<=phys' failed");
}

TEST_F(ValueDeathTest, CopyOfATupleThatHoldsItselfStopsAtTheBudget) {
  EXPECT_EXIT(
      {
        FoundationContext c(1 << 20);
        c.errorPagesToStderr();
        Value a = newTuple(c);
        *vAddField(c.G, a, 0) = AssignValue(c.G, a);
        CopyValue(c.G, a);
      },
      ::testing::ExitedWithCode(1), "braxel program exceeded memory limit");
}

// ---- Session tuple space --------------------------------------------------

TEST(ValueSession, BlocksInTheSessionSpaceAreNeverFreedOneByOne) {
  FoundationContext c;
  alignas(8) static char space[512];
  SessionRec* s = bxNewUncharged<SessionRec>(c.G);
  s->X_tupleSpace = space;
  s->X_tupleSpaceSize = sizeof space;
  c.G->session = s;

  // A restored tuple with one string field, laid out inside the space.
  auto* t = reinterpret_cast<Tuple*>(space);
  auto* fields = reinterpret_cast<Field*>(space + 64);
  char* text = space + 256;
  std::strcpy(text, "kept");
  *t = Tuple{2, 1, kSessionRefcount, fields, nullptr};
  fields[0].name = id(c, "v");
  fields[0].v = Value{tString, 0, {}};
  fields[0].v.val.String = chars{text, 4};
  Value se{tTuple, 0, {}};
  se.val.tuple.t = t;

  Value shared = AssignValue(c.G, se);
  ReleaseValue(c.G, &shared);
  EXPECT_EQ(kSessionRefcount, t->refcount);
  // Growing the restored tuple moves its fields out of the space without
  // freeing the old array; releasing a string in the space only drops it.
  addInt(c, se, "a", 1);
  addInt(c, se, "b", 2);
  EXPECT_FALSE(InSessionSpace(c.G, t->fields));
  vDelField(c.G, se, id(c, "v"));
  EXPECT_STREQ("kept", text);
  bxFree(t->fields);
  c.G->session = nullptr;
  bxFree(s);
  EXPECT_FALSE(InSessionSpace(c.G, text)) << "without a session the region is empty";
}

}  // namespace
