// session.h: session files and the session built-ins.
#pragma once

#include "support/types.h"
#include "values/value.h"

// Slot 21.
struct SessionRec {
  FILE* X_file;
  char* X_tupleSpace;
  size_t X_tupleSpaceSize;
  size_t X_fpos;
};

void sessionInitializeGV(Globals* G);
void sessionFinalizeGV(Globals* G);
int WriteSessionFile(Globals* G, Value tuple, const char* appKey);
int ReadSessionFile(Globals* G, Value* cell, const char* appKey);
