// query.cpp: the dbquery and dbupdate tags: SQL text built from tag bodies,
// the query stack with its layout sections, updates, and the ifempty test.
#include "db/query.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/dblayer.h"
#include "diag/errorpages.h"
#include "diag/messages.h"
#include "driver/cgi.h"
#include "driver/globals.h"
#include "frontend/tree.h"
#include "interp/interpret.h"
#include "support/memory.h"

namespace {

constexpr int kMaxQueryDepth = 49;   // stack entries 1..49
constexpr int32_t kDefaultMaxRows = 200;

// The variables of the current call frame.
Value currentScope(Globals* G) { return G->environment->current->locals; }

// An Integer, or a String read as a decimal number; false for anything else.
bool numberSetting(Globals* G, Ident id, long* out) {
  Value v = GetLocalVariable(G, currentScope(G), id);
  bool ok = true;
  if (v.type == tInteger) {
    *out = v.val.Integer;
  } else if (v.type == tString) {
    *out = v.val.str != nullptr ? strtol(v.val.str, nullptr, 10) : 0;
  } else {
    ok = false;
  }
  ReleaseIfTemp(G, &v);
  return ok;
}

// SrvMax: rows per query, 200 unless set above 0.
long rowLimit(Globals* G) {
  long n = 0;
  return numberSetting(G, IdSrvMax, &n) && n > 0 ? n : kDefaultMaxRows;
}

// SrvMaxNest: active queries beyond which a query is skipped.
long nestLimit(Globals* G) {
  long n = 0;
  if (!numberSetting(G, IdSrvMaxNest, &n)) return 200;
  if (n <= 0) return 5;
  return n > 1000 ? 1000 : n;
}

// SQL text buffers are taken and given back in stack order.
char* takeSqlBuffer(Globals* G) {
  QueryRec* q = G->query;
  if (q->X_SqlBuffersInUse == q->X_SqlBufferCount) {
    const int count = q->X_SqlBufferCount;
    auto** grown = static_cast<char**>(bxAlloc(G, sizeof(char*) * (count + 1)));
    if (count > 0) memcpy(grown, q->X_SqlBuffers, sizeof(char*) * count);
    grown[count] = static_cast<char*>(bxAlloc(G, kSqlBufferSize));
    bxFree(q->X_SqlBuffers);
    q->X_SqlBuffers = grown;
    q->X_SqlBufferCount = count + 1;
  }
  return q->X_SqlBuffers[q->X_SqlBuffersInUse++];
}

void giveBackSqlBuffer(Globals* G) { G->query->X_SqlBuffersInUse--; }

// A rendered SQL text that overran its buffer ends the request before
// anything is sent: cut off, it would be another statement.
void requireWhole(Globals* G, const char* text, const Token* node) {
  if (strlen(text) > kSqlMaxLength) FatalMessage(G, "SQL statement too long", node->position);
}

// Runs a layout section; an absent section does nothing.
int runSection(Globals* G, Token* node, int slot) {
  Token* list = node->sections[slot];
  return list != nullptr ? Interpret(G, list, nullValue) : irEnd;
}

// Runs a section once per field with the field as the current one.
int runPerField(Globals* G, Token* node, int slot, Value tuple) {
  if (node->sections[slot] == nullptr) return irEnd;
  Tuple* t = tuple.val.tuple.t;
  for (int32_t i = 0; i < t->logsize; ++i) {
    G->query->X_CurrentField = &t->fields[i];
    const int rc = runSection(G, node, slot);
    if (rc != irEnd) return rc;
  }
  return irEnd;
}

// The row loop: top, head per field and body before the first row; sep
// between rows; rowbegin, column per field and rowend for each row.
int layoutRows(Globals* G, Token* node, DbCursor* cursor, Value tuple, long maxRows,
               long* rows) {
  int rc = irEnd;
  while (*rows < maxRows) {
    const int got = dbGetNext(G, cursor, tuple);
    if (got == 2 || (got == 0 && dbError(G) != 0)) dbhDatabaseError(G, "Get Next", node->position);
    if (got == 0) break;
    if (*rows == 0) {
      if ((rc = runSection(G, node, SecTop)) != irEnd) return rc;
      if ((rc = runPerField(G, node, SecHead, tuple)) != irEnd) return rc;
      if ((rc = runSection(G, node, SecBody)) != irEnd) return rc;
    } else if ((rc = runSection(G, node, SecSep)) != irEnd) {
      return rc;
    }
    ++*rows;
    if ((rc = runSection(G, node, SecRowbegin)) != irEnd) return rc;
    if ((rc = runPerField(G, node, SecColumn, tuple)) != irEnd) return rc;
    if ((rc = runSection(G, node, SecRowend)) != irEnd) return rc;
  }
  return rc;
}

}  // namespace

// ---- Module record ------------------------------------------------------------

void queryInitializeGV(Globals* G) {
  auto* q = static_cast<QueryRec*>(bxAllocZero(G, sizeof(QueryRec)));
  for (QueryStackEntry& e : q->X_QueryStack) e = QueryStackEntry{0, nullValue};
  q->X_CommitState = 0;
  q->X_QueryDepth = 0;
  q->X_CurrentField = nullptr;
  q->X_AnyDatabase = 0;
  G->query = q;
}

Field* queryCurrentField(Globals* G) {
  return G->query != nullptr ? G->query->X_CurrentField : nullptr;
}

void queryFinalizeGV(Globals* G) {
  QueryRec* q = G->query;
  if (q == nullptr) return;
  for (int i = 0; i < q->X_SqlBufferCount; ++i) bxFree(q->X_SqlBuffers[i]);
  bxFree(q->X_SqlBuffers);
  bxFree(q);
  G->query = nullptr;
}

// ---- SQL text ----------------------------------------------------------------------

void appenddbf(CaptureBuffer* b, Value* v) {
  char number[64];
  switch (v->type) {
    case tReal:
      snprintf(number, sizeof number, "%f", v->val.Real);
      appends(b, number);
      break;
    case tInteger:
      snprintf(number, sizeof number, "%i", v->val.Integer);
      appends(b, number);
      break;
    case tString:
      if (v->val.str != nullptr) {
        v->size = static_cast<int32_t>(KillBlanks(v->val.str));
        appends(b, v->val.str);
      }
      break;
    default:
      break;
  }
}

size_t KillBlanks(char* text) {
  size_t n = strlen(text);
  while (n > 0 && text[n - 1] == ' ') --n;
  text[n] = 0;
  return n;
}

const char* InterpretToBuffer(Globals* G, char* buffer, size_t size, Token* body,
                              Value hostTuple) {
  CaptureBuffer capture = MakeCapture(buffer, size);
  CaptureBuffer* saved = PQTBuffer;
  serverSendOutputToBuffer(G, &capture);
  Interpret(G, body, hostTuple);
  if (saved == nullptr) serverSendOutputToClient();
  PQTBuffer = saved;
  return buffer;
}

// ---- Queries --------------------------------------------------------------------------

int prepare_query(Globals* G, Token* node) {
  char* buffer = takeSqlBuffer(G);
  const char* text = InterpretToBuffer(G, buffer, kSqlBufferSize, node->body, nullValue);
  requireWhole(G, text, node);
  const int rc = perform_select(G, node, text);
  giveBackSqlBuffer(G);
  return rc;
}

int perform_select(Globals* G, Token* node, const char* text) {
  QueryRec* q = G->query;
  const long maxRows = rowLimit(G);
  if (q->X_QueryDepth > nestLimit(G)) return irEnd;
  if (q->X_QueryDepth + 1 > kMaxQueryDepth) {
    fputs("query stack overflow\n", stderr);
    serverExit(G, "query stack overflow");
  }
  const int depth = ++q->X_QueryDepth;
  q->X_QueryStack[depth] = QueryStackEntry{node->name, nullValue};

  DbCursor* cursor = dbExecuteQuery(G, text, maxRows);
  if (cursor == nullptr || dbError(G) != 0) dbhDatabaseError(G, text, node->position);
  Value tuple = dbGetDescription(G, cursor);
  if (dbError(G) != 0) dbhDatabaseError(G, text, node->position);

  // A named query is also a variable of the current scope holding its row.
  const Value scope = currentScope(G);
  if (node->name != 0) {
    if (vFindField(scope, node->name) != nullptr)
      FatalMessage(G, "Queryname already used as variable name", node->position);
    *vAddField(G, scope, node->name) = AssignValue(G, tuple);
  }
  q->X_QueryStack[depth].tuple = tuple;

  long rows = 0;
  int rc = layoutRows(G, node, cursor, tuple, maxRows, &rows);
  q->X_CurrentField = nullptr;
  if (rc == irEnd) rc = runSection(G, node, rows > 0 ? SecFoot : SecEmpty);
  if (rc == irBreak) rc = irEnd;   // a break ends only this query

  if (dbCloseQuery(G, cursor) != 0) dbhDatabaseError(G, "Close Query", node->position);
  q->X_QueryDepth--;
  q->X_QueryStack[depth].tuple = nullValue;
  if (node->name != 0) vDelField(G, scope, node->name);
  ReleaseValue(G, &tuple);
  return rc;
}

// ---- Updates ---------------------------------------------------------------------------

void perform_updates(Globals* G, int kind, Token* node) {
  QueryRec* q = G->query;
  Value hostTuple;
  iVTuple(G, &hostTuple);
  char* buffer = takeSqlBuffer(G);
  const char* text = InterpretToBuffer(G, buffer, kSqlBufferSize, node->body, hostTuple);
  switch (kind) {
    case TKstamp:
      if (q->X_CommitState == 0) q->X_CommitState = 1;
      break;
    case TKdatabase:
      if (q->X_AnyDatabase != 1) break;
      requireWhole(G, text, node);
      if (dbSelectDatabase(G, text) != 0) dbhDatabaseError(G, "Select Database", node->position);
      break;
    case TKupdate:
      requireWhole(G, text, node);
      perform_update(G, text, hostTuple, node->position);
      if (q->X_CommitState == 0) q->X_CommitState = 1;
      break;
    default:
      break;
  }
  giveBackSqlBuffer(G);
  ReleaseValue(G, &hostTuple);
}

void perform_update(Globals* G, const char* text, Value params, Position pos) {
  if (!dbAllowWrite(G)) FatalMessage(G, "Sorry, the database is read only", NoPosition);
  dbUpdate(G, text, params);
  if (dbError(G) != 0) dbhDatabaseError(G, text, pos);
}

// ---- Field lookup and the emptiness test ----------------------------------------------

// With a query name only that query (the innermost of the name) is searched;
// without one, the innermost query that has the field wins.
Field* findha(Globals* G, Token* node) {
  const QueryRec* q = G->query;
  for (int d = q->X_QueryDepth; d >= 1; --d) {
    const QueryStackEntry& e = q->X_QueryStack[d];
    if (node->qualifier != 0) {
      if (e.name == node->qualifier) return vFindField(e.tuple, node->name);
      continue;
    }
    if (Field* f = vFindField(e.tuple, node->name)) return f;
  }
  return nullptr;
}

int CheckEmpty(Globals* G, Token* list) {
  for (Token* t = list; t != nullptr; t = t->next) {
    if (t->kind == TKdbfname || t->kind == TKdbfnamehtml || t->kind == TKdbfnametext) {
      Field* f = findha(G, t);
      if (f == nullptr || f->v.type != tString || f->v.val.str == nullptr) continue;
      f->v.size = static_cast<int32_t>(KillBlanks(f->v.val.str));
      if (f->v.size > 0) return 0;
    } else if (t->kind == TKffname || t->kind == TKffnamequoted) {
      const Value* v = vGetField(G->value->ff, t->name);
      if (v != nullptr && v->type == tString && v->val.str != nullptr &&
          v->val.str[0] != 0)
        return 0;
    }
  }
  return 1;
}
