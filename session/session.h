// session.h: sessions (in files or in the database) and the session built-ins.
#pragma once

#include "support/types.h"
#include "values/value.h"

// A block of tuples loaded from a session file. Its strings and field
// arrays are never freed one by one.
struct SessionSpace {
  SessionSpace* next;
  char* start;
  size_t size;
};

// Slot 21.
struct SessionRec {
  FILE* X_file;             // the open session file, or null
  char* X_tupleSpace;       // the block of the last load
  size_t X_tupleSpaceSize;
  size_t X_fpos;            // tuple-space bytes written by the last write
  SessionSpace* X_previous; // blocks of earlier loads of this request
  char X_path[256];         // the name X_file was opened by (at most 251 bytes),
                            // or the name of the held row
  bool X_rowHeld;           // sessionstore=database: this request holds the row
                            // X_path (its session transaction is open)
};

void sessionInitializeGV(Globals* G);
void sessionFinalizeGV(Globals* G);
// What sessionFinalizeGV does that outlives the process: an open session's
// file is closed and its lock released (a command the page started may
// hold the same file open).
void sessionEndProcess(Globals* G);
// 0, or -1 when the file could not be written whole.
int WriteSessionFile(Globals* G, Value tuple, const char* appKey);
// 0, or -1 when the file is not a session file or does not hold together.
int ReadSessionFile(Globals* G, Value* cell, const char* appKey);
// True when p lies inside a block loaded from a session file in this request.
bool InSessionSpaces(Globals* G, const void* p);
