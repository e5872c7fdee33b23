// dbi_pg.cpp: the PostgreSQL backend of the database binding, built as a
// module that the program loads only when dbhost is set, so that requests on
// SQLite or without a database never load libpq.
//
// Queries run through server-side cursors fetched in batches; every
// statement goes through the extended protocol, which accepts exactly one
// statement. No C++ runtime is used here (the program links its own
// statically), only the C library and libpq.
#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/dbi_backend.h"

namespace {

const DbiHostApi* host;

struct PgConn {
  PGconn* pg;
  int allowWrite;
  int isolation;
  unsigned serial;       // names the cursors of this connection
  PGcancel* cancel;      // for the time limit's interrupt
  PGresult* sessionRow;  // the last session row read, or null
};

struct PgStmt {
  PgConn* conn;
  PGresult* res;    // the current batch
  int row;          // current row in the batch
  int rows;         // rows in the batch
  int batch;        // rows asked for by the last FETCH
  int maxRows;      // 0 for no limit
  int delivered;
  long rowBytes;    // the widest row fetched so far, 0 before the first
  bool exhausted;   // the last batch was short
  char name[32];
};

// A batch holds at most kBatchRows rows and, by the widest row so far,
// about kBatchBytes; the first, before any row has been seen, at most
// kFirstBatchRows. So memory follows what the page shows, not the table.
constexpr int kBatchRows = 200;
constexpr int kFirstBatchRows = 10;
constexpr long kBatchBytes = 1L << 20;

// ---- Errors ---------------------------------------------------------------------

void cutNewline(char* s) {
  size_t n = strlen(s);
  while (n > 0 && (s[n - 1] == '\n' || s[n - 1] == '\r' || s[n - 1] == ' ')) s[--n] = 0;
}

void fromConn(PGconn* pg, DbiDiag* d) {
  snprintf(d->message, sizeof d->message, "%s", pg != nullptr ? PQerrorMessage(pg) : "out of memory");
  cutNewline(d->message);
  d->code = pg != nullptr ? static_cast<long>(PQstatus(pg)) : -1;
  d->isam = 0;
}

// The server's message with its SQLSTATE; the code is the result status.
void fromResult(PgConn* c, PGresult* r, DbiDiag* d) {
  const char* primary = r != nullptr ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const char* state = r != nullptr ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  if (primary != nullptr)
    snprintf(d->message, sizeof d->message, "%s (SQLSTATE %s)", primary, state ? state : "?");
  else
    snprintf(d->message, sizeof d->message, "%s", PQerrorMessage(c->pg));
  cutNewline(d->message);
  d->code = r != nullptr ? static_cast<long>(PQresultStatus(r)) : -1;
  d->isam = 0;
}

void ownDiag(DbiDiag* d, const char* text) {
  snprintf(d->message, sizeof d->message, "%s", text);
  d->code = -1;
  d->isam = 0;
}

// Runs one statement without parameters through the extended protocol.
PGresult* run(PgConn* c, const char* sql, ExecStatusType want, DbiDiag* d) {
  PGresult* r = PQexecParams(c->pg, sql, 0, nullptr, nullptr, nullptr, nullptr, 0);
  if (r != nullptr && PQresultStatus(r) == want) return r;
  fromResult(c, r, d);
  PQclear(r);
  return nullptr;
}

int command(PgConn* c, const char* sql, DbiDiag* d) {
  PGresult* r = run(c, sql, PGRES_COMMAND_OK, d);
  if (r == nullptr) return -1;
  PQclear(r);
  return 0;
}

// ---- Connection -------------------------------------------------------------------

// dbhost: a host name or address, host:port, [v6address]:port, or a socket folder.
void* pgOpen(const DbiOpenParams* p, DbiDiag* d) {
  char hostPart[1024] = "";
  char portPart[16] = "";
  const char* h = p->host;
  const char* colon = h[0] == '/' ? nullptr : strrchr(h, ':');
  if (h[0] == '[') {
    const char* close = strchr(h, ']');
    if (close != nullptr) {
      snprintf(hostPart, sizeof hostPart, "%.*s", static_cast<int>(close - h - 1), h + 1);
      if (close[1] == ':') snprintf(portPart, sizeof portPart, "%s", close + 2);
    } else {
      snprintf(hostPart, sizeof hostPart, "%s", h);
    }
  } else if (colon != nullptr && strchr(h, ':') == colon) {
    snprintf(hostPart, sizeof hostPart, "%.*s", static_cast<int>(colon - h), h);
    snprintf(portPart, sizeof portPart, "%s", colon + 1);
  } else {
    snprintf(hostPart, sizeof hostPart, "%s", h);
  }
  const char* keys[8];
  const char* values[8];
  int n = 0;
  auto add = [&](const char* k, const char* v) {
    if (v != nullptr && v[0] != 0) {
      keys[n] = k;
      values[n] = v;
      ++n;
    }
  };
  add("host", hostPart);
  add("port", portPart);
  add("dbname", p->database);
  add("user", p->user);
  add("password", p->password);
  add("connect_timeout", "5");
  add("application_name", "braxel");
  keys[n] = nullptr;
  values[n] = nullptr;
  PGconn* pg = PQconnectdbParams(keys, values, 0);
  if (pg == nullptr || PQstatus(pg) != CONNECTION_OK) {
    fromConn(pg, d);
    PQfinish(pg);
    return nullptr;
  }
  auto* c = static_cast<PgConn*>(host->alloc(sizeof(PgConn)));
  *c = PgConn{pg, p->allowWrite, p->isolation, 0, PQgetCancel(pg), nullptr};
  return c;
}

void dropSessionRow(PgConn* c) {
  PQclear(c->sessionRow);
  c->sessionRow = nullptr;
}

void pgClose(void* conn) {
  auto* c = static_cast<PgConn*>(conn);
  dropSessionRow(c);
  if (c->cancel != nullptr) PQfreeCancel(c->cancel);
  PQfinish(c->pg);
  host->free(c);
}

// The configured isolation: DEFAULT leaves the server's own; VERSIONING is
// the snapshot level. Read-only unless writing is allowed.
int pgBegin(void* conn, DbiDiag* d) {
  auto* c = static_cast<PgConn*>(conn);
  static const char* const levels[6] = {
      "", " ISOLATION LEVEL READ UNCOMMITTED", " ISOLATION LEVEL READ COMMITTED",
      " ISOLATION LEVEL REPEATABLE READ", " ISOLATION LEVEL SERIALIZABLE",
      " ISOLATION LEVEL REPEATABLE READ"};
  char sql[96];
  snprintf(sql, sizeof sql, "BEGIN%s%s", levels[c->isolation < 0 || c->isolation > 5 ? 0 : c->isolation],
           c->allowWrite ? "" : " READ ONLY");
  return command(c, sql, d);
}
int pgCommit(void* conn, DbiDiag* d) {
  auto* c = static_cast<PgConn*>(conn);
  dropSessionRow(c);
  return command(c, "COMMIT", d);
}
int pgRollback(void* conn, DbiDiag* d) {
  auto* c = static_cast<PgConn*>(conn);
  dropSessionRow(c);
  return command(c, "ROLLBACK", d);
}

// ---- Queries ----------------------------------------------------------------------

// The rows the next FETCH asks for: no more than the query can still
// deliver, and a batch of about kBatchBytes.
int nextBatch(const PgStmt* s) {
  long rows = kBatchRows;
  if (s->rowBytes == 0)
    rows = kFirstBatchRows;
  else if (s->rowBytes > kBatchBytes / kBatchRows)
    rows = kBatchBytes / s->rowBytes > 1 ? kBatchBytes / s->rowBytes : 1;
  if (s->maxRows > 0 && s->maxRows - s->delivered < rows) rows = s->maxRows - s->delivered;
  // NEVER below 1 (pgFetch asks only while rows remain): FETCH 0 would
  // deliver the current row again.
  return rows > 1 ? static_cast<int>(rows) : 1;
}

// The widest row of a batch: its values and a little for each.
long widestRow(const PGresult* r) {
  long widest = 0;
  const int columns = PQnfields(r);
  for (int i = 0; i < PQntuples(r); ++i) {
    long bytes = 16;
    for (int j = 0; j < columns; ++j) bytes += PQgetlength(r, i, j) + 8;
    if (bytes > widest) widest = bytes;
  }
  return widest;
}

bool fetchBatch(PgStmt* s, DbiDiag* d) {
  s->batch = nextBatch(s);
  char sql[80];
  snprintf(sql, sizeof sql, "FETCH FORWARD %d FROM %s", s->batch, s->name);
  // The previous batch goes first: two of them never live together.
  PQclear(s->res);
  s->res = nullptr;
  s->rows = 0;
  s->row = -1;
  PGresult* r = run(s->conn, sql, PGRES_TUPLES_OK, d);
  if (r == nullptr) return false;
  s->res = r;
  s->rows = PQntuples(r);
  s->exhausted = s->rows < s->batch;
  const long widest = widestRow(r);
  if (widest > s->rowBytes) s->rowBytes = widest;
  return true;
}

void* pgQuery(void* conn, const char* sql, int maxRows, DbiDiag* d) {
  auto* c = static_cast<PgConn*>(conn);
  auto* s = static_cast<PgStmt*>(host->alloc(sizeof(PgStmt)));
  *s = PgStmt{c, nullptr, -1, 0, 0, maxRows, 0, 0, false, {}};
  snprintf(s->name, sizeof s->name, "braxel_c%u", ++c->serial);
  static const char prefix[] = "DECLARE %s NO SCROLL CURSOR FOR ";
  const size_t size = strlen(sql) + sizeof prefix + sizeof s->name;
  auto* text = static_cast<char*>(host->alloc(size));
  snprintf(text, size, prefix, s->name);
  strcat(text, sql);
  const int rc = command(c, text, d);
  host->free(text);
  if (rc != 0 || !fetchBatch(s, d)) {
    if (rc == 0) {
      char close[64];
      snprintf(close, sizeof close, "CLOSE %s", s->name);
      DbiDiag ignored;
      command(c, close, &ignored);
    }
    host->free(s);
    return nullptr;
  }
  return s;
}

int pgColumnCount(void* stmt) { return PQnfields(static_cast<PgStmt*>(stmt)->res); }
const char* pgColumnName(void* stmt, int i) { return PQfname(static_cast<PgStmt*>(stmt)->res, i); }

int pgFetch(void* stmt, DbiDiag* d) {
  auto* s = static_cast<PgStmt*>(stmt);
  if (s->maxRows > 0 && s->delivered >= s->maxRows) return 0;
  if (s->row + 1 >= s->rows) {
    if (s->exhausted) return 0;
    if (!fetchBatch(s, d)) return -1;
    if (s->rows == 0) return 0;
  }
  s->row++;
  s->delivered++;
  return 1;
}

// Integer types become Integer, floating and decimal types Real, and every
// other type its text form.
int pgValueKind(void* stmt, int i) {
  auto* s = static_cast<PgStmt*>(stmt);
  if (PQgetisnull(s->res, s->row, i)) return dvNull;
  switch (PQftype(s->res, i)) {
    case 20:   // int8
    case 21:   // int2
    case 23:   // int4
    case 26:   // oid
      return dvInteger;
    case 700:    // float4
    case 701:    // float8
    case 1700:   // numeric
      return dvReal;
    default:
      return dvText;
  }
}
long long pgValueInteger(void* stmt, int i) {
  auto* s = static_cast<PgStmt*>(stmt);
  return strtoll(PQgetvalue(s->res, s->row, i), nullptr, 10);
}
double pgValueReal(void* stmt, int i) {
  auto* s = static_cast<PgStmt*>(stmt);
  return strtod(PQgetvalue(s->res, s->row, i), nullptr);
}
const char* pgValueText(void* stmt, int i, int* length) {
  auto* s = static_cast<PgStmt*>(stmt);
  *length = PQgetlength(s->res, s->row, i);
  return PQgetvalue(s->res, s->row, i);
}

int pgCloseQuery(void* stmt, DbiDiag* d) {
  auto* s = static_cast<PgStmt*>(stmt);
  PQclear(s->res);
  char sql[64];
  snprintf(sql, sizeof sql, "CLOSE %s", s->name);
  const int rc = command(s->conn, sql, d);
  host->free(s);
  return rc;
}

// ---- Updates --------------------------------------------------------------------------

// ---- Host-variable markers

bool isIdentChar(char ch) {
  const auto u = static_cast<unsigned char>(ch);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' ||
         u == '$' || u >= 0x80;
}

// The end of the dollar quote that opens at p ($$ or $tag$, a tag being an
// identifier that does not begin with a digit), or null when p opens none.
const char* dollarQuoteEnd(const char* p) {
  const char* t = p + 1;
  if (*t >= '0' && *t <= '9') return nullptr;   // $1: a parameter
  while (*t != '$') {
    if (!isIdentChar(*t)) return nullptr;
    ++t;
  }
  const size_t tag = static_cast<size_t>(t - p) + 1;   // "$tag$"
  for (const char* q = t + 1; *q != 0; ++q)
    if (*q == '$' && strncmp(q, p, tag) == 0) return q + tag;
  return p + strlen(p);   // unterminated: the server reports it
}

// The end of the token at p in which a "?" is no marker, or null when p
// begins none: a string ('...', E'...' with backslash escapes), a quoted
// identifier ("..."), a dollar-quoted string, a comment (-- to the end of
// the line, /* */ nested as PostgreSQL nests them). p lies in sql.
const char* skippedToken(const char* sql, const char* p) {
  const char prev = p > sql ? p[-1] : 0;
  if (*p == '\'' || *p == '"') {
    const char q = *p;
    // An E (or e) that is a word of its own, right before the quote, lets
    // backslashes escape.
    const bool escapes = q == '\'' && (prev == 'E' || prev == 'e') &&
                         (p - 1 == sql || !isIdentChar(p[-2]));
    const char* t = p + 1;
    while (*t != 0) {
      if (escapes && *t == '\\' && t[1] != 0) {
        t += 2;
      } else if (*t == q && t[1] == q) {
        t += 2;
      } else if (*t == q) {
        return t + 1;
      } else {
        ++t;
      }
    }
    return t;
  }
  if (p[0] == '-' && p[1] == '-') {
    const char* t = p;
    while (*t != 0 && *t != '\n') ++t;
    return t;
  }
  if (p[0] == '/' && p[1] == '*') {
    int depth = 0;
    const char* t = p;
    while (*t != 0) {
      if (t[0] == '/' && t[1] == '*') {
        ++depth;
        t += 2;
      } else if (t[0] == '*' && t[1] == '/') {
        t += 2;
        if (--depth == 0) return t;
      } else {
        ++t;
      }
    }
    return t;
  }
  if (*p == '$' && !isIdentChar(prev)) return dollarQuoteEnd(p);
  return nullptr;
}

// Rewrites the "?" markers as $1, $2, ... into out (size bytes) and returns
// their number. A "?" inside a string, a quoted identifier, a dollar quote
// or a comment is none; the jsonb operators ?, ?| and ?& are, so pages
// write them as jsonb_exists, jsonb_exists_any and jsonb_exists_all.
int numberMarkers(const char* sql, char* out, size_t size) {
  int count = 0;
  size_t o = 0;
  auto put = [&](char ch) {
    if (o + 1 < size) out[o++] = ch;
  };
  for (const char* p = sql; *p != 0;) {
    if (const char* end = skippedToken(sql, p)) {
      while (p < end) put(*p++);
    } else if (*p == '?') {
      char num[16];
      snprintf(num, sizeof num, "$%d", ++count);
      for (const char* n = num; *n != 0; ++n) put(*n);
      ++p;
    } else {
      put(*p++);
    }
  }
  out[o] = 0;
  return count;
}

int pgUpdate(void* conn, const char* sql, int nparams, const DbiParam* params, DbiDiag* d) {
  auto* c = static_cast<PgConn*>(conn);
  const size_t len = strlen(sql);
  // Every marker grows by at most five characters ($ and four digits).
  const size_t size = len * 6 + 1;
  auto* text = static_cast<char*>(host->alloc(size));
  const int markers = numberMarkers(sql, text, size);
  if (markers != nparams) {
    char msg[128];
    snprintf(msg, sizeof msg, "the statement has %d host variables, %d values were given",
             markers, nparams);
    ownDiag(d, msg);
    host->free(text);
    return -1;
  }
  const char** values = nullptr;
  if (nparams > 0) {
    values = static_cast<const char**>(host->alloc(sizeof(char*) * static_cast<size_t>(nparams)));
    for (int i = 0; i < nparams; ++i) values[i] = params[i].text;
  }
  PGresult* r = PQexecParams(c->pg, text, nparams, nullptr, values, nullptr, nullptr, 0);
  host->free(values);
  host->free(text);
  const ExecStatusType st = r != nullptr ? PQresultStatus(r) : PGRES_FATAL_ERROR;
  if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) {
    PQclear(r);
    return 0;
  }
  fromResult(c, r, d);
  PQclear(r);
  return -1;
}

// PQcancel is safe in a signal handler with a buffer on the stack; the
// server ends the running statement with an error.
void pgInterrupt(void* conn) {
  auto* c = static_cast<PgConn*>(conn);
  char error[256];
  if (c->cancel != nullptr) PQcancel(c->cancel, error, sizeof error);
}

// ---- The session store --------------------------------------------------------------
// A session is locked by its row (SELECT ... FOR UPDATE, or the row an
// insert or update wrote) until the session transaction ends; the server
// releases it when the connection ends, however the request ended.

constexpr char kSessionTable[] =
    "CREATE TABLE IF NOT EXISTS braxel_session ("
    "name text PRIMARY KEY, appkey text NOT NULL, client text NOT NULL, data bytea NOT NULL, "
    "written timestamptz NOT NULL DEFAULT now())";

// 1 the table exists, 0 it does not, -1 failure.
int sessionTableExists(PgConn* c, DbiDiag* d) {
  PGresult* r = run(c, "SELECT to_regclass('braxel_session') IS NOT NULL", PGRES_TUPLES_OK, d);
  if (r == nullptr) return -1;
  const int exists = PQntuples(r) == 1 && PQgetvalue(r, 0, 0)[0] == 't' ? 1 : 0;
  PQclear(r);
  return exists;
}

// Two requests that create the table at the same moment may collide in the
// catalog even with IF NOT EXISTS; the table is there all the same.
int pgSessionTable(void* conn, DbiDiag* d) {
  auto* c = static_cast<PgConn*>(conn);
  const int exists = sessionTableExists(c, d);
  if (exists != 0) return exists > 0 ? 0 : -1;
  if (command(c, kSessionTable, d) == 0) return 0;
  DbiDiag again;
  return sessionTableExists(c, &again) > 0 ? 0 : -1;
}

// Read committed: a request that waited for a row lock reads the row as the
// holder left it.
int pgSessionBegin(void* conn, DbiDiag* d) {
  return command(static_cast<PgConn*>(conn), "BEGIN ISOLATION LEVEL READ COMMITTED READ WRITE", d);
}

int pgSessionLoad(void* conn, const char* name, const unsigned char** data, size_t* size,
                  DbiDiag* d) {
  auto* c = static_cast<PgConn*>(conn);
  dropSessionRow(c);
  const char* values[1] = {name};
  // Binary results: the bytea arrives as its bytes.
  PGresult* r = PQexecParams(c->pg, "SELECT data FROM braxel_session WHERE name = $1 FOR UPDATE",
                             1, nullptr, values, nullptr, nullptr, 1);
  if (r == nullptr || PQresultStatus(r) != PGRES_TUPLES_OK) {
    fromResult(c, r, d);
    PQclear(r);
    return -1;
  }
  c->sessionRow = r;
  if (PQntuples(r) == 0) return 0;
  const bool none = PQnfields(r) != 1 || PQgetisnull(r, 0, 0);
  *data = none ? nullptr : reinterpret_cast<const unsigned char*>(PQgetvalue(r, 0, 0));
  *size = none ? 0 : static_cast<size_t>(PQgetlength(r, 0, 0));
  return 1;
}

int pgSessionSave(void* conn, const DbiSessionRow* row, DbiDiag* d) {
  auto* c = static_cast<PgConn*>(conn);
  dropSessionRow(c);
  if (row->size > 0x7fffffff) {
    ownDiag(d, "the session is too large for the database");
    return -1;
  }
  const char* values[4] = {row->name, row->appKey, row->client,
                           row->data != nullptr ? reinterpret_cast<const char*>(row->data) : ""};
  const int lengths[4] = {0, 0, 0, static_cast<int>(row->size)};
  const int formats[4] = {0, 0, 0, 1};   // the session's bytes in binary
  PGresult* r = PQexecParams(
      c->pg,
      "INSERT INTO braxel_session (name, appkey, client, data, written) VALUES ($1, $2, $3, $4, "
      "now()) ON CONFLICT (name) DO UPDATE SET appkey = excluded.appkey, client = "
      "excluded.client, data = excluded.data, written = excluded.written",
      4, nullptr, values, lengths, formats, 0);
  const bool ok = r != nullptr && PQresultStatus(r) == PGRES_COMMAND_OK;
  if (!ok) fromResult(c, r, d);
  PQclear(r);
  return ok ? 0 : -1;
}

const DbiBackendOps kPgOps{
    kDbiBackendAbi, "PostgreSQL",  pgOpen,         pgClose,        pgBegin,
    pgCommit,       pgRollback,    pgQuery,        pgColumnCount,  pgColumnName,
    pgFetch,        pgValueKind,   pgValueInteger, pgValueReal,    pgValueText,
    pgCloseQuery,   pgUpdate,      pgInterrupt,    pgSessionTable, pgSessionBegin,
    pgSessionLoad,  pgSessionSave,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const DbiBackendOps* braxel_pg_backend(
    int abi, const DbiHostApi* hostApi) {
  if (abi != kDbiBackendAbi) return nullptr;
  host = hostApi;
  return &kPgOps;
}
