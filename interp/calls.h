// calls.h: calls of user-defined tags, environments and functions.
#pragma once

#include "interp/interpret.h"

int ProcessCall(Globals* G, Ident name, Token* body, Token* args, Position pos,
                Value* result, Value hostTuple);
int ProcessBodyCall(Globals* G, Position pos, Value hostTuple);
void DeliverOutputParameters(Globals* G, Environment* frame);
