// calls.h: calls of user-defined tags, environments and functions.
#pragma once

#include "interp/interpret.h"

int ProcessCall(Globals* G, Ident name, Token* body, Token* args, Position pos,
                Value* result, Value hostTuple);
int ProcessBodyCall(Globals* G, Position pos, Value hostTuple);
void DeliverOutputParameters(Globals* G, Environment* frame);
// An empty frame (Null locals, no output parameters, result code 0).
void InitFrame(Environment* f, Position pos, Token* definition, Environment* caller,
               Environment* previous);
