// value.h: the dynamically typed value, shared reference-counted tuples, and
// the three root cells ff, gl and se.
//
// Ownership: a value with VF_TEMP belongs to its receiver, which moves it
// when storing (clearing the bit) and releases it when dropping it. Any
// other value is a borrowed view and is copied with AssignValue when stored.
// Strings are copied on assignment; tuples are shared (refcount).
#pragma once

#include "support/types.h"

enum ValueType : uint16_t {
  tError = 0,    // what a failed lookup yields; not a user value
  tNull = 1,
  tInteger = 2,  // 32-bit, two's complement wrap-around
  tReal = 3,     // double
  tBoolean = 4,  // 0 false, non-zero true
  tString = 5,   // owns its bytes
  tTuple = 6,    // shared by refcount
};

enum : uint16_t {
  VF_TEMP = 1,      // owned by the receiver
  VF_READONLY = 2,  // storage may not be assigned (fetched database fields)
};

// A byte string: str is zero-terminated or null (the null string, distinct
// from the empty string, which is a one-byte allocation). size excludes the
// terminating zero.
struct chars {
  char* str;
  int32_t size;
};

struct Tuple;

// Sixteen bytes, so that a value is passed and returned in two registers: a
// String's length sits beside the type, its bytes in the union (together
// they make the chars that StringOf gives). size is 0 for every other type.
struct Value {
  uint16_t type;
  uint16_t flags;
  int32_t size;   // a String's length (excluding the terminating zero)
  union {
    int32_t Integer;
    double Real;
    int32_t Boolean;
    char* str;    // a String's bytes: zero-terminated, or null for the null string
    struct {
      Tuple* t;
    } tuple;
  } val;
};
static_assert(sizeof(Value) == 16);

// A String value's bytes and length as chars, and the other way round.
inline chars StringOf(const Value& v) { return chars{v.val.str, v.size}; }
inline void SetString(Value* v, chars c) {
  v->val.str = c.str;
  v->size = c.size;
}

struct Field {
  Ident name;   // 0 for an unnamed field
  Value v;
};

// Invariants: 0 <= logsize <= physsize; fields below logsize are valid;
// refcount >= 1 while referenced (1000000 for tuples loaded from a session).
// stamp is never 0 and never shared by two tuples: it is taken fresh from
// vNewStamp when the tuple is made and whenever its fields move (insertion,
// deletion, a change of logsize). A renamed field keeps its position, and a
// rename never gives a name that another field bears, so renames keep the
// stamp. A position found by name stays right while the stamp is unchanged
// and the field there still bears the name (the slot caches rely on it).
struct Tuple {
  int32_t physsize;
  int32_t logsize;
  int32_t refcount;
  uint32_t stamp;
  Field* fields;
  Tuple* pending;   // scratch link of the release walk; never read before it is set
};

// A stamp no tuple bears yet (a process-wide sequence; 0 is skipped).
uint32_t vNewStamp();

// Counts the events after which a field found earlier may no longer be
// where it was: fields moved, a field array replaced or freed, another frame
// made current, a request begun. Process-wide and 64 bits wide, so that a
// count is never seen twice; 0 is never current. A syntax node that found
// its field at the current count may use the field's address again.
inline uint64_t vFieldEpoch = 1;
inline void vFieldsMoved() { ++vFieldEpoch; }

// Where a syntax node last found its variable or field: the tuple's stamp and
// the field's position. A zero stamp caches nothing.
struct SlotCache {
  uint32_t stamp;
  int32_t index;
};

// The field named name in t through the cache c: the cached position when the
// stamp matches and the field there bears the name, else the first field of
// that name, which the cache then remembers.
Field* dbFieldOf(Tuple* t, Ident name);
inline Field* vFindFieldCached(Tuple* t, Ident name, SlotCache* c) {
  if (c->stamp == t->stamp) {
    const int32_t i = c->index;
    if (i < t->logsize && t->fields[i].name == name) return &t->fields[i];
  }
  Field* f = dbFieldOf(t, name);
  if (f != nullptr) *c = SlotCache{t->stamp, static_cast<int32_t>(f - t->fields)};
  return f;
}

// The sizes charged to the budget for a tuple record and a field slot.
inline constexpr size_t kTupleCharge = 16;
inline constexpr size_t kFieldCharge = 16;

// What a field record outside a tuple's slots is charged: a standalone
// field, a slot of a sort's buffer or of a loaded session's block.
inline constexpr size_t kFieldRecordCharge = 32;

inline constexpr int32_t kSessionRefcount = 1000000;

// The value module's globals (slot 14 of G).
struct ValueModule {
  Value ff;   // form variables
  Value gl;   // global variables
  Value se;   // session variables
};

extern const Value nullValue;
extern const Value errorValue;
extern const Value trueValue;
extern const Value falseValue;
extern const char* const vTypeName[7];

void valueInitializeGV(Globals* G);
void valueFinalizeGV(Globals* G);

// Small constructors (no allocation).
inline Value MakeInteger(int32_t i) {
  Value v{tInteger, 0, 0, {}};
  v.val.Integer = i;
  return v;
}
inline Value MakeReal(double d) {
  Value v{tReal, 0, 0, {}};
  v.val.Real = d;
  return v;
}
// trueValue or falseValue.
inline Value MakeBoolean(bool b) {
  Value v{tBoolean, 0, 0, {}};
  v.val.Boolean = b ? 1 : 0;
  return v;
}
// A new String of n bytes (copied), with the given flags (VF_TEMP usually).
Value MakeString(Globals* G, const char* bytes, int32_t n, uint16_t flags);
Value MakeStringZ(Globals* G, const char* text, uint16_t flags);
inline bool IsTemp(const Value& v) { return (v.flags & VF_TEMP) != 0; }

// Releases the payload of a String or Tuple (see ReleaseValue).
void FreeValueInt(Globals* G, Value* v);
// The release idiom: FreeValueInt when type > 4, then type Null.
inline void ReleaseValue(Globals* G, Value* v) {
  if (v->type > tBoolean) FreeValueInt(G, v);
  v->type = tNull;
}
// Releases v only when it carries VF_TEMP.
inline void ReleaseIfTemp(Globals* G, Value* v) {
  if (IsTemp(*v)) ReleaseValue(G, v);
}

// The assignment copy of a String (a new copy of its bytes).
Value AssignString(Globals* G, Value v);
// Assignment copy: a String's bytes are copied, a tuple gains a reference,
// and the copy is never read-only.
inline Value AssignValue(Globals* G, Value v) {
  if (v.type == tTuple) {
    if (v.val.tuple.t != nullptr) v.val.tuple.t->refcount++;
    return v;
  }
  if (v.type == tString) return AssignString(G, v);
  v.flags &= static_cast<uint16_t>(~VF_READONLY);
  return v;
}

// Stores src into *dst (dst's old contents are NOT released): a temporary is
// moved (bit cleared), anything else copied with AssignValue.
inline void StoreValue(Globals* G, Value* dst, Value src) {
  if (IsTemp(src)) {
    src.flags &= static_cast<uint16_t>(~VF_TEMP);
    *dst = src;
  } else {
    *dst = AssignValue(G, src);
  }
}
// Deep copy. Walks nested tuples without recursion, so neither deep nesting
// nor a tuple that contains itself can exhaust the stack (the budget stops
// the copy of a cycle).
Value CopyValue(Globals* G, Value v);

void iVTuple(Globals* G, Value* v);
void iVTupleSize(Globals* G, Value* v, int32_t n);
Tuple* vCreateTuple(Globals* G, int32_t l, int32_t phys);

// The lookups take no G: applied to a non-tuple they find nothing.
Value* vGetField(Value tuple, Ident name);
Field* vFindField(Value tuple, Ident name);
Field* vIndexField(Value tuple, int32_t i);

Value* vAddField(Globals* G, Value tuple, Ident name);
Field* vAppField(Globals* G, Value tuple, Field* after);
Field* vInsField(Globals* G, Value tuple, Field* at);
void vDelField(Globals* G, Value tuple, Ident name);
void vDelField2(Globals* G, Value tuple, Field* at, int32_t n);
void vResizeTuple(Globals* G, Tuple* t, int32_t l, int32_t phys);

// The bounds of every block a session load has read in this process: a
// pointer outside them is in none (the session module widens them; the
// hook below answers for pointers inside).
inline uintptr_t vSessionSpaceLow = UINTPTR_MAX;
inline uintptr_t vSessionSpaceHigh = 0;
inline void vNoteSessionSpace(const void* start, size_t size) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(start);
  if (a < vSessionSpaceLow) vSessionSpaceLow = a;
  if (a + size > vSessionSpaceHigh) vSessionSpaceHigh = a + size;
}
bool InSessionSpaceHook(Globals* G, const void* p);

// True when p lies inside the block a session load read (never freed).
inline bool InSessionSpace(Globals* G, const void* p) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(p);
  if (a < vSessionSpaceLow || a >= vSessionSpaceHigh) return false;
  return InSessionSpaceHook(G, p);
}

// ---- Hooks ------------------------------------------------------------------
// What the value module needs from the layers above it, installed by main at
// start-up (InstallUpperHooks, driver/request.h). An absent hook answers "no session space",
// NoPosition, and writes no tuple.
struct ValueHooks {
  // The session module's tuple space (its blocks are never freed one by one).
  bool (*inSessionSpace)(Globals* G, const void* p);
  // Where the interpreter stands: the position of a fatal message raised here.
  Position (*messagePosition)(Globals* G);
  // The tuple display that WriteValue uses for a tuple.
  void (*showTuple)(Globals* G, Value tuple, const char* name);
};
void valueSetHooks(const ValueHooks& hooks);
// The installed hooks (absent ones are null).
const ValueHooks& valueHooks();
