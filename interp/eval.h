// eval.h: expression evaluation, locations and field references.
#pragma once

#include "frontend/tree.h"
#include "support/types.h"
#include "values/value.h"

Value eval(Globals* G, Token* node);

// Assignments stored in place (eval.cpp). An assignment's shape, found at
// its first evaluation and kept in its format field, says which of the three
// ways may store it; each answers false when it leaves the assignment to
// the general path, evalForEffectNested.
inline constexpr int kAssignUnknown = 0;
inline constexpr int kAssignOther = 2;
inline constexpr int kAssignInteger = 4;   // an Integer tree, to a scalar
inline constexpr int kAssignConcat = 8;    // the sum of two leaves, a String
inline constexpr int kAssignLeaf = 16;     // a scalar leaf, to a scalar
int assignShapeOf(Token* node);
bool assignInteger(Globals* G, Token* node);
bool assignLeaf(Globals* G, Token* node);
bool assignConcat(Globals* G, Token* node);
void evalForEffectNested(Globals* G, Token* node);

// Evaluates node for its effects and drops the value (a statement such as
// <let a = b>): an assignment stores without making a result. Inline, so
// that an assignment stored in place costs the statement loop one call.
inline void evalForEffect(Globals* G, Token* node) {
  if (node != nullptr && node->kind == TKexprassign) {
    const int shape = node->format != kAssignUnknown ? node->format : assignShapeOf(node);
    if ((shape & kAssignInteger) && assignInteger(G, node)) return;
    if ((shape & kAssignLeaf) && assignLeaf(G, node)) return;
    if ((shape & kAssignConcat) && assignConcat(G, node)) return;
  }
  evalForEffectNested(G, node);
}

Value* evallvalue(Globals* G, Token* node);
// A field reference for the tuple built-ins: *tupleOut receives the
// containing tuple (Null for a standalone field), *nameOut the name.
Field* evalfield(Globals* G, Token* node, Value* tupleOut, Ident* nameOut);
Value Coerce(Globals* G, Value v, uint16_t target, Position pos);
uint16_t CommonType(uint16_t left, uint16_t right, int op);
