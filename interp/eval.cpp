// eval.cpp: expression evaluation: values, locations, field references and the operator tables.
#include "interp/eval.h"

#include <cstdio>
#include <cstring>

#include "diag/messages.h"
#include "driver/cgi.h"
#include "driver/globals.h"
#include "driver/predefined.h"
#include "frontend/tree.h"
#include "interp/builtins.h"
#include "interp/calls.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "support/memory.h"
#include "values/strings.h"
#include "values/value.h"

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

// Ends the request with "<operation>: Internal error: <what><code><tail>".
[[noreturn]] static void internalFailure(Globals* G, const char* operation, const char* what,
                                         int code, const char* tail) {
  char text[160];
  std::snprintf(text, sizeof text, "%s: Internal error: %s%d%s", operation, what, code, tail);
  InternalError(G, text);
}

// The same line without ending the request (the conversions that go on).
static void internalNote(const char* operation, const char* what, int code, const char* tail) {
  std::fprintf(stderr, "%s: Internal error: %s%d%s\n", operation, what, code, tail);
}

static Value* currentLocals(Globals* G) { return &G->environment->current->locals; }

// A borrowed view never carries the temporary bit. The bit is tested first:
// stored values do not carry it, and an unconditional partial write of the
// record costs a store-forwarding stall on every read.
static void dropTemp(Value* v) {
  if (v->flags & VF_TEMP) v->flags = static_cast<uint16_t>(v->flags & ~VF_TEMP);
}

static const char* textOf(const Value& v) { return v.val.str ? v.val.str : ""; }

// A value read out of base: borrowed as it stands, unless base is a
// temporary that is about to be released; then the value is copied first.
static Value borrowedFrom(Globals* G, Value result, Value* base) {
  dropTemp(&result);
  if (!IsTemp(*base)) return result;
  Value copy = AssignValue(G, result);
  copy.flags |= VF_TEMP;
  ReleaseIfTemp(G, base);
  return copy;
}

static Value nullString() {
  Value v = nullValue;
  v.type = tString;
  v.flags = VF_TEMP;
  v.val.str = nullptr;
  v.size = 0;
  return v;
}

// The text of a number (Integer "%d", Real "%f") into buf; its length.
inline constexpr size_t kNumberTextSize = kRealTextSize;
static int numberChars(const Value& v, char* buf) {
  return v.type == tInteger ? IntegerText(v.val.Integer, buf) : RealText(v.val.Real, buf);
}

// A new temporary String holding a number's text. Kept out of line so that
// the conversion buffer never sits in a recursive frame.
[[gnu::noinline]] static Value numberText(Globals* G, const Value& v) {
  char buf[kNumberTextSize];
  return MakeString(G, buf, numberChars(v, buf), VF_TEMP);
}

// ---------------------------------------------------------------------------
// Common type and conversions
// ---------------------------------------------------------------------------

static bool isArithmeticOrEquality(int op) {
  switch (op) {
    case opPlus: case opMinus: case opTimes: case opDiv: case opMod: case opEq: case opNotEq:
      return true;
    default:
      return false;
  }
}

uint16_t CommonType(uint16_t left, uint16_t right, int op) {
  if (left == right) return left;
  if ((left == tInteger && right == tReal) || (left == tReal && right == tInteger)) return tReal;
  if ((left == tString && (right == tInteger || right == tReal)) ||
      (right == tString && (left == tInteger || left == tReal)))
    return tString;
  const bool a = isArithmeticOrEquality(op);
  if (left == tNull && a) return right;
  if (right == tNull) {
    if (a) return left;
    return left == tBoolean ? tBoolean : tNull;
  }
  return (left == tBoolean || right == tBoolean) ? tBoolean : tNull;
}

[[noreturn]] static void booleanExpected(Globals* G, Position pos) {
  Message(G, "Type error, Boolean argument was expected", xxError, pos);
  FatalMessage(G, "(make sure you have used == instead of =)", pos);
}

Value Coerce(Globals* G, Value v, uint16_t target, Position pos) {
  const uint16_t from = v.type;
  switch (target) {
    case tNull:
      FatalMessage(G, "Operator needs a non null argument", pos);
    case tInteger:
      switch (from) {
        case tNull: return MakeInteger(0);
        case tInteger: return v;
        case tReal: FatalMessage(G, "Type error, Integer instead of real was expected", pos);
        case tBoolean: FatalMessage(G, "Type error, Integer instead of boolean was expected", pos);
        case tString: FatalMessage(G, "Type error, Integer instead of string was expected", pos);
        default: internalFailure(G, "Coerce", "not a valid expression tag '", from, "'");
      }
    case tReal:
      switch (from) {
        case tNull: return MakeReal(0.0);
        case tInteger: return MakeReal(static_cast<double>(v.val.Integer));
        case tReal: return v;
        case tBoolean: FatalMessage(G, "Type error, Real instead of boolean was expected", pos);
        case tString: ReleaseIfTemp(G, &v); return MakeReal(0.0);
        default: internalFailure(G, "Coerce", "not a valid expression tag '", from, "'");
      }
    case tBoolean:
      switch (from) {
        case tNull: return MakeBoolean(false);
        case tBoolean: return v;
        case tInteger: case tReal: case tString: booleanExpected(G, pos);
        default: internalFailure(G, "Coerce", "not a valid expression tag '", from, "'");
      }
    case tString:
      switch (from) {
        case tNull: return nullString();
        case tInteger: case tReal: return numberText(G, v);
        case tString: return v;
        default:
          // Boolean, Tuple and Error sources: reported, left as they are.
          internalNote("Coerce", "not a valid expression tag '", from, "'");
          return v;
      }
    default:
      return v;   // Tuple and Error targets
  }
}

// ---------------------------------------------------------------------------
// Operators by common type
// ---------------------------------------------------------------------------

static Value nullOperator(Globals* G, int op, Position pos) {
  if (op == opEq) return MakeBoolean(true);
  if (op == opNotEq) return MakeBoolean(false);
  FatalMessage(G, "Type error", pos);
}

// op on two Integers when it cannot fail (no zero divisor, not the one
// overflowing quotient): 32-bit two's complement, as integerOperator. Else
// errorValue, for integerOperator to decide.
[[gnu::always_inline]] static inline Value integerNoFail(int op, int32_t a, int32_t b) {
  const uint32_t ua = static_cast<uint32_t>(a);
  const uint32_t ub = static_cast<uint32_t>(b);
  // The frequent operators by tests, which a processor predicts from their
  // history better than the one jump of a table.
  if (op == opPlus) return MakeInteger(static_cast<int32_t>(ua + ub));
  if (op == opMinus) return MakeInteger(static_cast<int32_t>(ua - ub));
  if (op == opLess) return MakeBoolean(a < b);
  switch (op) {
    case opTimes: return MakeInteger(static_cast<int32_t>(ua * ub));
    case opDiv:
      if (b == 0 || b == -1) return errorValue;
      return MakeInteger(a / b);
    case opMod:
      if (b == 0 || b == -1) return errorValue;
      return MakeInteger(a % b);
    case opLessEq: return MakeBoolean(a <= b);
    case opGreaterEq: return MakeBoolean(a >= b);
    case opEq: return MakeBoolean(a == b);
    case opNotEq: return MakeBoolean(a != b);
    default: return errorValue;
  }
}

// 32-bit two's complement arithmetic. The one quotient that overflows,
// the smallest integer divided by -1, wraps around to the smallest integer
// (and its remainder is 0), as the other operators wrap.
[[gnu::noinline]] static Value integerOperator(Globals* G, int op, int32_t a, int32_t b,
                                              bool withNull, Position pos) {
  // Beside Null, only equality differs: Null equals no Integer.
  if (withNull && (op == opEq || op == opNotEq)) return MakeBoolean(op == opNotEq);
  const Value v = integerNoFail(op, a, b);
  if (v.type != tError) return v;
  switch (op) {
    case opDiv: case opMod:   // a zero or -1 divisor
      if (b == 0) FatalMessage(G, "Division by zero", pos);
      return MakeInteger(op == opMod ? 0 : static_cast<int32_t>(0u - static_cast<uint32_t>(a)));
    case opAnd: return MakeBoolean(a != 0 && b != 0);
    case opOr: return MakeBoolean(a != 0 || b != 0);
    default: FatalMessage(G, "This operator does not work on integer arguments.", pos);
  }
}

static Value realOperator(Globals* G, int op, double a, double b, bool withNull, Position pos) {
  switch (op) {
    case opPlus: return MakeReal(a + b);
    case opMinus: return MakeReal(a - b);
    case opTimes: return MakeReal(a * b);
    case opDiv:
      if (b == 0.0) FatalMessage(G, "division by zero", pos);
      return MakeReal(a / b);
    case opMod:
      if (b == 0.0) FatalMessage(G, "division by zero", pos);
      return MakeReal(0.0);
    case opLess: return MakeBoolean(a < b);
    case opLessEq: return MakeBoolean(a <= b);
    case opGreaterEq: return MakeBoolean(a >= b);
    case opEq: return MakeBoolean(!withNull && a == b);
    case opNotEq: return MakeBoolean(withNull || a != b);
    default: FatalMessage(G, "This operator does not work on real arguments.", pos);
  }
}

static Value booleanOperator(Globals* G, int op, int32_t wa, int32_t wb, bool withNull,
                             Position pos) {
  const int a = wa != 0;
  const int b = wb != 0;
  switch (op) {
    case opEq: return MakeBoolean(!withNull && a == b);
    case opNotEq: return MakeBoolean(withNull || a != b);
    case opLess: return MakeBoolean(a < b);
    case opLessEq: return MakeBoolean(a <= b);
    case opGreaterEq: return MakeBoolean(a >= b);
    case opAnd: return MakeBoolean(a && b);
    case opOr: return MakeBoolean(a || b);
    default: FatalMessage(G, "This operator does not work on boolean arguments.", pos);
  }
}

// A new temporary String holding l's text and then r's (both Strings).
static Value concatStrings(Globals* G, const Value& l, const Value& r) {
  const chars a = StringOf(l);
  const chars b = StringOf(r);
  const chars c = chars_cat(G, a.str ? a.str : "", a.str ? a.size : 0, b.str ? b.str : "",
                            b.str ? b.size : 0);
  Value result = nullValue;
  result.type = tString;
  result.flags = VF_TEMP;
  SetString(&result, c);
  return result;
}

static Value stringOperator(Globals* G, int op, Value* l, Value* r, bool withNull, Position pos) {
  Value result;
  switch (op) {
    case opPlus:
      result = concatStrings(G, *l, *r);
      break;
    case opEq: case opNotEq: case opLess: case opLessEq: case opGreaterEq: {
      const int c = chars_cmp(G, StringOf(*l), StringOf(*r));
      bool b = false;
      if (op == opEq) b = !withNull && c == 0;
      else if (op == opNotEq) b = withNull || c != 0;
      else if (op == opLess) b = c < 0;
      else if (op == opLessEq) b = c <= 0;
      else b = c >= 0;
      result = MakeBoolean(b);
      break;
    }
    default:
      FatalMessage(G, "This operator does not work on string arguments.", pos);
  }
  ReleaseIfTemp(G, l);
  ReleaseIfTemp(G, r);
  return result;
}

static Value tupleOperator(Globals* G, int op, Value* l, Value* r, bool withNull, Position pos) {
  if (op != opEq && op != opNotEq)
    FatalMessage(G, "This operator does not work on tuple arguments.", pos);
  const bool same = !withNull && l->val.tuple.t == r->val.tuple.t;
  ReleaseIfTemp(G, l);
  ReleaseIfTemp(G, r);
  return MakeBoolean(op == opEq ? same : !same);
}

// String + number, number + String: the number's text goes straight into the
// sum. It is charged as the temporary String the conversion makes elsewhere,
// so that the budget sees the same request either way. Out of line, like
// numberText, for the buffer.
[[gnu::noinline]] static Value concatNumber(Globals* G, Value* l, Value* r) {
  const bool numberFirst = l->type != tString;
  Value* str = numberFirst ? r : l;
  char buf[kNumberTextSize];
  const int n = numberChars(numberFirst ? *l : *r, buf);
  Charge(G, static_cast<size_t>(n) + 1);
  const chars t = StringOf(*str);
  const char* text = t.str ? t.str : "";
  const int32_t size = t.str ? t.size : 0;
  Value result = nullValue;
  result.type = tString;
  result.flags = VF_TEMP;
  SetString(&result, numberFirst ? chars_cat(G, buf, n, text, size) : chars_cat(G, text, size, buf, n));
  ReleaseIfTemp(G, str);
  return result;
}

// The field of t that a name or selection node's slot cache points at, or
// null; a field found so is remembered as the node's last, with its tuple.
[[gnu::noinline]] static Field* refind(Token* node, Tuple* t) {
  const int32_t i = node->slot.index;
  if (t == nullptr || node->slot.stamp != t->stamp || i >= t->logsize || t->fields[i].name != node->name)
    return nullptr;
  node->found = FieldCache{vFieldEpoch, &t->fields[i], t};
  return &t->fields[i];
}

// The same in the current frame's variables.
[[gnu::noinline]] static Field* refindLocal(Globals* G, Token* node) {
  const Value* locals = currentLocals(G);
  return locals->type == tTuple ? refind(node, locals->val.tuple.t) : nullptr;
}

// The variable a name node found last, while no field has moved and no
// other frame has been made current since (one comparison and the name),
// else through the slot cache.
[[gnu::always_inline]] static inline Field* cachedLocal(Globals* G, Token* node) {
  if (node->found.epoch == vFieldEpoch) {
    Field* f = node->found.field;
    if (f->name == node->name) return f;
  }
  return refindLocal(G, node);
}

[[gnu::noinline]] static Value evalNested(Globals* G, Token* node);
[[gnu::noinline]] static Value* lvalueNested(Globals* G, Token* node);

// The field of a selection whose variable is the name base.
[[gnu::always_inline]] static inline Field* fieldOfSelection(Globals* G, Token* node, Token* base) {
  const Field* variable = cachedLocal(G, base);
  if (variable == nullptr || variable->v.type != tTuple) return nullptr;
  Tuple* t = variable->v.val.tuple.t;
  Field* f = node->found.field;
  if (node->found.epoch != vFieldEpoch || node->found.tuple != t || f->name != node->name) {
    f = refind(node, t);
    if (f == nullptr) return nullptr;
  }
  return f;
}

// The field alone, leaving the message position as it is.
[[gnu::always_inline]] static inline Field* selectedField(Globals* G, Token* node) {
  Token* base = node->left;
  if (base == nullptr || base->kind != TKName || G->dbhtml->X_ExprDepth >= kMaxExprDepth - 1)
    return nullptr;
  return fieldOfSelection(G, node, base);
}

// v.name with v a variable, both found through their caches: a leaf too,
// when the depth the selection and its variable would take is within the
// bound. The variable's position becomes the message position, as reading
// it as a location does.
[[gnu::always_inline]] static inline Field* cachedSelection(Globals* G, Token* node) {
  Field* f = selectedField(G, node);
  if (f != nullptr) G->dbhtml->X_MsgPos = node->left->position;
  return f;
}

// A selection inside an Integer tree (see below), as cachedSelection finds
// it: the tree's shape says that its variable is a name, and the tree is
// entered only far from the depth bound.
[[gnu::always_inline]] static inline Field* treeSelection(Globals* G, Token* node) {
  Field* f = fieldOfSelection(G, node, node->left);
  if (f != nullptr) G->dbhtml->X_MsgPos = node->left->position;
  return f;
}

// A leaf of an Integer tree (see below) holding an Integer, read as
// evalChild reads it.
[[gnu::always_inline]] static inline bool integerLeaf(Globals* G, Token* node, int32_t* out) {
  const Field* f = nullptr;
  if (node->kind == TKName) {
    f = cachedLocal(G, node);
  } else if (node->kind == TKconst) {
    *out = node->constant.val.Integer;   // an Integer constant: the shape says so
    return true;
  } else {
    f = treeSelection(G, node);
  }
  if (f == nullptr || f->v.type != tInteger) return false;
  *out = f->v.val.Integer;
  return true;
}

// Integer trees. An operator node whose operands are, all the way down,
// Integer arithmetic (+ - * / %) on names, selections of a name and Integer
// constants, with such an operator or an Integer comparison on top, is
// computed without a frame per node when every leaf holds an Integer and no
// step can fail: the leaves are read in the order evalBinary reads them
// (left first, each read as evalChild reads it), and the tree is used only
// where evaluating it node by node could reach neither the depth bound nor
// the stack guard. Anything else (a leaf of another type, a zero divisor, a
// cache that finds nothing) leaves it to the node-by-node evaluation, which
// reads the same leaves again: reading them has no effect that a second
// reading changes. The shape is the tree's own; it is found at the node's
// first evaluation and kept in its format field, which operators do not use.
inline constexpr int kShapeUnknown = 0;
inline constexpr int kShapeInteger = 1;
inline constexpr int kShapeOther = 2;
inline constexpr int kIntegerTreeLevels = 8;
// More than the frames of evalNested for that many levels take.
inline constexpr intptr_t kIntegerTreeStack = 4096;

static bool integerArithmetic(int op) {
  return op == opPlus || op == opMinus || op == opTimes || op == opDiv || op == opMod;
}

static bool integerShaped(const Token* node, int level) {
  if (node == nullptr) return false;
  switch (node->kind) {
    case TKName: return true;
    case TKconst: return node->constant.type == tInteger;
    case TKselektor: return node->left != nullptr && node->left->kind == TKName;
    case TKexprbin:
      return level < kIntegerTreeLevels && integerArithmetic(node->op) &&
             integerShaped(node->left, level + 1) && integerShaped(node->right, level + 1);
    default: return false;
  }
}

[[gnu::noinline]] static int shapeOf(Token* node) {
  const int op = node->op;
  const bool top = integerArithmetic(op) || op == opLess || op == opLessEq || op == opGreaterEq ||
                   op == opEq || op == opNotEq;
  node->format = top && integerShaped(node->left, 1) && integerShaped(node->right, 1) ? kShapeInteger
                                                                                     : kShapeOther;
  return node->format;
}

static bool integerTree(Globals* G, Token* node, int32_t* out);

// An operand of an Integer tree: an operator of its own, or a leaf read here.
[[gnu::always_inline]] static inline bool integerOperand(Globals* G, Token* node, int32_t* out) {
  return node->kind == TKexprbin ? integerTree(G, node, out) : integerLeaf(G, node, out);
}

// An arithmetic operator inside an Integer tree; operators `levels` levels
// further down are computed in place too, deeper ones by integerTree.
template <int levels>
[[gnu::always_inline]] static inline bool integerStep(Globals* G, Token* node, int32_t* out);

template <int levels>
[[gnu::always_inline]] static inline bool integerStepOperand(Globals* G, Token* node, int32_t* out) {
  if (node->kind != TKexprbin) return integerLeaf(G, node, out);
  if constexpr (levels > 0) return integerStep<levels - 1>(G, node, out);
  return integerTree(G, node, out);
}

template <int levels>
[[gnu::always_inline]] static inline bool integerStep(Globals* G, Token* node, int32_t* out) {
  int32_t a = 0;
  int32_t b = 0;
  if (!integerStepOperand<levels>(G, node->left, &a) || !integerStepOperand<levels>(G, node->right, &b))
    return false;
  const Value v = integerNoFail(node->op, a, b);
  if (v.type != tInteger) return false;
  *out = v.val.Integer;
  return true;
}

static bool integerTree(Globals* G, Token* node, int32_t* out) { return integerStep<0>(G, node, out); }

// An operand of the top of an Integer tree: operators two levels down are
// computed in place, deeper ones by integerTree.
[[gnu::always_inline]] static inline bool integerTopOperand(Globals* G, Token* node, int32_t* out) {
  return node->kind == TKexprbin ? integerStep<1>(G, node, out) : integerLeaf(G, node, out);
}

// The value of an Integer tree, or errorValue when it is left to evalNested.
[[gnu::noinline]] static Value integerRoot(Globals* G, Token* node) {
  int32_t a = 0;
  int32_t b = 0;
  if (!integerTopOperand(G, node->left, &a) || !integerTopOperand(G, node->right, &b))
    return errorValue;
  return integerNoFail(node->op, a, b);
}

// Whether an Integer tree whose top lies `nesting` levels below the current
// depth, evaluated node by node, could reach neither the depth bound nor
// the stack guard.
[[gnu::always_inline]] static inline bool roomForIntegerTree(const DbhtmlRec* d, int nesting) {
  const intptr_t sp = reinterpret_cast<intptr_t>(__builtin_frame_address(0));
  return d->X_ExprDepth + nesting < kMaxExprDepth - kIntegerTreeLevels - 2 &&
         d->X_StackBase - sp + kIntegerTreeStack <= d->X_StackRoom;
}

// Leaves are read at once: a variable its cache finds and a constant nest
// nothing, so they take no frame of their own (the stack guard of their
// parent covers them) and leave the depth as they find it; the depth bound
// still applies to them as to any node. The operators below read their
// operands through this inline copy of eval, so a leaf operand costs no call.
[[gnu::always_inline]] static inline Value evalChild(Globals* G, Token* node) {
  if (node == nullptr) return nullValue;
  const int depth = G->dbhtml->X_ExprDepth;
  if (depth < kMaxExprDepth) {
    if (node->kind == TKName) {
      if (const Field* f = cachedLocal(G, node)) return f->v;
    } else if (node->kind == TKconst && node->constant.type != tTuple) {
      Value v = node->constant;
      dropTemp(&v);
      return v;
    } else if (node->kind == TKselektor) {
      if (const Field* f = cachedSelection(G, node)) {
        Value v = f->v;
        dropTemp(&v);
        return v;
      }
    } else if (node->kind == TKexprbin) {
      const int shape = node->format != kShapeUnknown ? node->format : shapeOf(node);
      if (shape == kShapeInteger && roomForIntegerTree(G->dbhtml, 0)) {
        const Value v = integerRoot(G, node);
        if (v.type != tError) return v;
      }
    }
  }
  return evalNested(G, node);
}

// A variable its cache finds is a leaf, as in evalChild.
[[gnu::always_inline]] static inline Value* lvalueChild(Globals* G, Token* node) {
  if (node != nullptr && node->kind == TKName) {
    DbhtmlRec* d = G->dbhtml;
    if (d->X_ExprDepth < kMaxExprDepth) {
      d->X_MsgPos = node->position;
      if (Field* f = cachedLocal(G, node)) return &f->v;
    }
  } else if (node != nullptr && node->kind == TKselektor) {
    if (Field* f = cachedSelection(G, node)) return &f->v;
  }
  return lvalueNested(G, node);
}

static bool isNumber(uint16_t type) { return type == tInteger || type == tReal; }

// Two Integer operands, the most frequent case, without a call; what can fail
// (a zero divisor, the one overflowing quotient) or is rare goes through
// integerOperator.
static Value integerBinary(Globals* G, const Token* node, int32_t a, int32_t b) {
  const Value v = integerNoFail(node->op, a, b);
  if (v.type != tError) return v;
  return integerOperator(G, node->op, a, b, false, node->position);
}

// exprbin -> left op right
static Value evalBinary(Globals* G, Token* node) {
  Value l = evalChild(G, node->left);
  Value r = evalChild(G, node->right);
  const int op = node->op;
  if (op == opSeq) {
    ReleaseIfTemp(G, &l);
    return r;
  }
  const Position pos = node->position;
  const uint16_t lt = l.type;
  const uint16_t rt = r.type;
  if (lt == tInteger && rt == tInteger) return integerBinary(G, node, l.val.Integer, r.val.Integer);
  if (op == opPlus && ((lt == tString && isNumber(rt)) || (rt == tString && isNumber(lt))))
    return concatNumber(G, &l, &r);
  const uint16_t common = CommonType(lt, rt, op);
  if (lt != common) l = Coerce(G, l, common, pos);
  if (rt != common) r = Coerce(G, r, common, pos);
  const bool withNull = lt == tNull || rt == tNull;
  switch (common) {
    case tNull: return nullOperator(G, op, pos);
    case tInteger: return integerOperator(G, op, l.val.Integer, r.val.Integer, withNull, pos);
    case tReal: return realOperator(G, op, l.val.Real, r.val.Real, withNull, pos);
    case tBoolean: return booleanOperator(G, op, l.val.Boolean, r.val.Boolean, withNull, pos);
    case tString: return stringOperator(G, op, &l, &r, withNull, pos);
    case tTuple: return tupleOperator(G, op, &l, &r, withNull, pos);
    default: internalFailure(G, "eval", "not a valid type for binary expression: ", common, "");
  }
}

// exprun -> op operand
static Value evalUnary(Globals* G, Token* node) {
  Value v = evalChild(G, node->left);
  const Position pos = node->position;
  if (v.type == tNull) Coerce(G, v, tNull, pos);
  if (v.type != tInteger && v.type != tReal && v.type != tBoolean)
    internalFailure(G, "eval", "not a valid type for unary expression: ", v.type, "");
  if (node->op == opNeg) {
    if (v.type == tInteger) return MakeInteger(static_cast<int32_t>(0u - static_cast<uint32_t>(v.val.Integer)));
    if (v.type == tReal) return MakeReal(-v.val.Real);
    FatalMessage(G, "This unary operator does not work on a boolean argument.", pos);
  }
  if (node->op == opNot) {
    if (v.type == tBoolean) return MakeBoolean(v.val.Boolean == 0);
    if (v.type == tInteger)
      FatalMessage(G, "This unary operator does not work on an integer argument.", pos);
    FatalMessage(G, "This unary operator does not work on a real argument.", pos);
  }
  internalFailure(G, "eval", "not a valid unary operator: ", node->op, "");
}

// ---------------------------------------------------------------------------
// Names, selection, indexing, assignment
// ---------------------------------------------------------------------------

// A name node's slot cache holds a position only for an ordinary variable
// (no root, no predefined Srv... name), so a hit needs no other test. The
// cache is shared by the node's reading and its assignment.
static bool ordinaryVariable(Ident id) {
  return id != Idff && id != Idgl && id != Idse && !IsPredefinedVariable(id);
}

[[gnu::noinline]] static Value evalNameLookup(Globals* G, Token* node) {
  const Ident id = node->name;
  const Value locals = *currentLocals(G);
  Value v = errorValue;
  if (ordinaryVariable(id) && locals.type == tTuple && locals.val.tuple.t != nullptr) {
    const Field* f = vFindFieldCached(locals.val.tuple.t, id, &node->slot);
    if (f != nullptr) v = f->v;
  } else {
    v = GetLocalVariable(G, locals, id);
  }
  if (v.type == tError) FatalMessageI(G, "Undefined variable", node->position, InfoIdent(id));
  return v;
}

static Value evalName(Globals* G, Token* node) {
  if (const Field* f = cachedLocal(G, node)) return f->v;
  return evalNameLookup(G, node);
}

// selektor -> base '.' name
static Value evalSelector(Globals* G, Token* node) {
  Value* base = lvalueChild(G, node->left);
  if (base->type != tTuple)
    FatalMessage(G, "The expression before the . must lead to a tuple.", node->position);
  Tuple* t = base->val.tuple.t;
  const Field* field = t != nullptr ? vFindFieldCached(t, node->name, &node->slot) : nullptr;
  if (field == nullptr)
    FatalMessageI(G, "Undefined tuple field ", node->position, InfoIdent(node->name));
  Value v = field->v;
  dropTemp(&v);
  return v;
}

static Ident identOfText(Globals* G, const Value& text) {
  return MakeIdent(G, textOf(text), static_cast<size_t>(text.val.str ? text.size : 0));
}

// base[index] with both operands evaluated.
static Value indexValue(Globals* G, Token* node, Value base, Value index) {
  const Position pos = node->position;
  if (base.type == tTuple && index.type == tString) {
    const Value* field = vGetField(base, identOfText(G, index));
    ReleaseIfTemp(G, &index);
    return borrowedFrom(G, field ? *field : nullValue, &base);
  }
  if (index.type != tInteger) FatalMessage(G, "Index must be of type integer", pos);
  const int32_t i = index.val.Integer;
  if (base.type == tString) {
    if (i < 0 || i >= base.size || base.val.str == nullptr)
      FatalMessage(G, "Index out of bounds", pos);
    Value c = MakeString(G, base.val.str + i, 1, VF_TEMP);
    ReleaseIfTemp(G, &base);
    return c;
  }
  if (base.type == tTuple) {
    const Field* field = vIndexField(base, i);
    if (field == nullptr) FatalMessage(G, "Index out of bounds", pos);
    return borrowedFrom(G, field->v, &base);
  }
  FatalMessage(G, "The expression before the [] must lead to a tuple or a string", pos);
}

// exprindex -> base '[' index ']'  (the index first, then the base)
static Value evalIndex(Globals* G, Token* node) {
  const Value index = evalChild(G, node->right);
  const Value base = evalChild(G, node->left);
  return indexValue(G, node, base, index);
}

// Stores v at loc: the old content is set aside, the new one stored (moved
// when temporary, else copied), and only then the old content released, so
// that a location may receive a part of its own old value.
[[gnu::noinline]] static void assignValue(Globals* G, Value* loc, Value v) {
  Value old = *loc;
  StoreValue(G, loc, v);
  ReleaseValue(G, &old);
}

// A new String's bytes over a String's: moved in, and the old bytes (a
// zero-terminated String's, so of at least size + 1) freed unless they are
// the session's.
[[gnu::noinline]] static void replaceString(Globals* G, Value* loc, Value v) {
  const Value old = *loc;
  v.flags &= static_cast<uint16_t>(~VF_TEMP);
  *loc = v;
  if (old.val.str != nullptr && !InSessionSpace(G, old.val.str))
    bxFreeSized(old.val.str, static_cast<size_t>(old.size) + 1);
}

// A scalar over a scalar has nothing to copy or release: stored in place,
// with the flags StoreValue would leave. A new String over a String moves
// its bytes in and frees the old ones, as StoreValue and ReleaseValue do.
static inline void assignTo(Globals* G, Value* loc, Value v, Position pos) {
  if (loc->flags & VF_READONLY) FatalMessage(G, "Assignment to read only field/variable", pos);
  if (v.type <= tBoolean && loc->type <= tBoolean) {
    v.flags &= static_cast<uint16_t>(IsTemp(v) ? ~VF_TEMP : ~VF_READONLY);
    *loc = v;
    return;
  }
  if (v.type == tString && loc->type == tString && IsTemp(v)) return replaceString(G, loc, v);
  assignValue(G, loc, v);
}

// exprassign -> target '=' value  (the value first, then the target)
static Value evalAssign(Globals* G, Token* node) {
  const Value v = evalChild(G, node->right);
  Value* loc = lvalueChild(G, node->left);
  assignTo(G, loc, v, node->position);
  Value result = *loc;
  dropTemp(&result);
  return result;
}

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

inline constexpr int kSmallArgs = 8;
inline constexpr int kMaxBuiltinArgs = 128;   // above every registered maximum arity

static int fillArguments(Token* params, Token** argv) {
  int n = 0;
  for (Token* t = params; t != nullptr; t = t->next) argv[n++] = t->expr;
  return n;
}

static int countArguments(const Token* params) {
  int n = 0;
  for (; params != nullptr; params = params->next) ++n;
  return n;
}

[[gnu::noinline]] static Value callBuiltinWide(Globals* G, Token* node, int argc) {
  if (argc > kMaxBuiltinArgs)
    internalFailure(G, "eval", "too many arguments for a built-in function: ", argc, "");
  Token* argv[kMaxBuiltinArgs];
  fillArguments(node->params, argv);
  Value result = nullValue;
  return *node->builtin->fn(&result, G, argc, argv);
}

[[gnu::noinline]] static Value callBuiltin(Globals* G, Token* node) {
  G->dbhtml->X_MsgPos = node->position;
  const int argc = countArguments(node->params);
  if (argc > kSmallArgs) return callBuiltinWide(G, node, argc);
  Token* argv[kSmallArgs];
  fillArguments(node->params, argv);
  Value result = nullValue;
  return *node->builtin->fn(&result, G, argc, argv);
}

// funcall -> name '(' arguments ')'
static Value evalCall(Globals* G, Token* node) {
  if (node->builtin != nullptr) return callBuiltin(G, node);
  Value result = nullValue;
  ProcessCall(G, node->name, nullptr, node->params, node->position, &result, nullValue);
  // The returned value belongs to the receiver: mark it so, so that it is
  // moved when stored and released when dropped.
  result.flags |= VF_TEMP;
  return result;
}

// ---------------------------------------------------------------------------
// eval
// ---------------------------------------------------------------------------

static Value evalNode(Globals* G, Token* node) {
  switch (node->kind) {
    case TKconst: {
      if (node->constant.type == tTuple) {   // emptytuple: a new tuple each time
        Value t;
        iVTuple(G, &t);
        t.flags |= VF_TEMP;
        return t;
      }
      Value v = node->constant;
      dropTemp(&v);
      return v;
    }
    case TKName: return evalName(G, node);
    case TKselektor: return evalSelector(G, node);
    case TKexprindex: return evalIndex(G, node);
    case TKexprassign: return evalAssign(G, node);
    case TKexprcopy: {
      Value v = eval(G, node->left);
      if (!IsTemp(v)) v = AssignValue(G, v);
      v.flags |= VF_TEMP;
      return v;
    }
    case TKfuncall: return evalCall(G, node);
    case TKexprun: return evalUnary(G, node);
    case TKexprbin: return evalBinary(G, node);
    default: internalFailure(G, "eval", "not a valid expression tag '", node->kind, "'");
  }
}

[[gnu::noinline]] static Value evalNested(Globals* G, Token* node) {
  DbhtmlRec* d = G->dbhtml;
  if (++d->X_ExprDepth > kMaxExprDepth || StackExhausted(d))
    FatalMessage(G, "Expression nested too deeply", node->position);
  const Value v = evalNode(G, node);
  --d->X_ExprDepth;
  return v;
}

// An Integer tree is tried first: conditions of loops are mostly one.
Value eval(Globals* G, Token* node) {
  if (node != nullptr && node->kind == TKexprbin && node->format == kShapeInteger &&
      roomForIntegerTree(G->dbhtml, 0)) {
    const Value v = integerRoot(G, node);
    if (v.type != tError) return v;
  }
  return evalChild(G, node);
}

// Scalar assignments. An assignment whose target is a variable or a
// selection of one, and whose value is an Integer tree or a leaf (a
// variable, a selection of one, a constant), is done here without a Value
// passing through evalChild and assignTo when the value comes out a scalar
// and the target holds a scalar and may be written: the value and the target
// are found as evalChild and lvalueChild find them, in that order, and
// stored as assignTo stores a scalar over a scalar. Anything else (a cache
// that finds nothing, a String, a read-only target, a step that can fail) is
// left to the general path, which reads the same leaves again. The in-place
// ways are taken only where the assignment and its value, nested node by
// node, could reach neither the depth bound nor the stack guard, and leave
// the depth as it stands (no step of theirs reads it against a tighter
// bound).
static bool scalarTarget(const Token* node) {
  return node != nullptr &&
         (node->kind == TKName ||
          (node->kind == TKselektor && node->left != nullptr && node->left->kind == TKName));
}

// A leaf that evalChild reads at once: a variable, a selection of one, a
// constant other than emptytuple.
static bool leafShaped(const Token* node) {
  return scalarTarget(node) || (node != nullptr && node->kind == TKconst && node->constant.type != tTuple);
}

int assignShapeOf(Token* node) {
  Token* value = node->right;
  int shape = kAssignOther;
  if (value != nullptr && scalarTarget(node->left)) {
    if (value->kind == TKexprbin) {
      if ((value->format != kShapeUnknown ? value->format : shapeOf(value)) == kShapeInteger)
        shape |= kAssignInteger;
      if (value->op == opPlus && leafShaped(value->left) && leafShaped(value->right))
        shape |= kAssignConcat;
    } else if (scalarTarget(value) || (value->kind == TKconst && value->constant.type <= tBoolean)) {
      shape |= kAssignLeaf;
    }
  }
  node->format = shape;
  return shape;
}

// The target of a scalar assignment when it holds a scalar and may be
// written, found as lvalueChild finds it; else null.
[[gnu::always_inline]] static inline Field* scalarTargetField(Globals* G, Token* target) {
  Field* f = nullptr;
  if (target->kind == TKName) {
    G->dbhtml->X_MsgPos = target->position;
    f = cachedLocal(G, target);
  } else {
    f = cachedSelection(G, target);
  }
  if (f == nullptr || (f->v.flags & VF_READONLY) || f->v.type > tBoolean) return nullptr;
  return f;
}

// A leaf's value as evalChild reads it, into *out; false when its cache
// finds nothing (the caller has checked the depth).
[[gnu::always_inline]] static inline bool readLeaf(Globals* G, Token* node, Value* out) {
  if (node->kind == TKName) {
    const Field* f = cachedLocal(G, node);
    if (f == nullptr) return false;
    *out = f->v;
    return true;
  }
  if (node->kind == TKconst) {
    *out = node->constant;
  } else {
    const Field* f = cachedSelection(G, node);
    if (f == nullptr) return false;
    *out = f->v;
  }
  dropTemp(out);
  return true;
}

bool assignInteger(Globals* G, Token* node) {
  if (!roomForIntegerTree(G->dbhtml, 1)) return false;
  Token* value = node->right;
  int32_t a = 0;
  int32_t b = 0;
  if (!integerTopOperand(G, value->left, &a) || !integerTopOperand(G, value->right, &b))
    return false;
  const Value v = integerNoFail(value->op, a, b);   // no flags: stored as it is
  if (v.type == tError) return false;
  Field* f = scalarTargetField(G, node->left);
  if (f == nullptr) return false;
  f->v = v;
  return true;
}

bool assignLeaf(Globals* G, Token* node) {
  if (!roomForIntegerTree(G->dbhtml, 1)) return false;
  Value v;
  if (!readLeaf(G, node->right, &v) || v.type > tBoolean || v.type == tError) return false;
  Field* f = scalarTargetField(G, node->left);
  if (f == nullptr) return false;
  v.flags &= static_cast<uint16_t>(IsTemp(v) ? ~VF_TEMP : ~VF_READONLY);
  f->v = v;
  return true;
}

// String concatenations. An assignment of the sum of two leaves to a
// variable or a selection of one, where the sum joins two Strings or a
// String and a number, is done here as the general path does it (the
// leaves read in order, the new String made, then the target found and the
// String stored by assignTo) but without the frames and the dispatch of
// the general path. The target is looked at first, quietly, so that
// nothing is made when it would be left to the general path after all.
bool assignConcat(Globals* G, Token* node) {
  DbhtmlRec* d = G->dbhtml;
  if (!roomForIntegerTree(d, 2)) return false;   // the sum nests below the assignment
  Token* target = node->left;
  Field* f = target->kind == TKName ? cachedLocal(G, target) : selectedField(G, target);
  if (f == nullptr || (f->v.flags & VF_READONLY)) return false;
  Token* value = node->right;
  Value l;
  Value r;
  if (!readLeaf(G, value->left, &l) || !readLeaf(G, value->right, &r)) return false;
  Value sum;
  if (l.type == tString && r.type == tString)
    sum = concatStrings(G, l, r);
  else if ((l.type == tString && isNumber(r.type)) || (r.type == tString && isNumber(l.type)))
    sum = concatNumber(G, &l, &r);
  else
    return false;
  d->X_MsgPos = target->kind == TKName ? target->position : target->left->position;
  assignTo(G, &f->v, sum, node->position);
  return true;
}

// The general path of evalForEffect: as eval, then the value released when
// temporary. An assignment's result would be a borrowed copy of the stored
// value, which dropping leaves alone, so none is made; the node counts for
// the depth as in evalNested.
void evalForEffectNested(Globals* G, Token* node) {
  if (node != nullptr && node->kind == TKexprassign) {
    DbhtmlRec* d = G->dbhtml;
    if (++d->X_ExprDepth > kMaxExprDepth || StackExhausted(d))
      FatalMessage(G, "Expression nested too deeply", node->position);
    const Value v = evalChild(G, node->right);
    assignTo(G, lvalueChild(G, node->left), v, node->position);
    --d->X_ExprDepth;
    return;
  }
  Value v = evalChild(G, node);
  ReleaseIfTemp(G, &v);
}

// ---------------------------------------------------------------------------
// Locations
// ---------------------------------------------------------------------------

[[gnu::noinline]] static Value* locationOfNameLookup(Globals* G, Token* node) {
  const Ident id = node->name;
  if (id == Idff) return &G->value->ff;
  if (id == Idgl) return &G->value->gl;
  if (id == Idse) return &G->value->se;
  Value* locals = currentLocals(G);
  if (locals->type == tTuple && locals->val.tuple.t != nullptr && !IsPredefinedVariable(id)) {
    Tuple* t = locals->val.tuple.t;
    if (Field* f = vFindFieldCached(t, id, &node->slot)) return &f->v;
    Value* v = vAddField(G, *locals, id);
    node->slot = SlotCache{t->stamp, t->logsize - 1};
    return v;
  }
  Value* v = vGetField(*locals, id);
  return v != nullptr ? v : vAddField(G, *locals, id);
}

static Value* locationOfName(Globals* G, Token* node) {
  G->dbhtml->X_MsgPos = node->position;
  if (Field* f = cachedLocal(G, node)) return &f->v;
  return locationOfNameLookup(G, node);
}

static Value* locationOfSelector(Globals* G, Token* node) {
  Value* base = lvalueChild(G, node->left);
  if (base->type != tTuple) FatalMessage(G, "Tuple type expected", node->position);
  Tuple* t = base->val.tuple.t;
  if (t == nullptr) return vAddField(G, *base, node->name);   // the check there ends the request
  if (Field* f = vFindFieldCached(t, node->name, &node->slot)) return &f->v;
  Value* v = vAddField(G, *base, node->name);
  node->slot = SlotCache{t->stamp, t->logsize - 1};
  return v;
}

static Value* locationOfIndex(Globals* G, Token* node) {
  const Position pos = node->position;
  Value index = eval(G, node->right);
  Value* base = evallvalue(G, node->left);
  if (base->type == tTuple && index.type == tString) {
    const Ident id = identOfText(G, index);
    ReleaseIfTemp(G, &index);
    Value* v = vGetField(*base, id);
    return v != nullptr ? v : vAddField(G, *base, id);
  }
  if (index.type != tInteger) FatalMessage(G, "Index must be of type integer", pos);
  if (base->type == tString) FatalMessage(G, "Character Indexing on left hand side not allowed", pos);
  if (base->type != tTuple) FatalMessage(G, "Expression in front of [] must denote a tuple", pos);
  Field* field = vIndexField(*base, index.val.Integer);
  if (field == nullptr) FatalMessageI(G, "Index out of bounds:", pos, InfoInt(index.val.Integer));
  return &field->v;
}

[[gnu::noinline]] static Value* lvalueNested(Globals* G, Token* node) {
  if (node == nullptr) InternalError(G, "evallvalue: Internal error: no expression");
  DbhtmlRec* d = G->dbhtml;
  if (++d->X_ExprDepth > kMaxExprDepth || StackExhausted(d))
    FatalMessage(G, "Expression nested too deeply", node->position);
  Value* loc = nullptr;
  switch (node->kind) {
    case TKName: loc = locationOfName(G, node); break;
    case TKselektor: loc = locationOfSelector(G, node); break;
    case TKexprindex: loc = locationOfIndex(G, node); break;
    case TKexprbin: case TKexprun: case TKexprassign: case TKfuncall: case TKconst:
    case TKexprcopy:
      FatalMessage(G, "lvalue expected, i.e. as variable or tuple field where a value can be assigned to ",
                   node->position);
    default:
      internalFailure(G, "evallvalue", "not a valid expression tag '", node->kind, "'");
  }
  --d->X_ExprDepth;
  return loc;
}

Value* evallvalue(Globals* G, Token* node) { return lvalueChild(G, node); }

// ---------------------------------------------------------------------------
// Field references
// ---------------------------------------------------------------------------

// A field of its own (name 0) holding v; charged to the budget.
static Field* standaloneField(Globals* G, Value v, Value* tupleOut, Ident* nameOut) {
  Field* f = static_cast<Field*>(bxAllocAs(G, sizeof(Field), kFieldRecordCharge));
  f->name = 0;
  f->v = v;
  *tupleOut = nullValue;
  *nameOut = 0;
  return f;
}

Field* evalfield(Globals* G, Token* node, Value* tupleOut, Ident* nameOut) {
  if (node == nullptr) InternalError(G, "evalfield: Internal error: no expression");
  switch (node->kind) {
    case TKName: {
      if (IsPredefinedVariable(node->name))
        return standaloneField(G, GetLocalVariable(G, *currentLocals(G), node->name), tupleOut,
                               nameOut);
      const Value locals = *currentLocals(G);
      *tupleOut = locals;
      *nameOut = node->name;
      return vFindField(locals, node->name);
    }
    case TKselektor: {
      Value* base = evallvalue(G, node->left);
      if (base->type != tTuple)
        FatalMessage(G, "The expression before the . must lead to a tuple, to select fields",
                     node->position);
      *tupleOut = *base;
      *nameOut = node->name;
      return vFindField(*base, node->name);
    }
    case TKexprindex: {
      const Value index = eval(G, node->right);
      const Value base = eval(G, node->left);
      if (base.type == tTuple && index.type == tString) {
        Value text = index;
        const Ident id = identOfText(G, text);
        ReleaseIfTemp(G, &text);
        *tupleOut = base;
        *nameOut = id;
        return vFindField(base, id);
      }
      if (base.type == tTuple && index.type == tInteger) {
        *tupleOut = base;
        *nameOut = 0;
        Field* f = vIndexField(base, index.val.Integer);
        if (f != nullptr) *nameOut = f->name;
        return f;
      }
      // Strings and the error cases behave as in an expression.
      return standaloneField(G, indexValue(G, node, base, index), tupleOut, nameOut);
    }
    case TKexprbin: case TKexprun: case TKexprassign: case TKfuncall: case TKexprcopy:
    case TKconst:
      return standaloneField(G, eval(G, node), tupleOut, nameOut);
    default:
      internalFailure(G, "evalfield", "not a valid expression tag '", node->kind, "'");
  }
}
