// query.h: the dbquery and dbupdate tags, SQL text building and the
// emptiness test of ifempty.
#pragma once

#include "driver/output.h"
#include "support/types.h"
#include "values/value.h"

// The longest SQL text a tag may render. Its buffers hold one byte more than
// that (and the zero), so that a text that does not fit is told from one that
// just fits: a cut statement, such as an update without its where clause,
// must never run.
inline constexpr size_t kSqlMaxLength = 32767;
inline constexpr size_t kSqlBufferSize = kSqlMaxLength + 2;

struct QueryStackEntry {
  Ident name;    // 0 for an unnamed query
  Value tuple;   // the field tuple
};

// Slot 18.
struct QueryRec {
  int X_CommitState;                 // 0 undecided, 1 commit
  QueryStackEntry X_QueryStack[50];  // entries 1..49 used
  int X_QueryDepth;
  Field* X_CurrentField;
  int X_AnyDatabase;                 // dbname is "*"
  // SQL text buffers of kSqlBufferSize bytes, reused: the first
  // X_SqlBuffersInUse are taken by the statements being built or run now.
  char** X_SqlBuffers;
  int X_SqlBufferCount;
  int X_SqlBuffersInUse;
};

void queryInitializeGV(Globals* G);
void queryFinalizeGV(Globals* G);
// The field of the row being laid out (SrvField), or null.
Field* queryCurrentField(Globals* G);

void appenddbf(CaptureBuffer* b, Value* v);
size_t KillBlanks(char* text);
// Renders body into buffer (size bytes incl. the zero) with the output
// captured; returns the buffer's text.
const char* InterpretToBuffer(Globals* G, char* buffer, size_t size, Token* body,
                              Value hostTuple);
int prepare_query(Globals* G, Token* node);
int perform_select(Globals* G, Token* node, const char* text);
void perform_updates(Globals* G, int kind, Token* node);
void perform_update(Globals* G, const char* text, Value params, Position pos);
Field* findha(Globals* G, Token* node);
int CheckEmpty(Globals* G, Token* list);
