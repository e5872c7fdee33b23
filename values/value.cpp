// value.cpp: the value model: constants, ownership rules (release,
// assignment copy, deep copy), tuple construction and tuple operations.
#include "values/value.h"

#include <cstring>
#include <source_location>
#include <unordered_map>
#include <vector>

#include "diag/messages.h"
#include "driver/globals.h"
#include "support/arrays.h"
#include "support/memory.h"
#include "values/strings.h"

// ---- Constants ------------------------------------------------------------

const Value nullValue{tNull, 0, 0, {}};
const Value errorValue{tError, 0, 0, {}};
const Value trueValue = [] {
  Value v{tBoolean, 0, 0, {}};
  v.val.Boolean = 1;
  return v;
}();
const Value falseValue{tBoolean, 0, 0, {}};

const char* const vTypeName[7] = {"Error", "Null", "Integer", "Real", "Boolean", "String", "Tuple"};

// Growth of the tuple operations.
static constexpr int32_t kFreshCapacity = 3;
static constexpr int32_t kCopySpare = 5;

// ---- Consistency checks ---------------------------------------------------

// The checks name the module "value" and the tuple operation that called
// them (the caller's source location is passed on).
static constexpr AssertSite kValueSite{"value"};

static Tuple* tupleOf(Globals* G, const Value& v,
                      const std::source_location where = std::source_location::current()) {
  bxAssert(G, v.type == tTuple, "(tuple).type==6", kValueSite, where);
  bxAssert(G, v.val.tuple.t != nullptr, "(tuple).val.tuple.t != ((void *)0)", kValueSite, where);
  return v.val.tuple.t;
}

// The index of a field pointer of t, checked to name a field in use.
static int32_t positionOf(Globals* G, const Tuple* t, const Field* f,
                          const std::source_location where = std::source_location::current()) {
  const bool inside = f != nullptr && f >= t->fields && f < t->fields + t->logsize;
  const int32_t i = inside ? static_cast<int32_t>(f - t->fields) : -1;
  bxAssert(G, i >= 0 && i < t->logsize, "i>=0 && i<t->logsize", kValueSite, where);
  return i;
}

// ---- Hooks ----------------------------------------------------------------

// Process-wide, like the constants above: installed once by main.
static ValueHooks hooks{};

void valueSetHooks(const ValueHooks& h) { hooks = h; }

const ValueHooks& valueHooks() { return hooks; }

// ---- Session tuple space --------------------------------------------------

bool InSessionSpaceHook(Globals* G, const void* p) {
  if (G == nullptr || p == nullptr || hooks.inSessionSpace == nullptr) return false;
  return hooks.inSessionSpace(G, p);
}

static void freeBlock(Globals* G, void* p) {
  if (!InSessionSpace(G, p)) bxFree(p);
}

// ---- Tuple records --------------------------------------------------------

// A zero-filled field array: unused slots read as unnamed, type Error.
static Field* newFields(Globals* G, int32_t n) {
  if (n < 0) n = 0;
  const size_t slots = static_cast<size_t>(n);
  return static_cast<Field*>(bxAllocZeroAs(G, (slots == 0 ? 1 : slots) * sizeof(Field),
                                           slots * kFieldCharge));
}

// Process-wide, so that a stamp is never reused while a syntax node may still
// hold it (slot caches live in the tree). It wraps after four billion tuples
// and rearrangements; even then a cache can only lead to a field that bears
// the name looked for (the cache checks it), never out of the tuple.
static uint32_t lastStamp = 0;

uint32_t vNewStamp() {
  if (++lastStamp == 0) ++lastStamp;
  return lastStamp;
}

// t's fields moved: a new stamp for the slot caches, and the fields found
// by address are looked up again.
static void fieldsMoved(Tuple* t) {
  t->stamp = vNewStamp();
  vFieldsMoved();
}

static Tuple* newTuple(Globals* G, int32_t log, int32_t phys) {
  if (phys < 0) phys = 0;
  auto* t = static_cast<Tuple*>(bxAllocAs(G, sizeof(Tuple), kTupleCharge));
  t->physsize = phys;
  t->logsize = log;
  t->refcount = 1;
  t->stamp = vNewStamp();
  t->pending = nullptr;
  t->fields = newFields(G, phys);
  return t;
}

static Value tupleValue(Tuple* t) {
  Value v{tTuple, 0, 0, {}};
  v.val.tuple.t = t;
  return v;
}

// Replaces the field array by one of cap slots, keeping the fields in use.
static void vSetCapacity(Globals* G, Tuple* t, int64_t cap) {
  if (cap > INT32_MAX) braxel_MemExceed(G);
  Field* fields = newFields(G, static_cast<int32_t>(cap));
  t->physsize = static_cast<int32_t>(cap);
  if (t->logsize > t->physsize) {
    t->logsize = t->physsize;
    t->stamp = vNewStamp();
  }
  vFieldsMoved();   // positions stay (the stamp with them), addresses do not
  if (t->logsize > 0) std::memcpy(fields, t->fields, static_cast<size_t>(t->logsize) * sizeof(Field));
  freeBlock(G, t->fields);
  t->fields = fields;
}

// A String's bytes released (session bytes stay), the value the null string.
static void freeString(Globals* G, Value* v) {
  chars c = StringOf(*v);
  chars_free(G, &c);
  SetString(v, c);
}

// Frees a tuple whose last reference went away, and every nested tuple that
// goes with it. Nested tuples are queued through their pending link instead
// of recursion, so nesting depth costs no stack.
static void releaseTuple(Globals* G, Tuple* t) {
  if (t->refcount > 1) {
    t->refcount--;
    return;
  }
  t->refcount = 0;
  t->pending = nullptr;
  vFieldsMoved();
  Tuple* queue = t;
  while (queue != nullptr) {
    Tuple* cur = queue;
    queue = cur->pending;
    for (int32_t i = 0; i < cur->logsize; ++i) {
      Value& v = cur->fields[i].v;
      if (v.type == tString) {
        freeString(G, &v);
      } else if (v.type == tTuple && v.val.tuple.t != nullptr) {
        Tuple* inner = v.val.tuple.t;
        if (inner->refcount > 1) {
          inner->refcount--;
        } else {
          inner->refcount = 0;
          inner->pending = queue;
          queue = inner;
        }
      }
      v.type = tNull;
    }
    freeBlock(G, cur->fields);
    freeBlock(G, cur);
  }
}

// ---- Module globals -------------------------------------------------------

void valueInitializeGV(Globals* G) {
  ValueModule* m = bxNew<ValueModule>(G);
  G->value = m;
  vFieldsMoved();   // nothing found by an earlier request is used again
  m->ff = nullValue;
  iVTuple(G, &m->gl);
  iVTuple(G, &m->se);
}

void valueFinalizeGV(Globals* G) {
  ValueModule* m = G->value;
  if (m == nullptr) return;
  ReleaseValue(G, &m->gl);
  ReleaseValue(G, &m->se);
  ReleaseValue(G, &m->ff);
  bxDelete(m);
  G->value = nullptr;
}

// ---- Small constructors ---------------------------------------------------

Value MakeString(Globals* G, const char* bytes, int32_t n, uint16_t flags) {
  Value v{tString, flags, 0, {}};
  SetString(&v, chars_make(G, bytes, n));
  return v;
}

Value MakeStringZ(Globals* G, const char* text, uint16_t flags) {
  if (text == nullptr) {
    Value v{tString, flags, 0, {}};
    v.val.str = nullptr;
    return v;
  }
  const size_t n = std::strlen(text);
  return MakeString(G, text, n > kMaxStringLength ? kMaxStringLength : static_cast<int32_t>(n),
                    flags);
}

// ---- Ownership ------------------------------------------------------------

void FreeValueInt(Globals* G, Value* v) {
  if (v->type == tString) {
    freeString(G, v);
  } else if (v->type == tTuple) {
    Tuple* t = v->val.tuple.t;
    if (t != nullptr) releaseTuple(G, t);
  }
}

Value AssignString(Globals* G, Value v) {
  SetString(&v, chars_copy(G, v.val.str, v.size));
  v.flags &= static_cast<uint16_t>(~VF_READONLY);
  return v;
}

namespace {
// A tuple still to be filled by the deep copy: its source and its copy.
struct CopyJob {
  const Tuple* from;
  Tuple* to;
};
}  // namespace

// The fields of job.from copied into job.to (allocated with room already);
// nested tuples get their (empty) copies at once and are queued.
static void copyFields(Globals* G, CopyJob job, CopyJob** stack, size_t* cap, size_t* depth) {
  const int32_t n = job.from->logsize;
  job.to->logsize = n;
  for (int32_t i = 0; i < n; ++i) {
    const Field& src = job.from->fields[i];
    Field& dst = job.to->fields[i];
    dst.name = src.name;
    dst.v = src.v;
    dst.v.flags &= static_cast<uint16_t>(~VF_READONLY);
    if (src.v.type == tString) {
      SetString(&dst.v, chars_copy(G, src.v.val.str, src.v.size));
    } else if (src.v.type == tTuple) {
      const Tuple* inner = src.v.val.tuple.t;
      dst.v.flags = 0;
      if (inner == nullptr) continue;
      Tuple* copy = newTuple(G, 0, inner->logsize + kCopySpare);
      dst.v.val.tuple.t = copy;
      if (*depth == *cap) {
        ExtendArray(G, stack, cap);
        if (*stack == nullptr) MALLOC_CHECK(G, nullptr);
      }
      (*stack)[(*depth)++] = CopyJob{inner, copy};
    }
  }
}

// True when a tuple reachable from t contains itself (a cycle through tuple
// fields). Depth-first with an explicit stack: 1 on the current path, 2 done.
// Both the marks and the path are charged to the request's budget, like the
// copy they guard (a deep tuple makes them large).
static bool reachesItself(Globals* G, const Tuple* t) {
  struct Frame {
    const Tuple* t;
    int32_t next;
  };
  using Marks = std::unordered_map<const Tuple*, int, std::hash<const Tuple*>,
                                   std::equal_to<const Tuple*>,
                                   BudgetAllocator<std::pair<const Tuple* const, int>>>;
  Marks state{BudgetAllocator<std::pair<const Tuple* const, int>>(G)};
  std::vector<Frame, BudgetAllocator<Frame>> path{BudgetAllocator<Frame>(G)};
  path.push_back({t, 0});
  state[t] = 1;
  while (!path.empty()) {
    Frame& f = path.back();
    if (f.next == f.t->logsize) {
      state[f.t] = 2;
      path.pop_back();
      continue;
    }
    const Value& v = f.t->fields[f.next++].v;
    if (v.type != tTuple || v.val.tuple.t == nullptr) continue;
    int& s = state[v.val.tuple.t];
    if (s == 1) return true;
    if (s == 0) {
      s = 1;
      path.push_back({v.val.tuple.t, 0});
    }
  }
  return false;
}

Value CopyValue(Globals* G, Value v) {
  // A tuple that contains itself has no finite deep copy: copying it would
  // run until memory is exhausted.
  if (v.type == tTuple && v.val.tuple.t != nullptr && reachesItself(G, v.val.tuple.t))
    FatalMessage(G, "A tuple that contains itself cannot be copied",
                 hooks.messagePosition != nullptr ? hooks.messagePosition(G) : NoPosition);
  if (v.type == tString) {
    SetString(&v, chars_copy(G, v.val.str, v.size));
  } else if (v.type == tTuple) {
    const Tuple* from = v.val.tuple.t;
    if (from == nullptr) return v;
    Tuple* to = newTuple(G, 0, from->logsize + kCopySpare);
    v = tupleValue(to);
    size_t cap = 16, depth = 0;
    CopyJob* stack = nullptr;
    MakeArray(G, &stack, &cap);
    if (stack == nullptr) MALLOC_CHECK(G, nullptr);
    stack[depth++] = CopyJob{from, to};
    while (depth > 0) {
      const CopyJob job = stack[--depth];
      copyFields(G, job, &stack, &cap, &depth);
    }
    ReleaseArray(G, &stack);
    return v;
  }
  v.flags &= static_cast<uint16_t>(~VF_READONLY);
  return v;
}

// ---- Construction ---------------------------------------------------------

void iVTuple(Globals* G, Value* v) { iVTupleSize(G, v, kFreshCapacity); }

void iVTupleSize(Globals* G, Value* v, int32_t n) { *v = tupleValue(newTuple(G, 0, n)); }

Tuple* vCreateTuple(Globals* G, int32_t l, int32_t phys) {
  bxAssert(G, l >= 0, "l>=0", kValueSite);
  bxAssert(G, l <= phys, "l<=phys", kValueSite);
  return newTuple(G, l, phys);
}

// ---- Lookup ---------------------------------------------------------------

Field* dbFieldOf(Tuple* t, Ident name) {
  if (t == nullptr) return nullptr;
  for (int32_t i = 0; i < t->logsize; ++i)
    if (t->fields[i].name == name) return &t->fields[i];
  return nullptr;
}

Field* vFindField(Value tuple, Ident name) {
  if (tuple.type != tTuple) return nullptr;
  return dbFieldOf(tuple.val.tuple.t, name);
}

Value* vGetField(Value tuple, Ident name) {
  Field* f = vFindField(tuple, name);
  return f != nullptr ? &f->v : nullptr;
}

Field* vIndexField(Value tuple, int32_t i) {
  if (tuple.type != tTuple || tuple.val.tuple.t == nullptr) return nullptr;
  Tuple* t = tuple.val.tuple.t;
  if (i < 0 || i >= t->logsize) return nullptr;
  return &t->fields[i];
}

// ---- Change ---------------------------------------------------------------

// Slots vacated by a deletion would otherwise hold stale copies of moved
// fields (payload pointers owned elsewhere); a later resize may expose them.
static void clearSlots(Tuple* t, int32_t from, int32_t n) {
  std::memset(static_cast<void*>(&t->fields[from]), 0, static_cast<size_t>(n) * sizeof(Field));
}

// Opens an unnamed Null field at position i (0 <= i <= logsize), growing the
// array to 2 x capacity when full.
static Field* openField(Globals* G, Tuple* t, int32_t i) {
  if (t->logsize >= t->physsize) {
    const int64_t cap = 2 * static_cast<int64_t>(t->physsize);
    vSetCapacity(G, t, cap > t->logsize ? cap : t->logsize + 1);
  }
  Field* f = &t->fields[i];
  std::memmove(f + 1, f, static_cast<size_t>(t->logsize - i) * sizeof(Field));
  f->name = 0;
  f->v = nullValue;
  t->logsize++;
  fieldsMoved(t);
  return f;
}

Value* vAddField(Globals* G, Value tuple, Ident name) {
  Tuple* t = tupleOf(G, tuple);
  if (t->logsize >= t->physsize) vSetCapacity(G, t, 2 * static_cast<int64_t>(t->physsize) + 3);
  Field* f = &t->fields[t->logsize++];
  f->name = name;
  f->v = nullValue;
  return &f->v;
}

Field* vAppField(Globals* G, Value tuple, Field* after) {
  Tuple* t = tupleOf(G, tuple);
  const int32_t i = positionOf(G, t, after);
  return openField(G, t, i + 1);
}

Field* vInsField(Globals* G, Value tuple, Field* at) {
  Tuple* t = tupleOf(G, tuple);
  const int32_t i = positionOf(G, t, at);
  return openField(G, t, i);
}

void vDelField(Globals* G, Value tuple, Ident name) {
  Tuple* t = tupleOf(G, tuple);
  Field* f = dbFieldOf(t, name);
  if (f == nullptr) return;
  ReleaseValue(G, &f->v);
  const int32_t i = static_cast<int32_t>(f - t->fields);
  std::memmove(f, f + 1, static_cast<size_t>(t->logsize - i - 1) * sizeof(Field));
  t->logsize--;
  fieldsMoved(t);
  clearSlots(t, t->logsize, 1);
}

void vDelField2(Globals* G, Value tuple, Field* at, int32_t n) {
  Tuple* t = tupleOf(G, tuple);
  const int32_t i = positionOf(G, t, at);
  if (n <= 0) return;
  // Fewer than n fields from i on: the tuple ends at i.
  const int32_t k = n < t->logsize - i ? n : t->logsize - i;
  for (int32_t j = i; j < i + k; ++j) ReleaseValue(G, &t->fields[j].v);
  std::memmove(&t->fields[i], &t->fields[i + k],
               static_cast<size_t>(t->logsize - i - k) * sizeof(Field));
  t->logsize -= k;
  fieldsMoved(t);
  clearSlots(t, t->logsize, k);
}

void vResizeTuple(Globals* G, Tuple* t, int32_t l, int32_t phys) {
  bxAssert(G, t != nullptr, "t != ((void *)0)", kValueSite);
  bxAssert(G, l >= 0, "l>=0", kValueSite);
  fieldsMoved(t);
  if (l <= t->physsize) {
    t->logsize = l;
    return;
  }
  bxAssert(G, l <= phys, "l<=phys", kValueSite);
  vSetCapacity(G, t, phys);
  t->logsize = l;
}
