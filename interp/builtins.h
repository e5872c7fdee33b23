// builtins.h: the built-in function registry, the error operations of the
// built-ins and the registration tables.
#pragma once

#include "support/idents.h"
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
  bool randomSeeded;   // random() was seeded in this request (srandom or entropy)
};

// The names every request starts with, numbered in a fixed order: the
// built-ins' among them. IdentsInitializeGV takes it.
extern const IdentSeed kStartNames;

// The built-ins of the language are laid out at compile time (FindFunction
// knows them); dbhRegisterFunction adds one for this request.
void dbhfunInitializeGV(Globals* G);
void dbhfunFinalizeGV(Globals* G);
void dbhRegisterFunctions(Globals* G, const FunctionTableRow* table);
void dbhRegisterFunction(Globals* G, const char* name, BuiltinFunction fn,
                         int16_t minArity, int16_t maxArity);
const FunctionRecord* FindFunction(Globals* G, Ident name);

// Fatal message at the current message position.
[[noreturn]] void dbhFunError(Globals* G, const char* text);
// "Parameter %i must be of type %s." (index counted from 0).
[[noreturn]] void dbhFunTypeError(Globals* G, int type, int index);

// A built-in's call: its position, saved on entry. Evaluating an argument may
// move the current message position (nested calls, locations), but every
// message of a built-in stands at its own call.
struct BuiltinCall {
  Globals* G;
  Position pos;
  explicit BuiltinCall(Globals* g);
  [[noreturn]] void fail(const char* text) const;
  [[noreturn]] void typeError(int type, int index) const;
};

// The entry that a field argument denotes (evalfield): the field, or none,
// and its containing tuple. A standalone entry (the value of an expression
// that is no variable or field) and a temporary containing tuple belong to
// the caller until ReleaseFieldRef.
struct FieldRef {
  Field* field;
  Value tuple;   // Null for a standalone entry
};
FieldRef EvalFieldRef(Globals* G, Token* node);
bool IsStandalone(const FieldRef& ref);
// The entry's value for the caller to keep, giving up the entry: moved out
// of a standalone entry, copied by assignment (temporary) out of a temporary
// tuple, else borrowed.
Value TakeFieldRefValue(Globals* G, FieldRef* ref);
// Releases what the caller owns of the entry (ref->field is then none).
void ReleaseFieldRef(Globals* G, FieldRef* ref);

// ---- The implementations registered in bitab and userfuntab -------------

// Strings, numbers and type tests (interp/builtins.cpp).
Value* biasc(Value* r, Globals* G, int argc, Token** argv);
Value* bichr(Value* r, Globals* G, int argc, Token** argv);
Value* bicontains(Value* r, Globals* G, int argc, Token** argv);
Value* bicontainscase(Value* r, Globals* G, int argc, Token** argv);
Value* bicopy(Value* r, Globals* G, int argc, Token** argv);
Value* bicrypt(Value* r, Globals* G, int argc, Token** argv);
Value* bidecodeurl(Value* r, Globals* G, int argc, Token** argv);
Value* bidefault(Value* r, Globals* G, int argc, Token** argv);
Value* bidirectory(Value* r, Globals* G, int argc, Token** argv);
Value* bifname(Value* r, Globals* G, int argc, Token** argv);
Value* biindex(Value* r, Globals* G, int argc, Token** argv);
Value* biindexcase(Value* r, Globals* G, int argc, Token** argv);
Value* biinteger(Value* r, Globals* G, int argc, Token** argv);
Value* biisnull(Value* r, Globals* G, int argc, Token** argv);
Value* biisbool(Value* r, Globals* G, int argc, Token** argv);
Value* biisdecl(Value* r, Globals* G, int argc, Token** argv);
Value* biisempty(Value* r, Globals* G, int argc, Token** argv);
Value* biisinteger(Value* r, Globals* G, int argc, Token** argv);
Value* biisstring(Value* r, Globals* G, int argc, Token** argv);
Value* biistuple(Value* r, Globals* G, int argc, Token** argv);
Value* biisreal(Value* r, Globals* G, int argc, Token** argv);
Value* bileft(Value* r, Globals* G, int argc, Token** argv);
Value* bilen(Value* r, Globals* G, int argc, Token** argv);
Value* birandom(Value* r, Globals* G, int argc, Token** argv);
Value* bireal(Value* r, Globals* G, int argc, Token** argv);
Value* biright(Value* r, Globals* G, int argc, Token** argv);
Value* bisrandom(Value* r, Globals* G, int argc, Token** argv);
Value* bisubst(Value* r, Globals* G, int argc, Token** argv);
Value* bisubstall(Value* r, Globals* G, int argc, Token** argv);
Value* bisubstring(Value* r, Globals* G, int argc, Token** argv);
Value* bitolower(Value* r, Globals* G, int argc, Token** argv);
Value* bitoupper(Value* r, Globals* G, int argc, Token** argv);
Value* bitrim(Value* r, Globals* G, int argc, Token** argv);
Value* bitrimleft(Value* r, Globals* G, int argc, Token** argv);
Value* bitrimright(Value* r, Globals* G, int argc, Token** argv);
Value* birepeat(Value* r, Globals* G, int argc, Token** argv);

// HTTP header lines, cookies and session keys (interp/httpfns.cpp).
Value* bicookie(Value* r, Globals* G, int argc, Token** argv);
Value* bihttpheader(Value* r, Globals* G, int argc, Token** argv);
Value* bisessionkey(Value* r, Globals* G, int argc, Token** argv);
Value* bisetcookie(Value* r, Globals* G, int argc, Token** argv);
// Tuples and arrays (interp/tuplefns.cpp).
Value* biarray(Value* r, Globals* G, int argc, Token** argv);
Value* biresize(Value* r, Globals* G, int argc, Token** argv);
Value* biArAppend(Value* r, Globals* G, int argc, Token** argv);
Value* biArConcat(Value* r, Globals* G, int argc, Token** argv);
Value* biTuAppField(Value* r, Globals* G, int argc, Token** argv);
Value* biTuInsField(Value* r, Globals* G, int argc, Token** argv);
Value* biTuAssField(Value* r, Globals* G, int argc, Token** argv);
Value* biTuDelField(Value* r, Globals* G, int argc, Token** argv);
Value* biTuName(Value* r, Globals* G, int argc, Token** argv);
Value* biTuFieldSort(Value* r, Globals* G, int argc, Token** argv);
Value* biTuSlice(Value* r, Globals* G, int argc, Token** argv);
Value* biTuProject(Value* r, Globals* G, int argc, Token** argv);
Value* biTuMerge(Value* r, Globals* G, int argc, Token** argv);
Value* biTuAssign(Value* r, Globals* G, int argc, Token** argv);

// The exchange sort of TuFieldSort on ranks (equal ranks for equal names),
// carrying perm along: for each i, for each j > i, exchange when
// rank[i] > rank[j]. Visits only the exchanges.
void ExchangeSortPermutation(Globals* G, int32_t* rank, int32_t* perm, int32_t n);
