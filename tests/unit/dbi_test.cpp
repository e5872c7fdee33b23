// dbi_test.cpp: the database binding on SQLite and the database layer
// where pages cannot show it (copies of a row, parameter checks, the error
// section byte for byte, connection caching between request cycles), and
// the SQL text helpers of the query tags. The rest is tested end to end on
// both backends (tests/e2e/db_*).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db/dbi.h"
#include "db/dblayer.h"
#include "db/query.h"
#include "tests/unit/foundation_context.h"
#include "tests/unit/testing_core.h"
#include "values/strings.h"

namespace {

// A fresh folder with a database file made through SQLite's own API.
struct TempDb : ScratchFolder {
  const std::string dir = path, file = path + "/test.db";
  explicit TempDb(const char* sql) { exec(sql); }
  void exec(const char* sql) const {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(file.c_str(), &db));
    char* err = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, &err)) << err;
    sqlite3_close(db);
  }
  // The first column of the first row, as text ("" for none or NULL).
  std::string scalar(const char* sql) const {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW &&
        sqlite3_column_text(st, 0) != nullptr)
      out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
  }
};

// The foundation records plus the database layer, binding and query records,
// with the configuration file in the database's folder.
struct DbContext {
  FoundationContext base;
  Globals* G;
  std::string configPath;
  explicit DbContext(const std::string& dir) : G(base.G) {
    configPath = dir + "/.braxel";
    G->serverInterface->X_Resource->fileName = const_cast<char*>(configPath.c_str());
    dbInitializeGV(G);
    dbiInitializeGV(G);
    queryInitializeGV(G);
  }
  ~DbContext() {
    // Close every physical connection, cached ones included: the layer's
    // state is process-wide.
    if (dbIsConnected(G)) dbDisconnect(G);
    dbConnect(G, "", "", "", false, false, false, 0);
    dbDisconnect(G);
    queryFinalizeGV(G);
    dbiFinalizeGV(G);
    dbFinalizeGV(G);
    G->serverInterface->X_Resource->fileName = nullptr;
  }
  // Connects to SQLite (no host) and opens name; true on success.
  bool open(const char* name, bool write = true, bool optconn = false,
            const char* password = "") {
    dbConnect(G, "", "", password, write, optconn, false, 0);
    if (dbError(G) != 0) return false;
    return dbSelectDatabase(G, name) == 0;
  }
  // All rows of a query, each field written as name=int:N, fields by "|".
  std::vector<std::string> rows(const char* sql) {
    std::vector<std::string> out;
    DbCursor* c = dbExecuteQuery(G, sql);
    if (c == nullptr) return {std::string("ERROR ") + dbCharError(G)};
    Value t = dbGetDescription(G, c);
    int r;
    while ((r = dbGetNext(G, c, t)) == 1) {
      std::string line;
      for (int32_t i = 0; i < t.val.tuple.t->logsize; ++i) {
        const Field& f = t.val.tuple.t->fields[i];
        line += std::string(i ? "|" : "") + GetStringIdent(G, f.name) + "=" +
                (f.v.type == tInteger ? "int:" + std::to_string(f.v.val.Integer) : "other");
      }
      out.push_back(line);
    }
    if (r == 2) out.push_back(std::string("ERROR ") + dbCharError(G));
    dbCloseQuery(G, c);
    ReleaseValue(G, &t);
    return out;
  }
  // A host-variable tuple of one text.
  Value params(const char* text) {
    Value t;
    iVTuple(G, &t);
    *vAddField(G, t, 0) = MakeStringZ(G, text, 0);
    return t;
  }
};

// Ends a request cycle and starts the next one in the same process.
void FinishCycle(DbContext& c) {
  dbFinalizeGV(c.G);
  dbiFinalizeGV(c.G);
  dbInitializeGV(c.G);
  dbiInitializeGV(c.G);
}

}  // namespace

// ---- Column values -------------------------------------------------------------------

TEST(DbiValues, CopiesOfTheRowSurviveTheNextFetchAndTheClose) {
  TempDb db("create table l(s text); insert into l values('first'), ('second');");
  DbContext c(db.dir);
  ASSERT_TRUE(c.open("test.db"));
  DbCursor* cur = dbExecuteQuery(c.G, "select s from l order by rowid");
  Value t = dbGetDescription(c.G, cur);
  ASSERT_EQ(1, dbGetNext(c.G, cur, t));
  Value copy = AssignValue(c.G, t.val.tuple.t->fields[0].v);
  Value shared = AssignValue(c.G, t);   // the tuple itself is shared
  ASSERT_EQ(1, dbGetNext(c.G, cur, t));
  dbCloseQuery(c.G, cur);
  ReleaseValue(c.G, &t);
  EXPECT_STREQ("first", copy.val.str);
  EXPECT_EQ(0, copy.flags & VF_READONLY);
  EXPECT_STREQ("second", shared.val.tuple.t->fields[0].v.val.str);
  ReleaseValue(c.G, &copy);
  ReleaseValue(c.G, &shared);
}

// The operations that need a connection name themselves in the failed check;
// a row tuple of the wrong width fails the row binding's check.
TEST(DbLayerDeathTest, ConsistencyFailuresNameTheOperation) {
  TempDb db("create table l(s text, n integer); insert into l values('a', 1);");
  DbContext c(db.dir);
  EXPECT_DEATH(dbGetNext(c.G, nullptr, nullValue),
               "^db:[0-9]+: dbGetNext: Assertion `\\(GV_db.X_isConnected\\) == true' failed.\n");
  ASSERT_TRUE(c.open("test.db"));
  DbCursor* cur = dbExecuteQuery(c.G, "select s, n from l");
  Value narrow;
  iVTuple(c.G, &narrow);
  vAddField(c.G, narrow, 0);
  EXPECT_DEATH(dbGetNext(c.G, cur, narrow),
               "^dbi:[0-9]+: AssignDataArea: Assertion `t->logsize==da->sqln' failed.\n");
  dbCloseQuery(c.G, cur);
  ReleaseValue(c.G, &narrow);
}

// ---- Updates and transactions ------------------------------------------------------------

TEST(DbiUpdate, MismatchedParametersAndSeveralStatementsAreErrors) {
  TempDb db("create table p(a text, b text);");
  DbContext c(db.dir);
  ASSERT_TRUE(c.open("test.db"));
  Value one = c.params("x");
  dbUpdate(c.G, "insert into p values(?, ?)", one);
  EXPECT_EQ(dbiErrDatabase, dbError(c.G));
  EXPECT_NE(std::string::npos, std::string(dbCharError(c.G)).find("2 host variables, 1 values"));
  dbUpdate(c.G, "insert into p(a) values('a')", one);
  EXPECT_EQ(dbiErrDatabase, dbError(c.G));
  ReleaseValue(c.G, &one);
  dbUpdate(c.G, "insert into p(a) values('a'); drop table p", nullValue);
  EXPECT_EQ(dbiErrDatabase, dbError(c.G));
  dbUpdate(c.G, "insert into p(a) values('b');  -- a comment\n", nullValue);
  EXPECT_EQ(0, dbError(c.G)) << dbCharError(c.G);
  // A nested tuple is no parameter.
  Value nested = c.params("x"), inner;
  iVTuple(c.G, &inner);
  *vAddField(c.G, nested, 0) = inner;
  dbUpdate(c.G, "insert into p(a) values(?), (?)", nested);
  EXPECT_EQ(dbiErrDatabase, dbError(c.G));
  ReleaseValue(c.G, &nested);
  dbCommit(c.G);
  EXPECT_EQ("b", db.scalar("select group_concat(a) from p"));
}

// Without dbwrite the database file itself is opened read-only, below the
// refusal of the update tag (db_update.case).
TEST(DbiTransaction, ReadOnlyWithoutDbwrite) {
  TempDb db("create table n(v integer);");
  DbContext c(db.dir);
  ASSERT_TRUE(c.open("test.db", false));
  EXPECT_FALSE(dbAllowWrite(c.G));
  dbUpdate(c.G, "insert into n values(1)", nullValue);
  EXPECT_NE(std::string::npos, std::string(dbCharError(c.G)).find("readonly")) << dbCharError(c.G);
}

// ---- Connections and the layer -----------------------------------------------------------

TEST(DbLayer, ErrorSectionAfterAFailedStatement) {
  TempDb db("create table n(v integer);");
  DbContext c(db.dir);
  ASSERT_TRUE(c.open("test.db"));
  dbUpdate(c.G, "delete from \"<b>\"", nullValue);
  const std::string page = CaptureOutput(c.G, [&] { dbDispWWWError(c.G, nullptr, NoPosition); });
  EXPECT_EQ(
      "<h1> Error Accessing the database </h1> \n"
      "no such table: &lt;b&gt;(18) Errorcode = 1, ISAM = 1<p>\n"
      "host:          `localhost' <br>\nuser:          `no user given' <br>\ndatabase name: `test.db' \n<p>\n"
      "<p>\n</HTML>\n",
      page);
}

TEST(DbLayer, CachedConnectionSurvivesARequestCycleUnlessTheLoginChanges) {
  TempDb db("create table n(v integer);");
  {
    DbContext first(db.dir);
    ASSERT_TRUE(first.open("test.db", true, true, "pw"));
    dbUpdate(first.G, "create temp table mine(v integer)", nullValue);
    dbUpdate(first.G, "insert into mine values(5)", nullValue);
    dbCommit(first.G);
    dbDisconnect(first.G);
    // A new request cycle of the same process, with the same login: the
    // cached connection serves it.
    FinishCycle(first);
    ASSERT_TRUE(first.open("test.db", true, true, "pw"));
    EXPECT_EQ(std::vector<std::string>{"v=int:5"}, first.rows("select v from mine"));
    dbDisconnect(first.G);
    // Another password closes it and opens a new one.
    FinishCycle(first);
    ASSERT_TRUE(first.open("test.db", true, true, "other"));
    EXPECT_EQ("ERROR no such table: mine(19) Errorcode = 1, ISAM = 1", first.rows("select v from mine")[0]);
  }
  // Without optconn the end of the request closes the connection. Selecting
  // the same name again sends nothing: the temporary table, which lives as
  // long as its connection, is still there.
  DbContext c(db.dir);
  ASSERT_TRUE(c.open("test.db"));
  dbUpdate(c.G, "create temp table mine(v integer)", nullValue);
  EXPECT_EQ(0, dbSelectDatabase(c.G, "test.db"));
  EXPECT_EQ(0u, c.rows("select v from mine").size());
  EXPECT_EQ(0, dbError(c.G)) << dbCharError(c.G);
  dbDisconnect(c.G);
  FinishCycle(c);
  ASSERT_TRUE(c.open("test.db"));
  EXPECT_EQ("ERROR no such table: mine(19) Errorcode = 1, ISAM = 1", c.rows("select v from mine")[0]);
}

// ---- SQL text helpers ---------------------------------------------------------------------

namespace {
std::string appended(void (*op)(CaptureBuffer*, const char*), const char* text, size_t size = 256) {
  std::vector<char> storage(size);
  CaptureBuffer b = MakeCapture(storage.data(), size);
  op(&b, text);
  return storage.data();
}
}  // namespace

// Form values, empty text, apostrophes, backslashes and control characters
// are quoted end to end (db_update.case); these are the cases pages cannot reach.
TEST(QueryText, SqlQuotingUrlEncodingKillBlanksAndFieldValues) {
  EXPECT_EQ("NULL", appended(appendquoted, nullptr));
  EXPECT_EQ("'a b c'", appended(appendquoted, "a\rb\nc"));
  EXPECT_EQ("'\xe4\xf6'", appended(appendquoted, "\xe4\xf6"));
  // Text beyond the buffer is cut off silently, always zero-terminated.
  EXPECT_EQ("'abc", appended(appendquoted, "abcdefgh", 5));
  // the set of bytes to encode is wwwputurl's (output_test)
  EXPECT_EQ("x.y+%21%2f%09%c8", appended(appendurl, "x.y !/\t\xc8"));
  char text[] = "ab \t  ";
  EXPECT_EQ(4u, KillBlanks(text));
  EXPECT_STREQ("ab \t", text);
  char blanks[] = "   ";
  EXPECT_EQ(0u, KillBlanks(blanks));

  FoundationContext c;
  std::vector<char> storage(256);
  CaptureBuffer b = MakeCapture(storage.data(), storage.size());
  Value r = MakeReal(1.5), i = MakeInteger(-3), n = nullValue;
  Value s = MakeStringZ(c.G, "x  ", 0);
  appenddbf(&b, &r);
  appends(&b, ",");
  appenddbf(&b, &i);
  appends(&b, ",");
  appenddbf(&b, &s);
  appenddbf(&b, &n);
  EXPECT_STREQ("1.500000,-3,x", storage.data());
  EXPECT_EQ(1, s.size);   // the value itself lost its trailing blanks
  ReleaseValue(c.G, &s);
}
