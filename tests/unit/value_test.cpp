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

// Appends a field holding an Integer.
void addInt(FoundationContext& c, Value t, const char* name, int32_t i) {
  *vAddField(c.G, t, name ? MakeIdent(c.G, name) : 0) = MakeInteger(i);
}

// The Integer payloads of the fields in order.
std::vector<int> intsOf(const Value& t) {
  std::vector<int> out;
  for (int32_t i = 0; i < tupleOf(t)->logsize; ++i) out.push_back(tupleOf(t)->fields[i].v.val.Integer);
  return out;
}

// ---- Constants ------------------------------------------------------------

TEST(ValueConstants, TypeNamesAndConstantValues) {
  EXPECT_STREQ("Error", vTypeName[tError]);
  EXPECT_STREQ("Null", vTypeName[tNull]);
  EXPECT_STREQ("Integer", vTypeName[tInteger]);
  EXPECT_STREQ("Real", vTypeName[tReal]);
  EXPECT_STREQ("Boolean", vTypeName[tBoolean]);
  EXPECT_STREQ("String", vTypeName[tString]);
  EXPECT_STREQ("Tuple", vTypeName[tTuple]);
  EXPECT_EQ(tNull, nullValue.type);
  EXPECT_EQ(tError, errorValue.type);
  EXPECT_EQ(1, trueValue.val.Boolean);
  EXPECT_EQ(0, falseValue.val.Boolean);
  EXPECT_EQ(0, trueValue.flags | falseValue.flags | nullValue.flags | errorValue.flags);
}

TEST(ValueModule, RootCellsStartAsEmptyTuplesExceptFf) {
  FoundationContext c;
  EXPECT_EQ(tNull, c.G->value->ff.type);
  for (const Value* v : {&c.G->value->gl, &c.G->value->se}) {
    ASSERT_EQ(tTuple, v->type);
    EXPECT_EQ(3, tupleOf(*v)->physsize);
    EXPECT_EQ(0, tupleOf(*v)->logsize);
    EXPECT_EQ(1, tupleOf(*v)->refcount);
  }
}

// ---- Ownership ------------------------------------------------------------

TEST(ValueOwnership, AssignedTuplesAreSharedDeepCopiesAreNot) {
  FoundationContext c;
  Value a = newTuple(c);
  addInt(c, a, "x", 1);
  Value shared = AssignValue(c.G, a);
  Value copy = CopyValue(c.G, a);
  EXPECT_EQ(tupleOf(a), tupleOf(shared));
  EXPECT_EQ(2, tupleOf(a)->refcount);
  EXPECT_NE(tupleOf(a), tupleOf(copy));
  EXPECT_EQ(1, tupleOf(copy)->refcount);

  const Ident x = MakeIdent(c.G, "X");
  *vGetField(shared, x) = MakeInteger(2);
  EXPECT_EQ(2, vGetField(a, x)->val.Integer) << "a change through one name shows through the other";
  EXPECT_EQ(1, vGetField(copy, x)->val.Integer) << "the deep copy is independent";
  *vGetField(copy, x) = MakeInteger(3);
  EXPECT_EQ(2, vGetField(a, x)->val.Integer);

  ReleaseValue(c.G, &a);
  ReleaseValue(c.G, &shared);
  ReleaseValue(c.G, &copy);
  EXPECT_EQ(tNull, a.type);
}

TEST(ValueOwnership, AssignedStringsAreCopies) {
  FoundationContext c;
  Value s = MakeStringZ(c.G, "abc", 0);
  Value t = AssignValue(c.G, s);
  ASSERT_NE(s.val.String.str, t.val.String.str);
  s.val.String.str[0] = 'z';
  EXPECT_STREQ("abc", t.val.String.str);
  EXPECT_EQ(3, t.val.String.size);
  ReleaseValue(c.G, &s);
  ReleaseValue(c.G, &t);

  Value n = MakeStringZ(c.G, nullptr, 0);
  Value m = AssignValue(c.G, n);
  EXPECT_EQ(tString, m.type);
  EXPECT_EQ(nullptr, m.val.String.str) << "the null string stays null";
}

TEST(ValueOwnership, ReadOnlyBitIsClearedByCopiesButKeptOnSharedTuples) {
  FoundationContext c;
  Value i = MakeInteger(5);
  i.flags = VF_READONLY;
  EXPECT_EQ(0, AssignValue(c.G, i).flags);
  EXPECT_EQ(0, CopyValue(c.G, i).flags);
  Value t = newTuple(c);
  t.flags = VF_READONLY;
  Value shared = AssignValue(c.G, t);
  EXPECT_EQ(VF_READONLY, shared.flags);
  Value copy = CopyValue(c.G, t);
  EXPECT_EQ(0, copy.flags);
  ReleaseValue(c.G, &t);
  ReleaseValue(c.G, &shared);
  ReleaseValue(c.G, &copy);
}

TEST(ValueOwnership, StoreMovesTemporariesAndCopiesBorrowedValues) {
  FoundationContext c;
  Value temp = MakeStringZ(c.G, "moved", VF_TEMP);
  Value cell;
  StoreValue(c.G, &cell, temp);
  EXPECT_EQ(temp.val.String.str, cell.val.String.str);
  EXPECT_EQ(0, cell.flags & VF_TEMP);
  Value other;
  StoreValue(c.G, &other, cell);
  EXPECT_NE(cell.val.String.str, other.val.String.str);
  EXPECT_STREQ("moved", other.val.String.str);
  ReleaseIfTemp(c.G, &cell);   // not temporary: kept
  EXPECT_EQ(tString, cell.type);
  ReleaseValue(c.G, &cell);
  ReleaseValue(c.G, &other);
}

TEST(ValueOwnership, ReleasingTheLastOwnerSparesNestedTuplesSharedElsewhere) {
  FoundationContext c;
  Value inner = newTuple(c);
  addInt(c, inner, "n", 7);
  Value outer = newTuple(c);
  *vAddField(c.G, outer, MakeIdent(c.G, "in")) = AssignValue(c.G, inner);
  *vAddField(c.G, outer, MakeIdent(c.G, "s")) = MakeStringZ(c.G, "text", 0);
  Value nested = newTuple(c);   // owned by outer only
  *vAddField(c.G, outer, MakeIdent(c.G, "own")) = nested;
  EXPECT_EQ(2, tupleOf(inner)->refcount);

  Value second = AssignValue(c.G, outer);
  ReleaseValue(c.G, &outer);   // one of two owners: nothing is freed
  EXPECT_EQ(1, tupleOf(second)->refcount);
  EXPECT_STREQ("text", vGetField(second, MakeIdent(c.G, "s"))->val.String.str);
  EXPECT_EQ(2, tupleOf(inner)->refcount);

  ReleaseValue(c.G, &second);  // the last owner: the shared inner tuple survives
  EXPECT_EQ(1, tupleOf(inner)->refcount);
  EXPECT_EQ(7, vGetField(inner, MakeIdent(c.G, "n"))->val.Integer);
  ReleaseValue(c.G, &inner);
}

TEST(ValueOwnership, DeepCopyCopiesNestedTuplesWithSpareRoom) {
  FoundationContext c;
  Value inner = newTuple(c);
  *vAddField(c.G, inner, MakeIdent(c.G, "s")) = MakeStringZ(c.G, "deep", 0);
  Value outer = newTuple(c);
  addInt(c, outer, "a", 1);
  *vAddField(c.G, outer, MakeIdent(c.G, "t")) = AssignValue(c.G, inner);
  addInt(c, outer, nullptr, 3);

  Value copy = CopyValue(c.G, outer);
  EXPECT_EQ(3 + 5, tupleOf(copy)->physsize);
  EXPECT_EQ(3, tupleOf(copy)->logsize);
  EXPECT_EQ(MakeIdent(c.G, "a"), tupleOf(copy)->fields[0].name);
  EXPECT_EQ(0u, tupleOf(copy)->fields[2].name);
  Value* t = vGetField(copy, MakeIdent(c.G, "t"));
  ASSERT_EQ(tTuple, t->type);
  EXPECT_NE(tupleOf(inner), tupleOf(*t));
  EXPECT_EQ(1 + 5, tupleOf(*t)->physsize);
  Value* s = vGetField(*t, MakeIdent(c.G, "s"));
  EXPECT_STREQ("deep", s->val.String.str);
  EXPECT_NE(vGetField(inner, MakeIdent(c.G, "s"))->val.String.str, s->val.String.str);
  EXPECT_EQ(2, tupleOf(inner)->refcount) << "the copy does not share the nested tuple";

  ReleaseValue(c.G, &outer);
  ReleaseValue(c.G, &inner);
  ReleaseValue(c.G, &copy);
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

using ValueDeathTest = ::testing::Test;

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

// ---- Construction and charges ---------------------------------------------

TEST(ValueTuples, RecordsAndSlotsChargeTheirDocumentedSizes) {
  FoundationContext c;
  int64_t before = c.left();
  Value t = newTuple(c);
  EXPECT_EQ(before - (16 + 3 * 16), c.left());
  before = c.left();
  Value u;
  iVTupleSize(c.G, &u, 20);
  EXPECT_EQ(20, tupleOf(u)->physsize);
  EXPECT_EQ(before - (16 + 20 * 16), c.left());
  before = c.left();
  Value s = MakeString(c.G, "abcdef", 4, VF_TEMP);
  EXPECT_EQ(before - 5, c.left());
  EXPECT_STREQ("abcd", s.val.String.str);
  EXPECT_EQ(VF_TEMP, s.flags);
  Tuple* r = vCreateTuple(c.G, 2, 4);
  EXPECT_EQ(2, r->logsize);
  EXPECT_EQ(4, r->physsize);
  EXPECT_EQ(1, r->refcount);
  r->fields[0] = Field{0, MakeInteger(1)};
  r->fields[1] = Field{0, nullValue};
  Value rv{tTuple, 0, {}};
  rv.val.tuple.t = r;
  ReleaseValue(c.G, &rv);
  ReleaseValue(c.G, &t);
  ReleaseValue(c.G, &u);
  ReleaseValue(c.G, &s);
}

// ---- Growth ---------------------------------------------------------------

TEST(ValueTuples, AppendGrowsTo2CapPlus3AndInsertTo2Cap) {
  FoundationContext c;
  Value t = newTuple(c);
  for (int i = 0; i < 3; ++i) addInt(c, t, nullptr, i);
  EXPECT_EQ(3, tupleOf(t)->physsize);
  const int64_t before = c.left();
  addInt(c, t, nullptr, 3);
  EXPECT_EQ(9, tupleOf(t)->physsize);
  EXPECT_EQ(before - 9 * 16, c.left());
  for (int i = 4; i < 9; ++i) addInt(c, t, nullptr, i);
  EXPECT_EQ(9, tupleOf(t)->physsize);
  Field* f = vInsField(c.G, t, vIndexField(t, 4));
  EXPECT_EQ(18, tupleOf(t)->physsize);
  EXPECT_EQ(10, tupleOf(t)->logsize);
  EXPECT_EQ(tNull, f->v.type);
  EXPECT_EQ(0u, f->name);
  EXPECT_EQ(f, vIndexField(t, 4));
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 0, 4, 5, 6, 7, 8}), intsOf(t));
  ReleaseValue(c.G, &t);
}

TEST(ValueTuples, InsertAfterAndBeforeAFieldKeepNamesWithTheirValues) {
  FoundationContext c;
  Value t = newTuple(c);
  addInt(c, t, "a", 1);
  addInt(c, t, "b", 2);
  addInt(c, t, "c", 3);
  Field* after = vAppField(c.G, t, vFindField(t, MakeIdent(c.G, "a")));   // full: doubles
  after->v = MakeInteger(10);
  EXPECT_EQ(6, tupleOf(t)->physsize);
  Field* before = vInsField(c.G, t, vFindField(t, MakeIdent(c.G, "a")));
  before->v = MakeInteger(20);
  EXPECT_EQ((std::vector<int>{20, 1, 10, 2, 3}), intsOf(t));
  EXPECT_EQ(3, vGetField(t, MakeIdent(c.G, "c"))->val.Integer);
  Field* last = vAppField(c.G, t, vIndexField(t, 4));
  EXPECT_EQ(last, vIndexField(t, 5));
  ReleaseValue(c.G, &t);
}

// ---- Lookup ---------------------------------------------------------------

TEST(ValueTuples, LookupFindsTheFirstOfTwoFieldsWithTheSameName) {
  FoundationContext c;
  Value t = newTuple(c);
  addInt(c, t, "dup", 1);
  addInt(c, t, "DUP", 2);
  EXPECT_EQ(1, vGetField(t, MakeIdent(c.G, "Dup"))->val.Integer);
  EXPECT_EQ(vFindField(t, MakeIdent(c.G, "dup")), dbFieldOf(tupleOf(t), MakeIdent(c.G, "dup")));
  EXPECT_EQ(nullptr, vGetField(t, MakeIdent(c.G, "none")));
  EXPECT_EQ(nullptr, vGetField(MakeInteger(3), MakeIdent(c.G, "dup")));
  ReleaseValue(c.G, &t);
}

TEST(ValueTuples, IndexOutsideTheFieldsFindsNothing) {
  FoundationContext c;
  Value t = newTuple(c);
  addInt(c, t, nullptr, 5);
  addInt(c, t, nullptr, 6);
  EXPECT_EQ(nullptr, vIndexField(t, -1));
  EXPECT_EQ(nullptr, vIndexField(t, 2));
  EXPECT_EQ(6, vIndexField(t, 1)->v.val.Integer);
  ReleaseValue(c.G, &t);
}

// ---- Deletion -------------------------------------------------------------

Value fiveFields(FoundationContext& c) {
  Value t = newTuple(c);
  for (int i = 0; i < 5; ++i) *vAddField(c.G, t, 0) = MakeStringZ(c.G, std::to_string(i).c_str(), 0);
  return t;
}

std::string textsOf(const Value& t) {
  std::string out;
  for (int32_t i = 0; i < tupleOf(t)->logsize; ++i) out += tupleOf(t)->fields[i].v.val.String.str;
  return out;
}

TEST(ValueTuples, DeleteOneFieldFromTheMiddle) {
  FoundationContext c;
  Value t = fiveFields(c);
  vDelField2(c.G, t, vIndexField(t, 2), 1);
  EXPECT_EQ("0134", textsOf(t));
  ReleaseValue(c.G, &t);
}

TEST(ValueTuples, DeletingMoreFieldsThanFollowCutsTheTuple) {
  FoundationContext c;
  Value t = fiveFields(c);
  vDelField2(c.G, t, vIndexField(t, 3), 3);
  EXPECT_EQ(3, tupleOf(t)->logsize);
  EXPECT_EQ("012", textsOf(t));
  ReleaseValue(c.G, &t);
}

TEST(ValueTuples, DeletingExactlyTheRestAndARunInside) {
  FoundationContext c;
  Value t = fiveFields(c);
  vDelField2(c.G, t, vIndexField(t, 1), 2);
  EXPECT_EQ("034", textsOf(t));
  vDelField2(c.G, t, vIndexField(t, 1), 2);
  EXPECT_EQ("0", textsOf(t));
  vDelField2(c.G, t, vIndexField(t, 0), 0);
  EXPECT_EQ("0", textsOf(t));
  ReleaseValue(c.G, &t);
}

TEST(ValueTuples, DeleteByNameRemovesTheFirstMatchOnly) {
  FoundationContext c;
  Value t = newTuple(c);
  addInt(c, t, "a", 1);
  addInt(c, t, "b", 2);
  addInt(c, t, "a", 3);
  vDelField(c.G, t, MakeIdent(c.G, "A"));
  EXPECT_EQ((std::vector<int>{2, 3}), intsOf(t));
  vDelField(c.G, t, MakeIdent(c.G, "zz"));
  EXPECT_EQ((std::vector<int>{2, 3}), intsOf(t));
  ReleaseValue(c.G, &t);
}

TEST(ValueTuples, ResizeKeepsFieldsAndGrowsOnlyBeyondCapacity) {
  FoundationContext c;
  Value t = newTuple(c);
  addInt(c, t, "a", 1);
  addInt(c, t, "b", 2);
  vResizeTuple(c.G, tupleOf(t), 1, 0);
  EXPECT_EQ(1, tupleOf(t)->logsize);
  EXPECT_EQ(3, tupleOf(t)->physsize);
  vResizeTuple(c.G, tupleOf(t), 7, 12);
  EXPECT_EQ(7, tupleOf(t)->logsize);
  EXPECT_EQ(12, tupleOf(t)->physsize);
  EXPECT_EQ(1, vGetField(t, MakeIdent(c.G, "a"))->val.Integer);
  for (int i = 1; i < 7; ++i) tupleOf(t)->fields[i] = Field{0, nullValue};
  ReleaseValue(c.G, &t);
}

TEST_F(ValueDeathTest, TupleOperationsOnANonTupleAreConsistencyFailures) {
  EXPECT_DEATH(
      {
        FoundationContext c;
        vAddField(c.G, MakeInteger(1), 0);
      },
      "\\(tuple\\).type==6");
  EXPECT_DEATH(
      {
        FoundationContext c;
        Value t = newTuple(c);
        Value u = newTuple(c);
        addInt(c, u, nullptr, 1);
        vDelField2(c.G, t, vIndexField(u, 0), 1);
      },
      "i>=0 && i<t->logsize");
  EXPECT_DEATH(
      {
        FoundationContext c;
        Value t = newTuple(c);
        vResizeTuple(c.G, tupleOf(t), 10, 5);
      },
      "l<=phys");
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
  fields[0].name = MakeIdent(c.G, "v");
  fields[0].v = Value{tString, 0, {}};
  fields[0].v.val.String = chars{text, 4};
  Value se{tTuple, 0, {}};
  se.val.tuple.t = t;

  EXPECT_TRUE(InSessionSpace(c.G, text));
  EXPECT_FALSE(InSessionSpace(c.G, space + sizeof space));
  Value shared = AssignValue(c.G, se);
  ReleaseValue(c.G, &shared);
  EXPECT_EQ(kSessionRefcount, t->refcount);

  // Growing the restored tuple moves its fields out of the space without
  // freeing the old array; releasing a string in the space only drops it.
  addInt(c, se, "a", 1);
  addInt(c, se, "b", 2);
  EXPECT_FALSE(InSessionSpace(c.G, t->fields));
  EXPECT_EQ(text, vGetField(se, MakeIdent(c.G, "v"))->val.String.str);
  vDelField(c.G, se, MakeIdent(c.G, "v"));
  EXPECT_STREQ("kept", text);
  bxFree(t->fields);

  c.G->session = nullptr;
  bxFree(s);
  EXPECT_FALSE(InSessionSpace(c.G, text)) << "without a session the region is empty";
}

}  // namespace
