// tuplefns.cpp: the tuple and array built-ins: arrays, single fields and
// whole-tuple operations.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <strings.h>

#include "driver/globals.h"
#include "interp/builtins.h"
#include "interp/eval.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "support/memory.h"
#include "values/value.h"

// ---- Helpers ------------------------------------------------------------

namespace {

Value* setValue(Value* r, Value v) {
  *r = v;
  return r;
}

// A reference of our own to a value for the length of a call, so that the
// evaluation of a later argument cannot free a tuple under us. The held
// value is temporary: it is either released or handed on as the result.
Value hold(Globals* G, Value v) {
  if (!IsTemp(v)) v = AssignValue(G, v);
  v.flags |= VF_TEMP;
  return v;
}

Value tupleValue(Tuple* t) {
  Value v{};
  v.type = tTuple;
  v.flags = VF_TEMP;
  v.val.tuple.t = t;
  return v;
}

// A deep copy to be stored into a field.
Value fieldCopy(Globals* G, Value v) {
  Value c = CopyValue(G, v);
  c.flags = 0;
  return c;
}

// The first field of t named name, or -1 (unnamed fields match each other).
int32_t findName(const Tuple* t, Ident name) {
  for (int32_t i = 0; i < t->logsize; ++i)
    if (t->fields[i].name == name) return i;
  return -1;
}

// The identifier of a String name, 0 for Null or the empty text.
Ident nameIdent(Globals* G, const Value& v) {
  if (v.type != tString || v.val.str == nullptr || v.size == 0) return 0;
  return MakeIdent(G, v.val.str, static_cast<size_t>(v.size));
}

// Reserves room for newCount fields by the array growth rule (twice the new
// count up to 2000, else the old count plus 1000); the count is unchanged.
void growForAppend(Globals* G, Tuple* t, int64_t newCount) {
  if (newCount <= t->physsize) return;
  if (newCount > INT32_MAX / 2) braxel_MemExceed(G);
  const int32_t old = t->logsize;
  int64_t cap = 2 * newCount <= 2000 ? 2 * newCount : old + 1000;
  if (cap < newCount) cap = newCount;
  vResizeTuple(G, t, static_cast<int32_t>(newCount), static_cast<int32_t>(cap));
  t->logsize = old;
}

// Appends an unnamed field holding v (stored: moved when temporary).
void appendValue(Globals* G, Value tuple, Value v) {
  Tuple* t = tuple.val.tuple.t;
  Value* dst = nullptr;
  if (t->logsize < t->physsize) {
    Field* f = &t->fields[t->logsize++];
    f->name = 0;
    dst = &f->v;
  } else {
    dst = vAddField(G, tuple, 0);
  }
  *dst = nullValue;
  StoreValue(G, dst, v);
}

// A tuple field that a field argument denotes: the containing tuple (held)
// and the field's position in it, so that it can be found again after the
// other arguments have been evaluated.
struct FieldArg {
  Value tuple;     // Null when the argument denotes no field of a tuple
  int32_t index;
};

// The field argument, or the message when it denotes no field of a tuple.
FieldArg tupleFieldArg(const BuiltinCall& call, Token* node, const char* message) {
  FieldRef ref = EvalFieldRef(call.G, node);
  if (ref.field == nullptr || IsStandalone(ref)) {
    ReleaseFieldRef(call.G, &ref);
    call.fail(message);
  }
  FieldArg arg{nullValue, -1};
  arg.index = static_cast<int32_t>(ref.field - ref.tuple.val.tuple.t->fields);
  arg.tuple = hold(call.G, ref.tuple);   // a temporary tuple is handed on
  return arg;
}

// The field again, after the other arguments have been evaluated; the
// message when the tuple has lost it meanwhile.
Field* refetch(const BuiltinCall& call, const FieldArg& arg, const char* message) {
  const Tuple* t = arg.tuple.val.tuple.t;
  if (arg.index >= t->logsize) call.fail(message);
  return &t->fields[arg.index];
}

constexpr const char* kFirstOperand = "First Operand must denote a tuple field";
constexpr const char* kOperand = "Operand must denote a tuple field";

// The name and the deep-copied value that TuAppField, TuInsField and
// TuAssField store: from a source field (two arguments) or from a name and a
// value (three arguments). A source that denotes no field is an unnamed Null.
struct NewField {
  Ident name;
  Value value;
};

NewField newFieldArgs(const BuiltinCall& call, int argc, Token** argv) {
  Globals* G = call.G;
  NewField nf{0, nullValue};
  if (argc == 2) {
    FieldRef src = EvalFieldRef(G, argv[1]);
    if (src.field != nullptr) {
      nf.name = src.field->name;
      nf.value = fieldCopy(G, src.field->v);
    }
    ReleaseFieldRef(G, &src);
    return nf;
  }
  Value name = eval(G, argv[1]);
  if (name.type != tNull && name.type != tString) call.typeError(tString, 1);
  nf.name = nameIdent(G, name);
  ReleaseIfTemp(G, &name);
  Value v = eval(G, argv[2]);
  nf.value = fieldCopy(G, v);
  ReleaseIfTemp(G, &v);
  return nf;
}

// TuAppField and TuInsField: a new field after or before the given one.
Value* insertField(Value* r, Globals* G, int argc, Token** argv, bool after) {
  const BuiltinCall call(G);
  FieldArg f = tupleFieldArg(call, argv[0], kFirstOperand);
  NewField nf = newFieldArgs(call, argc, argv);
  Field* at = refetch(call, f, kFirstOperand);
  Field* nfld = after ? vAppField(G, f.tuple, at) : vInsField(G, f.tuple, at);
  const int32_t pos = static_cast<int32_t>(nfld - f.tuple.val.tuple.t->fields);
  const Tuple* t = f.tuple.val.tuple.t;
  const Ident name = (nf.name != 0 && findName(t, nf.name) < 0) ? nf.name : 0;
  t->fields[pos].name = name;
  t->fields[pos].v = nf.value;
  ReleaseValue(G, &f.tuple);
  return setValue(r, nullValue);
}

// Checks a whole-tuple argument and holds it.
Value tupleArg(const BuiltinCall& call, Token* node, int index) {
  Value v = eval(call.G, node);
  if (v.type != tTuple) call.typeError(tTuple, index);
  return hold(call.G, v);
}

// The second argument of TuProject, TuMerge and TuAssign: Null or a Tuple.
Value optionalTupleArg(const BuiltinCall& call, Token* node) {
  Value v = eval(call.G, node);
  if (v.type == tNull) return nullValue;
  if (v.type != tTuple) call.typeError(tTuple, 1);
  return hold(call.G, v);
}

}  // namespace

// ---- Field ordering -----------------------------------------------------

namespace {

// First position after p whose rank is below x, or -1: a descent through a
// minimum tree over the ranks (leaves at size + i).
int32_t firstBelow(const int32_t* tree, int32_t size, int32_t n, int32_t p, int32_t x) {
  // Walk up from the leaf of p, looking right for a subtree holding a smaller rank.
  int32_t node = size + p;
  while (true) {
    if (node == 1) return -1;
    if ((node & 1) == 0 && tree[node + 1] < x) {
      node = node + 1;
      break;
    }
    node >>= 1;
  }
  while (node < size) node = tree[2 * node] < x ? 2 * node : 2 * node + 1;
  const int32_t i = node - size;
  return i < n ? i : -1;
}

void setLeaf(int32_t* tree, int32_t size, int32_t i, int32_t v) {
  int32_t node = size + i;
  tree[node] = v;
  for (node >>= 1; node >= 1; node >>= 1) tree[node] = std::min(tree[2 * node], tree[2 * node + 1]);
}

}  // namespace

// The exchange sort: for each i, for each j > i, the entries at i and j are
// exchanged when rank[i] > rank[j]. Equal ranks end in exactly the order
// this procedure leaves, so it is followed to the letter, only faster:
// - ranks already in order: nothing is ever exchanged;
// - ranks all different: the order is fully decided, any sort gives it;
// - otherwise only the exchanges are visited (the next j is the first later
//   rank below the current one, found in a minimum tree in logarithmic
//   time); should that cost more than the plain scan, the remaining passes
//   run as the plain scan.
void ExchangeSortPermutation(Globals* G, int32_t* rank, int32_t* perm, int32_t n) {
  if (n < 2) return;
  bool sorted = true;
  for (int32_t i = 1; i < n && sorted; ++i) sorted = rank[i - 1] <= rank[i];
  if (sorted) return;

  const size_t bytes = sizeof(int32_t) * static_cast<size_t>(n);
  int32_t* order = static_cast<int32_t*>(bxAlloc(G, bytes));
  for (int32_t i = 0; i < n; ++i) order[i] = i;
  std::sort(order, order + n, [rank](int32_t a, int32_t b) { return rank[a] < rank[b]; });
  bool distinct = true;
  for (int32_t k = 1; k < n && distinct; ++k) distinct = rank[order[k - 1]] != rank[order[k]];
  if (distinct) {
    int32_t* sortedRank = static_cast<int32_t*>(bxAlloc(G, bytes));
    int32_t* sortedPerm = static_cast<int32_t*>(bxAlloc(G, bytes));
    for (int32_t k = 0; k < n; ++k) {
      sortedRank[k] = rank[order[k]];
      sortedPerm[k] = perm[order[k]];
    }
    std::memcpy(rank, sortedRank, bytes);
    std::memcpy(perm, sortedPerm, bytes);
    bxFree(sortedPerm);
    bxFree(sortedRank);
    bxFree(order);
    return;
  }
  bxFree(order);

  int32_t size = 1, levels = 1;
  while (size < n) {
    size <<= 1;
    ++levels;
  }
  int32_t* tree = static_cast<int32_t*>(bxAlloc(G, sizeof(int32_t) * 2 * static_cast<size_t>(size)));
  for (int32_t i = 0; i < size; ++i) tree[size + i] = i < n ? rank[i] : INT32_MAX;
  for (int32_t node = size - 1; node >= 1; --node)
    tree[node] = std::min(tree[2 * node], tree[2 * node + 1]);
  const int64_t plainCost = static_cast<int64_t>(n) * n / 2;
  int64_t cost = 0;
  int32_t i = 0;
  for (; i + 1 < n && cost < plainCost; ++i) {
    cost += 2 * levels;
    for (int32_t j = firstBelow(tree, size, n, i, rank[i]); j >= 0;
         j = firstBelow(tree, size, n, j, rank[i])) {
      std::swap(rank[i], rank[j]);
      std::swap(perm[i], perm[j]);
      setLeaf(tree, size, i, rank[i]);
      setLeaf(tree, size, j, rank[j]);
      cost += 4 * levels;
    }
  }
  bxFree(tree);
  for (; i + 1 < n; ++i) {   // the plain scan for the passes left
    for (int32_t j = i + 1; j < n; ++j) {
      if (rank[i] > rank[j]) {
        std::swap(rank[i], rank[j]);
        std::swap(perm[i], perm[j]);
      }
    }
  }
}

// ---- Arrays -------------------------------------------------------------

// array(n [, c]): n unnamed Null fields, capacity the larger of n and c.
Value* biarray(Value* r, Globals* G, int argc, Token** argv) {
  const BuiltinCall call(G);
  const Value n = eval(G, argv[0]);
  if (n.type != tInteger) call.fail("First  argument of array must be an Integer");
  int64_t cap = static_cast<int64_t>(n.val.Integer) + 5;
  if (argc > 1) {
    const Value c = eval(G, argv[1]);
    if (c.type != tInteger) call.typeError(tInteger, 1);
    cap = c.val.Integer;
  }
  const int32_t count = n.val.Integer;
  if (cap < count) cap = count;
  if (count < 0 || cap < 1 || cap > INT32_MAX) call.fail("Array size out of range");
  Tuple* t = vCreateTuple(G, count, static_cast<int32_t>(cap));
  for (int32_t i = 0; i < count; ++i) {
    t->fields[i].name = 0;
    t->fields[i].v = nullValue;
  }
  return setValue(r, tupleValue(t));
}

// resize(t, n [, c]): the tuple in place gets n fields.
Value* biresize(Value* r, Globals* G, int argc, Token** argv) {
  const BuiltinCall call(G);
  const Value* place = evallvalue(G, argv[0]);
  if (place->type != tTuple) call.fail("First argument of resize must be a Tuple");
  Value tuple = hold(G, *place);
  const Value n = eval(G, argv[1]);
  if (n.type != tInteger) call.fail("Second argument of resize must be an Integer");
  int64_t cap = static_cast<int64_t>(n.val.Integer) + 5;
  if (argc > 2) {
    const Value c = eval(G, argv[2]);
    if (c.type != tInteger) call.fail("Third argument of resize must be an Integer");
    cap = c.val.Integer;
  }
  const int32_t count = n.val.Integer;
  if (count < 0) call.fail("Array size out of range");
  if (cap < count) cap = count;
  if (cap > INT32_MAX) cap = count;
  Tuple* t = tuple.val.tuple.t;
  const int32_t old = t->logsize;
  for (int32_t i = count; i < old; ++i) ReleaseValue(G, &t->fields[i].v);
  vResizeTuple(G, t, count, static_cast<int32_t>(count > t->physsize ? cap : t->physsize));
  for (int32_t i = old; i < count; ++i) {
    t->fields[i].name = 0;
    t->fields[i].v = nullValue;
  }
  ReleaseValue(G, &tuple);
  return setValue(r, nullValue);
}

// ArAppend(t, x1, ..., xk): the values appended as unnamed fields.
Value* biArAppend(Value* r, Globals* G, int argc, Token** argv) {
  const BuiltinCall call(G);
  const Value tuple = tupleArg(call, argv[0], 0);
  Tuple* t = tuple.val.tuple.t;
  growForAppend(G, t, static_cast<int64_t>(t->logsize) + (argc - 1));
  for (int i = 1; i < argc; ++i) appendValue(G, tuple, eval(G, argv[i]));
  return setValue(r, tuple);
}

// ArConcat(t, a1, ..., ak): tuples contribute their fields' values, other
// values themselves; every argument is evaluated before anything is stored.
Value* biArConcat(Value* r, Globals* G, int argc, Token** argv) {
  const BuiltinCall call(G);
  const Value tuple = tupleArg(call, argv[0], 0);
  Value held[99];
  int32_t counted[99];   // what each argument contributes, fixed when it is counted
  int64_t added = 0;
  for (int i = 1; i < argc; ++i) {
    held[i] = hold(G, eval(G, argv[i]));
    counted[i] = held[i].type == tTuple ? held[i].val.tuple.t->logsize : 1;
    added += counted[i];
  }
  Tuple* t = tuple.val.tuple.t;
  growForAppend(G, t, t->logsize + added);
  for (int i = 1; i < argc; ++i) {
    if (held[i].type == tTuple) {
      // The counted fields only: the argument may be t itself, growing meanwhile.
      const Tuple* from = held[i].val.tuple.t;
      for (int32_t k = 0; k < counted[i] && k < from->logsize; ++k)
        appendValue(G, tuple, from->fields[k].v);
      ReleaseValue(G, &held[i]);
    } else {
      appendValue(G, tuple, held[i]);
    }
  }
  return setValue(r, tuple);
}

// ---- Single fields ------------------------------------------------------

// TuAppField(f, src) / TuAppField(f, name, value)
Value* biTuAppField(Value* r, Globals* G, int argc, Token** argv) {
  return insertField(r, G, argc, argv, true);
}

// TuInsField(f, src) / TuInsField(f, name, value)
Value* biTuInsField(Value* r, Globals* G, int argc, Token** argv) {
  return insertField(r, G, argc, argv, false);
}

// TuAssField(f, src) / TuAssField(f, name, value): f itself renamed and
// given the value.
Value* biTuAssField(Value* r, Globals* G, int argc, Token** argv) {
  const BuiltinCall call(G);
  FieldArg f = tupleFieldArg(call, argv[0], kFirstOperand);
  NewField nf = newFieldArgs(call, argc, argv);
  Field* at = refetch(call, f, kFirstOperand);
  at->name = (nf.name != 0 && findName(f.tuple.val.tuple.t, nf.name) < 0) ? nf.name : 0;
  Value old = at->v;
  at->v = nf.value;
  ReleaseValue(G, &old);
  ReleaseValue(G, &f.tuple);
  return setValue(r, nullValue);
}

// TuDelField(f [, n]): n fields from f on deleted; a count below 1 deletes nothing.
Value* biTuDelField(Value* r, Globals* G, int argc, Token** argv) {
  const BuiltinCall call(G);
  FieldArg f = tupleFieldArg(call, argv[0], kOperand);
  int32_t n = 1;
  if (argc > 1) {
    const Value c = eval(G, argv[1]);
    if (c.type != tInteger) call.typeError(tInteger, 1);
    n = c.val.Integer;
  }
  Field* at = refetch(call, f, kOperand);
  if (n >= 1) vDelField2(G, f.tuple, at, n);
  ReleaseValue(G, &f.tuple);
  return setValue(r, nullValue);
}

// TuName(f, name): f takes the name unless some field already bears it.
Value* biTuName(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  FieldArg f = tupleFieldArg(call, argv[0], kOperand);
  Value name = eval(G, argv[1]);
  if (name.type != tNull && name.type != tString) call.typeError(tString, 1);
  const Ident id = nameIdent(G, name);
  ReleaseIfTemp(G, &name);
  Field* at = refetch(call, f, kOperand);
  at->name = (id != 0 && findName(f.tuple.val.tuple.t, id) < 0) ? id : 0;
  ReleaseValue(G, &f.tuple);
  return setValue(r, nullValue);
}

// ---- Whole tuples -------------------------------------------------------

// TuFieldSort(t): fields ordered by name, case-insensitively.
Value* biTuFieldSort(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  const Value tuple = tupleArg(call, argv[0], 0);
  Tuple* t = tuple.val.tuple.t;
  const int32_t n = t->logsize;
  if (n < 2) return setValue(r, tuple);
  // Ranks: equal for names that compare equal, in the comparison's order.
  const size_t bytes = sizeof(int32_t) * static_cast<size_t>(n);
  int32_t* order = static_cast<int32_t*>(bxAlloc(G, bytes));
  int32_t* rank = static_cast<int32_t*>(bxAlloc(G, bytes));
  int32_t* perm = static_cast<int32_t*>(bxAlloc(G, bytes));
  const char** names = static_cast<const char**>(bxAlloc(G, sizeof(char*) * static_cast<size_t>(n)));
  for (int32_t i = 0; i < n; ++i) {
    order[i] = perm[i] = i;
    names[i] = t->fields[i].name != 0 ? GetStringIdent(G, t->fields[i].name) : "";
  }
  std::sort(order, order + n,
            [names](int32_t a, int32_t b) { return strcasecmp(names[a], names[b]) < 0; });
  int32_t current = 0;
  for (int32_t k = 0; k < n; ++k) {
    if (k > 0 && strcasecmp(names[order[k - 1]], names[order[k]]) != 0) ++current;
    rank[order[k]] = current;
  }
  ExchangeSortPermutation(G, rank, perm, n);
  Field* sorted = static_cast<Field*>(
      bxAllocAs(G, sizeof(Field) * static_cast<size_t>(n), kFieldRecordCharge * static_cast<size_t>(n)));
  for (int32_t i = 0; i < n; ++i) sorted[i] = t->fields[perm[i]];
  std::memcpy(static_cast<void*>(t->fields), sorted, sizeof(Field) * static_cast<size_t>(n));
  bxFree(sorted);
  bxFree(names);
  bxFree(perm);
  bxFree(rank);
  bxFree(order);
  return setValue(r, tuple);
}

// TuSlice(t, from, to): deep copies of the fields from..to-1, clamped.
Value* biTuSlice(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  Value tuple = tupleArg(call, argv[0], 0);
  const Value f = eval(G, argv[1]);
  if (f.type != tInteger) call.typeError(tInteger, 1);
  const Value e = eval(G, argv[2]);
  if (e.type != tInteger) call.typeError(tInteger, 2);
  const Tuple* t = tuple.val.tuple.t;
  const int32_t count = t->logsize;
  Tuple* slice = nullptr;
  if (count == 0) {
    slice = vCreateTuple(G, 0, 1);
  } else {
    int32_t to = std::min(e.val.Integer, count);
    int32_t from = std::max(f.val.Integer, 0);
    if (from >= count) from = count - 1;
    const int32_t end = std::max(from, to);
    slice = vCreateTuple(G, end - from, end - from + 1);
    for (int32_t i = from; i < end; ++i) {
      slice->fields[i - from].name = t->fields[i].name;
      slice->fields[i - from].v = fieldCopy(G, t->fields[i].v);
    }
  }
  ReleaseValue(G, &tuple);
  return setValue(r, tupleValue(slice));
}

// TuProject(a, b): a's fields take the values of b's fields of the same name.
Value* biTuProject(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  const Value a = tupleArg(call, argv[0], 0);
  Value b = optionalTupleArg(call, argv[1]);
  if (b.type == tTuple) {
    Tuple* ta = a.val.tuple.t;
    const Tuple* tb = b.val.tuple.t;
    for (int32_t i = 0; i < ta->logsize; ++i) {
      const int32_t k = findName(tb, ta->fields[i].name);
      if (k < 0) continue;
      const Value c = fieldCopy(G, tb->fields[k].v);
      Value old = ta->fields[i].v;
      ta->fields[i].v = c;
      ReleaseValue(G, &old);
    }
    ReleaseValue(G, &b);
  }
  return setValue(r, a);
}

namespace {

// TuMerge and TuAssign: b's fields added to a, or (assign) replacing the
// values of a's fields of the same name. a is looked at as it stands at each
// step, fields added by this call included.
Value* mergeCommon(Value* r, Globals* G, Token** argv, bool assign) {
  const BuiltinCall call(G);
  const Value a = tupleArg(call, argv[0], 0);
  Value b = optionalTupleArg(call, argv[1]);
  if (b.type == tTuple) {
    const Tuple* tb = b.val.tuple.t;
    for (int32_t k = 0; k < tb->logsize; ++k) {
      Tuple* ta = a.val.tuple.t;
      const Ident name = tb->fields[k].name;
      const int32_t i = findName(ta, name);
      if (i >= 0 && !assign) continue;
      const Value c = fieldCopy(G, tb->fields[k].v);
      if (i >= 0) {
        Value old = ta->fields[i].v;
        ta->fields[i].v = c;
        ReleaseValue(G, &old);
      } else {
        *vAddField(G, a, name) = c;
      }
    }
    ReleaseValue(G, &b);
  }
  return setValue(r, a);
}

}  // namespace

// TuMerge(a, b): b's fields whose names a lacks, added at the end.
Value* biTuMerge(Value* r, Globals* G, int, Token** argv) { return mergeCommon(r, G, argv, false); }

// TuAssign(a, b): b's fields assigned to a's fields of the same name, or added.
Value* biTuAssign(Value* r, Globals* G, int, Token** argv) { return mergeCommon(r, G, argv, true); }
