// builtins.h: the built-in function registry, the error operations of the
// built-ins and the registration tables.
#pragma once

#include "support/types.h"
#include "values/value.h"

// Every implementation: fills *result, returns result. Arguments arrive
// unevaluated (argc nodes, the TKtuple entries' expressions).
using BuiltinFunction = Value* (*)(Value* result, Globals* G, int argc, Token** argv);

struct FunctionTableRow {
  const char* name;   // "" ends a table
  BuiltinFunction fn;
  int16_t minArity;
  int16_t maxArity;
};

struct FunctionRecord {
  Ident name;
  BuiltinFunction fn;
  int16_t minArity;
  int16_t maxArity;
  FunctionRecord* next;
};

// Slot 15.
struct DbhfunRec {
  FunctionRecord* head;
};

extern const FunctionTableRow bitab[];
extern const FunctionTableRow userfuntab[];

void dbhfunInitializeGV(Globals* G);
void dbhfunFinalizeGV(Globals* G);
void InitUserFunctions(Globals* G);
void dbhRegisterFunctions(Globals* G, const FunctionTableRow* table);
void dbhRegisterFunction(Globals* G, const char* name, BuiltinFunction fn,
                         int16_t minArity, int16_t maxArity);
const FunctionRecord* FindFunction(Globals* G, Ident name);

// Fatal message at the current message position.
[[noreturn]] void dbhFunError(Globals* G, const char* text);
// "Parameter %i must be of type %s." (index counted from 0).
[[noreturn]] void dbhFunTypeError(Globals* G, int type, int index);
