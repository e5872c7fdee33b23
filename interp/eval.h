// eval.h: expression evaluation, locations and field references.
#pragma once

#include "support/types.h"
#include "values/value.h"

Value eval(Globals* G, Token* node);
// Evaluates node for its effects and drops the value (a statement such as
// <let a = b>): an assignment stores without making a result.
void evalForEffect(Globals* G, Token* node);
Value* evallvalue(Globals* G, Token* node);
// A field reference for the tuple built-ins: *tupleOut receives the
// containing tuple (Null for a standalone field), *nameOut the name.
Field* evalfield(Globals* G, Token* node, Value* tupleOut, Ident* nameOut);
Value Coerce(Globals* G, Value v, uint16_t target, Position pos);
uint16_t CommonType(uint16_t left, uint16_t right, int op);
