// value_test.cpp: values and tuples: sharing and deep copy, release of
// nested and shared tuples, growth numbers, insertion and deletion, the
// session tuple space, and deep nesting without recursion.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/foundation_context.h"
#include "values/strings.h"

namespace {

struct ValueTest : ::testing::Test {
  FoundationContext c;
  Value tuple() {
    Value v;
    iVTuple(c.G, &v);
    return v;
  }
  Ident id(const char* name) { return MakeIdent(c.G, name); }
  Value* field(Value t, const char* name) { return vGetField(t, id(name)); }
  void add(Value t, const char* name, Value v) { *vAddField(c.G, t, name ? id(name) : 0) = v; }
  void release(std::initializer_list<Value*> values) {
    for (Value* v : values) ReleaseValue(c.G, v);
  }
  // Tuples nested depth deep, each the only field of the one around it.
  Value chain(int depth) {
    Value v = tuple();
    for (int i = 0; i < depth; ++i) {
      Value outer = tuple();
      add(outer, nullptr, v);
      v = outer;
    }
    return v;
  }
};

Tuple* tupleOf(const Value& v) { return v.val.tuple.t; }

// The Integer payloads, or the first byte of the String payloads, in order.
std::string payloads(const Value& t) {
  std::string out;
  for (int32_t i = 0; i < tupleOf(t)->logsize; ++i) {
    const Value& v = tupleOf(t)->fields[i].v;
    out += v.type == tString ? v.val.str[0] : static_cast<char>('0' + v.val.Integer);
  }
  return out;
}

// ---- Ownership ------------------------------------------------------------

TEST_F(ValueTest, SharingCopyingTheReadOnlyBitAndReleaseOfNestedTuples) {
  Value a = tuple();
  add(a, "x", MakeInteger(1));
  a.flags = VF_READONLY;
  Value shared = AssignValue(c.G, a);
  Value copy = CopyValue(c.G, a);
  EXPECT_EQ(2, tupleOf(a)->refcount);
  EXPECT_EQ(VF_READONLY, shared.flags);
  EXPECT_EQ(0, copy.flags);
  *field(shared, "X") = MakeInteger(2);
  EXPECT_EQ(2, field(a, "x")->val.Integer);
  EXPECT_EQ(1, field(copy, "x")->val.Integer);

  Value i = MakeInteger(5);
  i.flags = VF_READONLY;
  EXPECT_EQ(0, AssignValue(c.G, i).flags | CopyValue(c.G, i).flags);
  Value s = MakeStringZ(c.G, "abc", VF_READONLY);
  Value t = AssignValue(c.G, s);
  EXPECT_EQ(0, t.flags);
  s.val.str[0] = 'z';
  EXPECT_STREQ("abc", t.val.str);
  EXPECT_EQ(nullptr, AssignValue(c.G, MakeStringZ(c.G, nullptr, 0)).val.str);

  // Storing moves a temporary and copies a borrowed value.
  Value temp = MakeStringZ(c.G, "moved", VF_TEMP), cell, other;
  StoreValue(c.G, &cell, temp);
  EXPECT_EQ(temp.val.str, cell.val.str);
  EXPECT_EQ(0, cell.flags);
  StoreValue(c.G, &other, cell);
  EXPECT_NE(cell.val.str, other.val.str);
  ReleaseIfTemp(c.G, &cell);
  EXPECT_EQ(tString, cell.type);
  release({&a, &shared, &copy, &s, &t, &cell, &other});
  Value inner = tuple(), outer = tuple();
  add(inner, "n", MakeInteger(7));
  add(outer, "in", AssignValue(c.G, inner));
  add(outer, "s", MakeStringZ(c.G, "text", 0));
  add(outer, "own", tuple());
  Value second = AssignValue(c.G, outer);
  ReleaseValue(c.G, &outer);   // one of two owners: nothing is freed
  EXPECT_STREQ("text", field(second, "s")->val.str);
  ReleaseValue(c.G, &second);   // the last owner (ASan checks the rest)
  EXPECT_EQ(1, tupleOf(inner)->refcount);
  EXPECT_EQ(7, field(inner, "n")->val.Integer);
  ReleaseValue(c.G, &inner);
}

TEST_F(ValueTest, DeepCopyCopiesEachNestedTupleWithFiveSpareSlotsWithoutRecursion) {
  Value inner = tuple(), outer = tuple();
  add(inner, "s", MakeStringZ(c.G, "deep", 0));
  add(outer, "a", MakeInteger(1));
  add(outer, "t", AssignValue(c.G, inner));
  add(outer, nullptr, MakeInteger(3));
  add(outer, nullptr, AssignValue(c.G, inner));   // shared, not cyclic
  Value copy = CopyValue(c.G, outer);
  EXPECT_EQ(9, tupleOf(copy)->physsize);
  EXPECT_EQ(4, tupleOf(copy)->logsize);
  EXPECT_EQ(0u, tupleOf(copy)->fields[2].name);
  Value* t = field(copy, "t");
  EXPECT_NE(tupleOf(inner), tupleOf(*t));
  EXPECT_EQ(6, tupleOf(*t)->physsize);
  EXPECT_NE(field(inner, "s")->val.str, field(*t, "s")->val.str);
  // each occurrence of a shared tuple gets its own copy
  const Value& again = tupleOf(copy)->fields[3].v;
  EXPECT_NE(tupleOf(*t), tupleOf(again));
  EXPECT_STREQ("deep", field(again, "s")->val.str);
  release({&outer, &inner, &copy});
  // deeply nested tuples copy and release without recursion
  const int depth = 300000;
  Value v = chain(depth);
  Value nested = CopyValue(c.G, v);
  int n = 0;
  for (Value cur = nested; tupleOf(cur)->logsize == 1; cur = tupleOf(cur)->fields[0].v) ++n;
  EXPECT_EQ(depth, n);
  release({&v, &nested});
}

TEST_F(ValueTest, DeepCopyChargesItsCycleCheckToTheBudget) {
  // a chain of depth tuples: each copy costs its record and 1 + 5 slots, the
  // innermost (empty) one 5 slots; the copy's own work stack a few hundred
  // bytes. The cycle check's marks and path are charged on top of that.
  const int depth = 1000;
  Value v = chain(depth);
  const int64_t before = c.left();
  Value copy = CopyValue(c.G, v);
  const int64_t copies = depth * (16 + 6 * 16) + (16 + 5 * 16);
  EXPECT_GT(before - c.left(), copies + 1024);
  release({&v, &copy});
}

// ---- Construction, growth and lookup ----------------------------------------

TEST_F(ValueTest, RecordsSlotsAndStringsChargeTheirDocumentedSizes) {
  int64_t before = c.left();
  Value t = tuple(), u;
  iVTupleSize(c.G, &u, 20);
  EXPECT_EQ(before - (16 + 3 * 16) - (16 + 20 * 16), c.left());
  before = c.left();
  Value s = MakeString(c.G, "abcdef", 4, VF_TEMP);
  EXPECT_EQ(before - 5, c.left());
  EXPECT_STREQ("abcd", s.val.str);
  Tuple* r = vCreateTuple(c.G, 2, 4);
  EXPECT_EQ(2, r->logsize);
  r->fields[0] = r->fields[1] = Field{0, nullValue};
  Value rv{tTuple, 0, 0, {}};
  rv.val.tuple.t = r;
  release({&t, &u, &s, &rv});
}

TEST_F(ValueTest, AppendGrowsTo2CapPlus3InsertionTo2CapAndLookupFindsTheFirst) {
  Value t = tuple();
  for (int i = 0; i < 4; ++i) add(t, nullptr, MakeInteger(i));
  EXPECT_EQ(9, tupleOf(t)->physsize);
  for (int i = 4; i < 9; ++i) add(t, nullptr, MakeInteger(i));
  const int64_t before = c.left();
  Field* f = vInsField(c.G, t, vIndexField(t, 4));
  EXPECT_EQ(18, tupleOf(t)->physsize);
  EXPECT_EQ(before - 18 * 16, c.left());
  EXPECT_EQ(tNull, f->v.type);
  EXPECT_EQ(f, vIndexField(t, 4));
  ReleaseValue(c.G, &t);

  Value u = tuple();
  add(u, "a", MakeInteger(1));
  add(u, "b", MakeInteger(2));
  add(u, "c", MakeInteger(3));
  vAppField(c.G, u, vFindField(u, id("a")))->v = MakeInteger(5);
  EXPECT_EQ(6, tupleOf(u)->physsize);
  vInsField(c.G, u, vFindField(u, id("a")))->v = MakeInteger(6);
  EXPECT_EQ("61523", payloads(u));
  EXPECT_EQ(3, field(u, "c")->val.Integer) << "names move with their values";
  EXPECT_EQ(vIndexField(u, 5), vAppField(c.G, u, vIndexField(u, 4)));
  ReleaseValue(c.G, &u);
  // lookup finds the first field of a name and nothing outside
  Value d = tuple();
  add(d, "dup", MakeInteger(1));
  add(d, "DUP", MakeInteger(2));
  EXPECT_EQ(1, field(d, "Dup")->val.Integer);
  EXPECT_EQ(vFindField(d, id("dup")), dbFieldOf(tupleOf(d), id("dup")));
  EXPECT_EQ(nullptr, field(d, "none"));
  EXPECT_EQ(nullptr, field(MakeInteger(3), "dup"));
  EXPECT_EQ(nullptr, vIndexField(d, -1));
  EXPECT_EQ(nullptr, vIndexField(d, 2));
  EXPECT_EQ(2, vIndexField(d, 1)->v.val.Integer);
  ReleaseValue(c.G, &d);
}

// ---- Deletion and resize ----------------------------------------------------

TEST_F(ValueTest, DeletionsMoveTheRestDownAndClearTheVacatedSlots) {
  struct Case { int at, n; const char* left; };
  for (const Case& k : {Case{2, 1, "0134"}, Case{1, 2, "034"}, Case{3, 3, "012"}, Case{3, 2, "012"},
                        Case{0, 0, "01234"}}) {
    Value t = tuple();
    for (int i = 0; i < 5; ++i) add(t, "f", MakeStringZ(c.G, std::to_string(i).c_str(), 0));
    vDelField2(c.G, t, vIndexField(t, k.at), k.n);
    EXPECT_EQ(k.left, payloads(t)) << k.at << " " << k.n;
    // A resize within the capacity shows the vacated slots: no field there.
    const int32_t logsize = tupleOf(t)->logsize;
    vResizeTuple(c.G, tupleOf(t), 5, 5);
    for (int32_t i = logsize; i < 5; ++i) EXPECT_EQ(0u, tupleOf(t)->fields[i].name) << k.at << " " << k.n;
    vResizeTuple(c.G, tupleOf(t), logsize, 0);
    ReleaseValue(c.G, &t);
  }
  Value t = tuple();
  add(t, "a", MakeInteger(1));
  add(t, "b", MakeInteger(2));
  add(t, "a", MakeInteger(3));
  vDelField(c.G, t, id("A"));
  vDelField(c.G, t, id("zz"));
  EXPECT_EQ("23", payloads(t));
  EXPECT_EQ(0u, tupleOf(t)->fields[2].name);
  // Resizing within the capacity changes only the count; beyond it the
  // fields move into an array of the given capacity.
  vResizeTuple(c.G, tupleOf(t), 1, 0);
  vResizeTuple(c.G, tupleOf(t), 2, 0);
  EXPECT_EQ("23", payloads(t));
  vResizeTuple(c.G, tupleOf(t), 7, 12);
  EXPECT_EQ(12, tupleOf(t)->physsize);
  EXPECT_EQ(2, field(t, "b")->val.Integer);
  for (int i = 2; i < 7; ++i) tupleOf(t)->fields[i] = Field{0, nullValue};
  ReleaseValue(c.G, &t);
}

// ---- Session tuple space --------------------------------------------------

// The session module's hook claims the block a session load read: nothing
// in it is freed one by one.
TEST_F(ValueTest, BlocksInTheSessionSpaceAreNeverFreedOneByOne) {
  alignas(8) static char space[512];
  valueSetHooks(ValueHooks{[](Globals*, const void* p) { return p >= space && p < space + sizeof space; },
                           nullptr, nullptr});
  vNoteSessionSpace(space, sizeof space);
  // A restored tuple with one string field, laid out inside the space.
  auto* t = reinterpret_cast<Tuple*>(space);
  auto* fields = reinterpret_cast<Field*>(space + 64);
  char* text = std::strcpy(space + 256, "kept");
  t->physsize = 2, t->logsize = 1, t->refcount = kSessionRefcount, t->fields = fields;
  fields[0] = Field{id("v"), Value{tString, 0, 0, {}}};
  SetString(&fields[0].v, chars{text, 4});
  Value se{tTuple, 0, 0, {}};
  se.val.tuple.t = t;

  Value shared = AssignValue(c.G, se);
  ReleaseValue(c.G, &shared);
  EXPECT_EQ(kSessionRefcount, t->refcount);
  // Growing moves the fields out of the space without freeing the old
  // array; releasing a string in the space only drops it (ASan checks).
  add(se, "a", MakeInteger(1));
  add(se, "b", MakeInteger(2));
  EXPECT_FALSE(InSessionSpace(c.G, t->fields));
  vDelField(c.G, se, id("v"));
  EXPECT_STREQ("kept", text);
  bxFree(t->fields);
  valueSetHooks(ValueHooks{});
  EXPECT_FALSE(InSessionSpace(c.G, text)) << "without the hook the region is empty";
}

}  // namespace
