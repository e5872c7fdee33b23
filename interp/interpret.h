// interpret.h: the statement interpreter, computed template text, the
// environment module (outermost call frame) and the interpreter settings.
#pragma once

#include "support/types.h"
#include "values/value.h"

// Result codes of Interpret.
enum InterpretResult : int {
  irEnd = 0,           // the list ran to its end
  irBreak = 1,
  irReturn = 2,        // return without a value
  irReturnValue = 3,   // return with a value (in the current frame)
};

// Calls, includes and computed text nest at most this deep; expressions at
// most kMaxExprDepth. Beyond: a fatal message, never a stack overflow. The
// stack guard below ends the request the same way earlier when the stack
// limit leaves less room than these depths need.
inline constexpr int kMaxCallDepth = 2500;
inline constexpr int kMaxExprDepth = 10000;

// The dbhtml record (slot 16): interpreter settings.
struct DbhtmlRec {
  char* X_FileName;     // the template being run (SrvFileName)
  Position X_MsgPos;    // current message position (built-ins report here)
  int X_CallDepth;      // nesting of calls, includes and computed text
  int X_ExprDepth;      // nesting of expression evaluation
  int X_StmtDepth;      // nesting of statement lists (same bound as expressions)
  // Stack guard: the stack address when the record was made, and how far
  // below it the recursive walkers may go (from the stack limit, less a
  // reserve for the frames above and for the fatal path's error page).
  intptr_t X_StackBase;
  intptr_t X_StackRoom;
};

// True when the caller's frame lies deeper than the stack guard allows.
inline bool StackExhausted(const DbhtmlRec* d) {
  const intptr_t sp = reinterpret_cast<intptr_t>(__builtin_frame_address(0));
  return d->X_StackBase - sp > d->X_StackRoom;
}

// One call frame.
struct Environment {
  Position position;             // of the call
  Token* definition;             // null for the outermost and body frames
  int resultCode;
  Value locals;                  // Tuple
  Token* body;                   // body of the environment call made from this frame
  Environment* caller;
  Environment* previous;
  int outpi;                     // 0..10
  Value returnValue;
  Ident outNames[10];
  Token* outTargets[10];
};

// Slot 19: the outermost frame and the current frame.
struct EnvironmentModule {
  Environment outer;
  Environment* current;
};

void environmentInitializeGV(Globals* G);
void environmentFinalizeGV(Globals* G);
void dbhtmlInitializeGV(Globals* G);
void dbhtmlFinalizeGV(Globals* G);
// The template being run (SrvFileName), or null.
const char* dbhtmlFileName(Globals* G);
void htmlInitializeGV(Globals* G);
void htmlFinalizeGV(Globals* G);
void cmcInitializeGV(Globals* G);
void cmcFinalizeGV(Globals* G);

int Interpret(Globals* G, Token* list, Value hostTuple);
int InterpretString(Globals* G, const char* text, Value hostTuple);
int InterpretValue(Globals* G, Value v, Value hostTuple);
// The expression's text (Value2Char of its value), a bxAlloc'd text or null.
char* evalexpr(Globals* G, Token* expr);
int Align(int n);

// Call-depth guard for calls, includes and computed text: enter fails with
// a fatal message at pos beyond kMaxCallDepth.
void EnterNesting(Globals* G, Position pos);
void LeaveNesting(Globals* G);
