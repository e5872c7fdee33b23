// dblayer.h: the database layer, the one door between the interpreter and
// the database binding. Its state is process-wide so that a cached
// connection can outlive a request cycle.
#pragma once

#include "support/types.h"
#include "values/value.h"

struct DbCursor;   // the binding's cursor handle (db/dbi.h)

void dbInitializeGV(Globals* G);
void dbFinalizeGV(Globals* G);
void dbConnect(Globals* G, const char* host, const char* user, const char* password,
               bool allowWrite, bool optimizeConnect, bool autocommit, int isolation);
void dbDisconnect(Globals* G);
// The end of a request that a fatal error ended (a persistent mode): its
// statements closed, its transaction rolled back; a cached connection stays
// for the next request when that succeeded.
void dbAbandon(Globals* G);
int dbSelectDatabase(Globals* G, const char* name);
bool dbAllowWrite(Globals* G);
bool dbIsConnected(Globals* G);
// maxRows: the rows the page can still lay out (0: no limit); the database
// is asked for no more.
DbCursor* dbExecuteQuery(Globals* G, const char* sql, long maxRows = 0);
Value dbGetDescription(Globals* G, DbCursor* cursor);   // a Tuple, one field per column
int dbGetNext(Globals* G, DbCursor* cursor, Value tuple);   // 0 none, 1 row, 2 error
int dbCloseQuery(Globals* G, DbCursor* cursor);
void dbUpdate(Globals* G, const char* sql, Value params);
void dbCommit(Globals* G);
void dbRollBack(Globals* G);
int dbError(Globals* G);
const char* dbCharError(Globals* G);
// The database error section of an error page.
void dbDispWWWError(Globals* G, const char* statement, Position pos);
// The binding's flag: every request ends its transaction.
bool dbEndTransaction();
// The binding's name of the database system ("SQLite", "PostgreSQL"), or null.
const char* dbSystemName();
