// calls.cpp: calls of user-defined tags, environments and functions: frames, parameter matching, output parameters.
#include "interp/calls.h"

#include "diag/messages.h"
#include "driver/globals.h"
#include "frontend/tree.h"
#include "interp/eval.h"
#include "interp/interpret.h"
#include "support/memory.h"
#include "values/value.h"

// Every call is charged this much against the request's memory budget, so
// that runaway recursion ends at the memory limit.
inline constexpr size_t kCallCharge = 1000;
inline constexpr int kMaxOutputParameters = 10;

// ---------------------------------------------------------------------------
// Frames and parameters
// ---------------------------------------------------------------------------

static Token* findFormal(Token* formals, Ident name) {
  for (Token* t = formals; t != nullptr; t = t->next)
    if (t->name == name) return t;
  return nullptr;
}

static bool outputRecorded(const Environment* f, Ident name) {
  for (int i = 0; i < f->outpi; ++i)
    if (f->outNames[i] == name) return true;
  return false;
}

// True when the new frame already received a parameter of that name.
static bool alreadyPassed(const Environment* f, Ident name) {
  return vGetField(f->locals, name) != nullptr || outputRecorded(f, name);
}

static void recordOutput(Globals* G, Environment* f, Ident name, Token* target, Position pos) {
  if (f->outpi >= kMaxOutputParameters)
    FatalMessage(G, "Too many output parameters (must be <= 10)", pos);
  f->outNames[f->outpi] = name;
  f->outTargets[f->outpi] = target;
  ++f->outpi;
}

// Appends a local named name and stores the value of expr in it. The field is
// found again by its position after the evaluation, which may move fields.
static void bindLocal(Globals* G, Environment* f, Ident name, Token* expr) {
  const int32_t slot = f->locals.val.tuple.t->logsize;
  vAddField(G, f->locals, name);
  const Value v = eval(G, expr);
  Field* field = vIndexField(f->locals, slot);
  if (field == nullptr) InternalError(G, "ProcessCall: Internal error: parameter slot lost");
  StoreValue(G, &field->v, v);
}

// Matches the actual parameters to the definition's formals (in the
// caller's frame: nothing here sees the new frame's variables).
static void bindActuals(Globals* G, Environment* f, Token* formals, Token* actuals) {
  Token* nextPositional = formals;
  for (Token* a = actuals; a != nullptr; a = a->next) {
    bxAssert(G, a->kind == TKtuple, "t->kind == 102", {"calls", "ProcessCall"});
    Token* formal = nullptr;
    Ident name = a->name;
    if (name != 0) {
      if (alreadyPassed(f, name))
        FatalMessageI(G, "Parameter passed twice", a->position, InfoIdent(name));
      if (formals != nullptr) {
        formal = findFormal(formals, name);
        if (formal == nullptr)
          FatalMessageI(G, "Invalid (unknown) parameter passed", a->position, InfoIdent(name));
      }
    } else {
      if (nextPositional == nullptr) {
        if (formals != nullptr) FatalMessage(G, "Too many positional parameters passed ", a->position);
        FatalMessage(G, "Tag does not expect any positional parameters", a->position);
      }
      formal = nextPositional;
      nextPositional = nextPositional->next;
      name = formal->name;
      if (alreadyPassed(f, name))
        FatalMessageI(G, "Positional parameter already passed as keyword parameter", a->position,
                      InfoIdent(name));
    }
    if (formal != nullptr && formal->kind == TKtupleout)
      recordOutput(G, f, name, a->expr, a->position);
    else
      bindLocal(G, f, name, a->expr);
  }
}

// Input formals that were not passed take their defaults, evaluated in the
// new frame (so a default sees the parameters bound before it).
static void bindDefaults(Globals* G, Environment* f, Token* formals, Position callPos) {
  for (Token* p = formals; p != nullptr; p = p->next) {
    if (p->kind != TKtuple || vGetField(f->locals, p->name) != nullptr) continue;
    if (p->expr == nullptr) FatalMessageI(G, "Missing Parameter", callPos, InfoIdent(p->name));
    bindLocal(G, f, p->name, p->expr);
  }
}

static Position definitionPosition(const Environment* f) {
  return f->definition != nullptr ? f->definition->position : f->position;
}

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

// The frame whose variables names denote from now on; the fields that
// expressions found in the frame left are looked up again.
static void makeCurrent(EnvironmentModule* env, Environment* frame) {
  env->current = frame;
  vFieldsMoved();
}

void InitFrame(Environment* f, Position pos, Token* definition, Environment* caller,
               Environment* previous) {
  f->position = pos;
  f->definition = definition;
  f->resultCode = 0;
  f->locals = nullValue;
  f->body = nullptr;
  f->caller = caller;
  f->previous = previous;
  f->outpi = 0;
  f->returnValue = nullValue;
}

void DeliverOutputParameters(Globals* G, Environment* frame) {
  for (int i = 0; i < frame->outpi; ++i) {
    Value* target = evallvalue(G, frame->outTargets[i]);
    const Value* source = vGetField(frame->locals, frame->outNames[i]);
    if (source == nullptr)
      FatalMessageI(G, "Output Parameter not calculated", definitionPosition(frame),
                    InfoIdent(frame->outNames[i]));
    if (target->flags & VF_READONLY)
      FatalMessage(G, "Assignment to read only field/variable", definitionPosition(frame));
    Value old = *target;
    *target = AssignValue(G, *source);
    ReleaseValue(G, &old);
  }
}

int ProcessCall(Globals* G, Ident name, Token* body, Token* args, Position pos, Value* result,
                Value hostTuple) {
  EnterNesting(G, pos);
  EnvironmentModule* env = G->environment;
  Environment* caller = env->current;
  caller->body = body;

  Token* definition = LookupDefinition(G, name);
  if (definition == nullptr) FatalMessageI(G, "Unknown Function ", pos, InfoIdent(name));

  Environment frame;
  InitFrame(&frame, pos, definition, caller, caller);
  iVTuple(G, &frame.locals);
  Charge(G, kCallCharge);

  bindActuals(G, &frame, definition->params, args);
  makeCurrent(env, &frame);
  bindDefaults(G, &frame, definition->params, pos);

  const int code = Interpret(G, definition->body, hostTuple);

  makeCurrent(env, frame.previous);
  if (G->dbhtml->X_MsgPos.line == 0) G->dbhtml->X_MsgPos = definition->position;
  DeliverOutputParameters(G, &frame);
  ReleaseValue(G, &frame.locals);

  if (result != nullptr) {
    if (code != irReturnValue)
      FatalMessage(G, "Function did not return a value", definition->position);
    *result = frame.returnValue;
    result->flags &= static_cast<uint16_t>(~VF_TEMP);
  } else {
    ReleaseValue(G, &frame.returnValue);
  }
  LeaveNesting(G);
  return frame.resultCode;
}

int ProcessBodyCall(Globals* G, Position pos, Value hostTuple) {
  EnvironmentModule* env = G->environment;
  Environment* envFrame = env->current;
  Environment* caller = envFrame->caller;
  // A defbody outside any environment call has no body to run.
  if (caller == nullptr) return irEnd;
  EnterNesting(G, pos);

  Environment frame;
  InitFrame(&frame, pos, nullptr, caller->caller, envFrame);
  frame.locals = caller->locals;   // shared, not counted: the body works on the caller's variables
  frame.outpi = caller->outpi;
  for (int i = 0; i < caller->outpi; ++i) {
    frame.outNames[i] = caller->outNames[i];
    frame.outTargets[i] = caller->outTargets[i];
  }

  makeCurrent(env, &frame);
  DeliverOutputParameters(G, envFrame);
  const int code = Interpret(G, caller->body, hostTuple);
  makeCurrent(env, envFrame);
  LeaveNesting(G);

  if (code == irEnd) return irEnd;
  if (code == irBreak) return irReturn;
  // A return inside the body returns from the tag or function that used
  // the environment: its value goes to that function's frame.
  if (code == irReturnValue) {
    ReleaseValue(G, &caller->returnValue);
    caller->returnValue = frame.returnValue;
  } else {
    ReleaseValue(G, &frame.returnValue);
  }
  envFrame->resultCode = code;
  return code;
}
