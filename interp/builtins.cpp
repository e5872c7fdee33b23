// builtins.cpp: the built-in function registry, the built-ins' error
// operations and the string, number and type-test library.
#include "interp/builtins.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag/messages.h"
#include "driver/globals.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "support/memory.h"

// ---- Registration tables ------------------------------------------------

const FunctionTableRow bitab[] = {
    {"asc", biasc, 1, 1},
    {"chr", bichr, 1, 1},
    {"contains", bicontains, 2, 2},
    {"containscase", bicontainscase, 2, 2},
    {"copy", bicopy, 1, 1},
    {"clone", bicopy, 1, 1},
    {"crypt", bicrypt, 1, 2},
    {"decodeurl", bidecodeurl, 1, 1},
    {"default", bidefault, 1, 25},
    {"directory", bidirectory, 1, 2},
    {"fname", bifname, 1, 1},
    {"index", biindex, 2, 3},
    {"indexcase", biindexcase, 2, 3},
    {"integer", biinteger, 1, 2},
    {"isnull", biisnull, 1, 1},
    {"isbool", biisbool, 1, 1},
    {"isdecl", biisdecl, 1, 1},
    {"isempty", biisempty, 1, 1},
    {"isinteger", biisinteger, 1, 1},
    {"isstring", biisstring, 1, 1},
    {"istuple", biistuple, 1, 1},
    {"isreal", biisreal, 1, 1},
    {"left", bileft, 2, 2},
    {"len", bilen, 1, 1},
    {"random", birandom, 0, 0},
    {"real", bireal, 1, 1},
    {"right", biright, 2, 2},
    {"srandom", bisrandom, 1, 1},
    {"subst", bisubst, 3, 3},
    {"substall", bisubstall, 3, 3},
    {"substring", bisubstring, 3, 3},
    {"tolower", bitolower, 1, 1},
    {"toupper", bitoupper, 1, 1},
    {"trim", bitrim, 1, 1},
    {"trimleft", bitrimleft, 1, 1},
    {"trimright", bitrimright, 1, 1},
    {"array", biarray, 1, 2},
    {"resize", biresize, 2, 3},
    {"ArAppend", biArAppend, 2, 20000},
    {"ArConcat", biArConcat, 2, 99},
    {"TuAppField", biTuAppField, 2, 3},
    {"TuInsField", biTuInsField, 2, 3},
    {"TuAssField", biTuAssField, 2, 3},
    {"TuDelField", biTuDelField, 1, 2},
    {"TuName", biTuName, 2, 2},
    {"TuFieldSort", biTuFieldSort, 1, 1},
    {"TuSlice", biTuSlice, 3, 3},
    {"TuProject", biTuProject, 2, 2},
    {"TuMerge", biTuMerge, 2, 2},
    {"TuAssign", biTuAssign, 2, 2},
    {"", nullptr, 0, 0},
};

const FunctionTableRow userfuntab[] = {
    {"repeat", birepeat, 2, 2},
    {"", nullptr, 0, 0},
};

// ---- Registry -----------------------------------------------------------

void dbhfunInitializeGV(Globals* G) {
  G->dbhfun = bxNew<DbhfunRec>(G);
  G->dbhfun->head = nullptr;
  dbhRegisterFunctions(G, bitab);
  InitUserFunctions(G);
}

void dbhfunFinalizeGV(Globals* G) {
  if (!G->dbhfun) return;
  FunctionRecord* r = G->dbhfun->head;
  while (r) {
    FunctionRecord* next = r->next;
    bxFree(r);
    r = next;
  }
  bxFree(G->dbhfun);
  G->dbhfun = nullptr;
}

void InitUserFunctions(Globals* G) { dbhRegisterFunctions(G, userfuntab); }

void dbhRegisterFunctions(Globals* G, const FunctionTableRow* table) {
  for (const FunctionTableRow* row = table; row->name[0] != '\0'; ++row)
    dbhRegisterFunction(G, row->name, row->fn, row->minArity, row->maxArity);
}

void dbhRegisterFunction(Globals* G, const char* name, BuiltinFunction fn,
                         int16_t minArity, int16_t maxArity) {
  const Ident id = MakeIdent(G, name);
  if (FindFunction(G, id)) {
    fprintf(stderr, "Function %s registered twice\n", name);
    fflush(stderr);
    abort();
  }
  FunctionRecord* r = bxNew<FunctionRecord>(G);
  r->name = id;
  r->fn = fn;
  r->minArity = minArity;
  r->maxArity = maxArity;
  r->next = G->dbhfun->head;
  G->dbhfun->head = r;
}

const FunctionRecord* FindFunction(Globals* G, Ident name) {
  if (!G->dbhfun) return nullptr;
  for (const FunctionRecord* r = G->dbhfun->head; r; r = r->next)
    if (r->name == name) return r;
  return nullptr;
}

// ---- Error operations ---------------------------------------------------

void dbhFunError(Globals* G, const char* text) {
  FatalMessage(G, text, G->dbhtml->X_MsgPos);
}

void dbhFunTypeError(Globals* G, int type, int index) {
  char text[80];
  const char* name = (type >= 0 && type <= tTuple) ? vTypeName[type] : "Error";
  snprintf(text, sizeof text, "Parameter %i must be of type %s.", index + 1, name);
  dbhFunError(G, text);
}
