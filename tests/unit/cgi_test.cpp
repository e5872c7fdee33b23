// cgi_test.cpp: form decoding into tuples, the predefined identifiers and
// variables, and the web-server queries.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "db/query.h"
#include "diag/messages.h"
#include "driver/cgi.h"
#include "driver/globals.h"
#include "frontend/source.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "support/memory.h"
#include "tests/unit/testing.h"
#include "values/value.h"

namespace {

class Cgi : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"REQUEST_METHOD", "QUERY_STRING", "REMOTE_ADDR", "REMOTE_USER",
                          "SCRIPT_NAME", "REMOTE_HOST", "SERVER_PORT"})
      unsetenv(v);
    G = NewTestGlobals();
  }
  void TearDown() override {
    for (Value& v : decoded) ReleaseValue(G, &v);
    FinalizeAllGV(G);
  }

  // Decodes text; the tuple is released at the end of the test.
  Value decode(const std::string& text) {
    decoded.push_back(dbhDecodeFormText(G, text.c_str()));
    return decoded.back();
  }
  const Value* field(Value tuple, const char* name) {
    if (tuple.type != tTuple) return nullptr;
    return vGetField(tuple, MakeIdent(G, name));
  }
  // The text of a String field, or a marker saying what else it is.
  std::string textOf(Value tuple, const char* name) {
    const Value* v = field(tuple, name);
    if (v == nullptr) return "<absent>";
    if (v->type != tString) return std::string("<") + vTypeName[v->type] + ">";
    return std::string(v->val.String.str, static_cast<size_t>(v->val.String.size));
  }
  int32_t count(Value tuple) { return tuple.type == tTuple ? tuple.val.tuple.t->logsize : -1; }

  Globals* G = nullptr;
  std::vector<Value> decoded;
};

}  // namespace

// ---------------------------------------------------------------------------
// Form decoding

TEST_F(Cgi, NamesValuesPlusAndPercent) {
  const Value f = decode("a=1&b=x+y%21");
  EXPECT_EQ(count(f), 2);
  EXPECT_EQ(textOf(f, "a"), "1");
  EXPECT_EQ(textOf(f, "b"), "x y!");
  EXPECT_TRUE(IsTemp(f));
}

TEST_F(Cgi, DottedNamesNest) {
  const Value f = decode("p.q=1&p.r=2&p.s.t=3");
  EXPECT_EQ(count(f), 1);
  const Value* p = field(f, "p");
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->type, tTuple);
  EXPECT_EQ(count(*p), 3);
  EXPECT_EQ(textOf(*p, "q"), "1");
  EXPECT_EQ(textOf(*p, "r"), "2");
  EXPECT_EQ(textOf(*field(*p, "s"), "t"), "3");
}

TEST_F(Cgi, LastOccurrenceWinsAtThePlaceOfTheFirst) {
  const Value f = decode("a=1&b=5&A=2");
  EXPECT_EQ(count(f), 2);
  EXPECT_EQ(textOf(f, "a"), "2");
  EXPECT_EQ(f.val.tuple.t->fields[0].name, MakeIdent(G, "a"));
}

TEST_F(Cgi, NamesWithoutValuesAreEmptyTexts) {
  const Value f = decode("flag&x=&y");
  EXPECT_EQ(count(f), 3);
  EXPECT_EQ(textOf(f, "flag"), "");
  EXPECT_EQ(textOf(f, "x"), "");
  EXPECT_EQ(textOf(f, "y"), "");
}

TEST_F(Cgi, EmptyInputGivesAnEmptyTuple) {
  const Value f = decode("");
  EXPECT_EQ(f.type, tTuple);
  EXPECT_EQ(count(f), 0);
  EXPECT_EQ(count(decode("&&&")), 0);
}

TEST_F(Cgi, NamesAreTakenUnchanged) {
  const Value f = decode("%41=%41&a+b=1");
  EXPECT_EQ(textOf(f, "%41"), "A");
  EXPECT_EQ(textOf(f, "a+b"), "1");
}

TEST_F(Cgi, CarriageReturnsAndLineFeeds) {
  EXPECT_EQ(textOf(decode("c=%0D%0A1"), "c"), "\n1");
  EXPECT_EQ(textOf(decode("c=1\r\n"), "c"), "1\r");
}

TEST_F(Cgi, AValueWithoutANameIsSkipped) {
  const Value f = decode("=v&b=1");
  EXPECT_EQ(count(f), 1);
  EXPECT_EQ(textOf(f, "b"), "1");
}

TEST_F(Cgi, ATextFieldBelowADottedNameBecomesATuple) {
  const Value f = decode("a=1&a.b=2");
  EXPECT_EQ(count(f), 1);
  const Value* a = field(f, "a");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->type, tTuple);
  EXPECT_EQ(textOf(*a, "b"), "2");
  EXPECT_EQ(textOf(decode("a.b=2&a=3"), "a"), "3");
}

TEST_F(Cgi, ADotNotFollowedByANameTakesNoValueForAName) {
  Value f = decode("a.=1&b=2");
  EXPECT_EQ(count(f), 2);
  EXPECT_EQ(textOf(f, "a"), "1");
  EXPECT_EQ(textOf(f, "b"), "2");
  f = decode("a..b=1&.c=2&d.");
  EXPECT_EQ(textOf(*field(f, "a"), "b"), "1");
  EXPECT_EQ(textOf(f, "c"), "2");
  EXPECT_EQ(textOf(f, "d"), "");
  EXPECT_EQ(count(f), 3);
}

TEST_F(Cgi, Byte127IsAnOrdinaryByte) {
  const Value f = decode("a=x\x7fy&b=%7F&c\x7f=1");
  EXPECT_EQ(textOf(f, "a"), "x\x7fy");
  EXPECT_EQ(textOf(f, "b"), "\x7f");
  EXPECT_EQ(textOf(f, "c\x7f"), "1");
}

TEST_F(Cgi, AnIllegalPercentIsStoredAndDropped) {
  G->Errors->X_NoErrors = 1;
  const Value f = decode("a=%zz&b=%4&c=1");
  EXPECT_EQ(textOf(f, "a"), "zz");
  EXPECT_EQ(textOf(f, "b"), "4");
  EXPECT_EQ(textOf(f, "c"), "1");
  EXPECT_EQ(G->Errors->X_NoErrors, 0);
}

TEST_F(Cgi, OversizeValuesAreCutPieceByPiece) {
  // one piece of 40000 bytes does not fit at all
  EXPECT_EQ(textOf(decode("a=" + std::string(40000, 'x')), "a"), "");
  // split by plus signs, the pieces are kept up to the limit
  const std::string piece(20000, 'x');
  EXPECT_EQ(textOf(decode("a=" + piece + "+" + piece + "+y"), "a"), piece + " " + " y");
  EXPECT_EQ(textOf(decode("a=" + std::string(32767, 'z')), "a"), std::string(32767, 'z'));
  EXPECT_EQ(textOf(decode("a=" + std::string(32767, 'z') + "+"), "a"),
            std::string(32767, 'z'));
  EXPECT_EQ(textOf(decode("a=" + std::string(32768, 'z')), "a"), "");
}

TEST_F(Cgi, DecodingLeavesTheSourceAsItWas) {
  const int mode = G->Source->X_ReadParameters;
  decode("a=1");
  EXPECT_EQ(G->Source->X_ReadParameters, mode);
  EXPECT_EQ(G->Source->formText, nullptr);
}

// ---------------------------------------------------------------------------
// Identifiers

TEST_F(Cgi, IdentifiersAreMadeInTheDocumentedOrder) {
  const Ident order[] = {Idhead,   Idtop,        Idbody,        Idrowbegin, Idrowend,
                         Idcolumn, Idfoot,       IdSrvMax,      Idbraxel,   Idstamp,
                         IdSrvMaxNest, Idempty,  IdSrvHost,     IdSrv_Http_Accept,
                         Idupdate, Idaltquery,   Iddatabase,    Idff,       Idgl,
                         Idse,     IdSrvDebugShow, Idthis};
  for (size_t i = 1; i < sizeof order / sizeof order[0]; ++i) EXPECT_LT(order[i - 1], order[i]);
  EXPECT_EQ(IxSrvBgn, IdSrvHost);
  EXPECT_EQ(IxSrvEnd, IdSrv_Http_Accept);
  EXPECT_EQ(MakeIdent(G, "SRVDATE"), IdSrvDate);
}

TEST_F(Cgi, ThePredefinedBlock) {
  EXPECT_TRUE(IsPredefinedVariable(IdSrvDate));
  EXPECT_TRUE(IsPredefinedVariable(IdSrvHost));
  EXPECT_TRUE(IsPredefinedVariable(IdSrv_Http_Accept));
  EXPECT_FALSE(IsPredefinedVariable(IdSrvPid));
  EXPECT_FALSE(IsPredefinedVariable(Idff));
  EXPECT_FALSE(IsPredefinedVariable(IdSrvMax));
  EXPECT_FALSE(IsPredefinedVariable(MakeIdent(G, "SrvSomethingElse")));
}

// ---------------------------------------------------------------------------
// Variable reads

TEST_F(Cgi, PredefinedValuesCannotBeHidden) {
  Value scope{};
  iVTuple(G, &scope);
  *vAddField(G, scope, MakeIdent(G, "srvdate")) = MakeInteger(5);
  *vAddField(G, scope, IdSrvPid) = MakeInteger(7);
  const Value date = GetLocalVariable(G, scope, IdSrvDate);
  ASSERT_EQ(date.type, tInteger);
  EXPECT_GT(date.val.Integer, 19700101);
  EXPECT_LT(date.val.Integer, 99991232);
  const Value pid = GetLocalVariable(G, scope, IdSrvPid);
  ASSERT_EQ(pid.type, tInteger);
  EXPECT_EQ(pid.val.Integer, 7);
  EXPECT_EQ(GetLocalVariable(G, scope, MakeIdent(G, "nothing")).type, tError);
  ReleaseValue(G, &scope);
}

TEST_F(Cgi, RootNamesAreTheCellsShared) {
  const Value gl = GetLocalVariable(G, nullValue, Idgl);
  ASSERT_EQ(gl.type, tTuple);
  EXPECT_EQ(gl.val.tuple.t, G->value->gl.val.tuple.t);
  EXPECT_FALSE(IsTemp(gl));
  const Value se = GetLocalVariable(G, nullValue, Idse);
  EXPECT_EQ(se.val.tuple.t, G->value->se.val.tuple.t);
}

TEST_F(Cgi, TextValuesAreFreshTemporaries) {
  Value os = GetLocalVariable(G, nullValue, IdSrvOs);
  ASSERT_EQ(os.type, tString);
  EXPECT_STREQ(os.val.String.str, "LINUX");
  EXPECT_TRUE(IsTemp(os));
  Value again = GetLocalVariable(G, nullValue, IdSrvOs);
  EXPECT_NE(os.val.String.str, again.val.String.str);
  ReleaseValue(G, &os);
  ReleaseValue(G, &again);
  Value server = GetLocalVariable(G, nullValue, IdSrvServer);
  EXPECT_STREQ(server.val.String.str, "CGI");
  ReleaseValue(G, &server);
}

TEST_F(Cgi, AbsentSourcesAreNull) {
  EXPECT_EQ(GetLocalVariable(G, nullValue, IdSrvHost).type, tNull);
  EXPECT_EQ(GetLocalVariable(G, nullValue, IdSrvName).type, tNull);
  EXPECT_EQ(GetLocalVariable(G, nullValue, IdSrvLocalUrl).type, tNull);
  EXPECT_EQ(GetLocalVariable(G, nullValue, IdSrvFname).type, tNull);
  EXPECT_EQ(GetLocalVariable(G, nullValue, IdSrvField).type, tNull);
  EXPECT_EQ(GetLocalVariable(G, nullValue, IdSrvDbsys).type, tNull);
}

TEST_F(Cgi, EnvironmentValues) {
  setenv("SERVER_PORT", "8080", 1);
  setenv("REMOTE_HOST", "h.example", 1);
  Value port = GetLocalVariable(G, nullValue, IdSrv_Server_Port);
  ASSERT_EQ(port.type, tString);
  EXPECT_STREQ(port.val.String.str, "8080");
  Value host = GetLocalVariable(G, nullValue, IdSrv_Remote_Host);
  EXPECT_STREQ(host.val.String.str, "h.example");
  ReleaseValue(G, &port);
  ReleaseValue(G, &host);
}

TEST_F(Cgi, TheCurrentColumnOfAQuery) {
  Field f{MakeIdent(G, "price"), MakeInteger(42)};
  G->query->X_CurrentField = &f;
  Value name = GetLocalVariable(G, nullValue, IdSrvFname);
  ASSERT_EQ(name.type, tString);
  EXPECT_STREQ(name.val.String.str, "price");
  const Value v = GetLocalVariable(G, nullValue, IdSrvField);
  ASSERT_EQ(v.type, tInteger);
  EXPECT_EQ(v.val.Integer, 42);
  G->query->X_CurrentField = nullptr;
  ReleaseValue(G, &name);
}

TEST_F(Cgi, TimeZoneNames) {
  setenv("TZ", "UTC", 1);
  Value tz = GetLocalVariable(G, nullValue, IdSrvTZName);
  ASSERT_EQ(tz.type, tTuple);
  EXPECT_EQ(count(tz), 2);
  EXPECT_EQ(textOf(tz, "0"), "UTC");
  EXPECT_EQ(GetLocalVariable(G, nullValue, IdSrvTimeZone).val.Integer, 0);
  EXPECT_EQ(GetLocalVariable(G, nullValue, IdSrvDaylight).val.Integer, 0);
  ReleaseValue(G, &tz);
}

TEST_F(Cgi, FileNameAndVersion) {
  G->dbhtml->X_FileName = STRDUP(G, "hf/shop");
  Value name = GetLocalVariable(G, nullValue, IdSrvFileName);
  EXPECT_STREQ(name.val.String.str, "hf/shop");
  ReleaseValue(G, &name);
  const Value version = GetLocalVariable(G, nullValue, IdSrvBraxelVersion);
  ASSERT_EQ(version.type, tReal);
  EXPECT_DOUBLE_EQ(version.val.Real, 1.2);
}

// ---------------------------------------------------------------------------
// Web-server queries

TEST_F(Cgi, RemoteIpByEnvironment) {
  EXPECT_STREQ(serverRemoteIp(), "static");
  setenv("REQUEST_METHOD", "GET", 1);
  EXPECT_EQ(serverRemoteIp(), nullptr);
  setenv("REMOTE_ADDR", "10.0.0.7", 1);
  EXPECT_STREQ(serverRemoteIp(), "10.0.0.7");
  unsetenv("REQUEST_METHOD");
  EXPECT_STREQ(serverRemoteIp(), "10.0.0.7");
  unsetenv("REMOTE_ADDR");
}

TEST_F(Cgi, OwnLinkAndRemoteUser) {
  EXPECT_EQ(serverOwnLink(), nullptr);
  EXPECT_EQ(serverRemoteUser(), nullptr);
  setenv("SCRIPT_NAME", "/cgi-bin/shop", 1);
  setenv("REMOTE_USER", "alice", 1);
  EXPECT_STREQ(serverOwnLink(), "/cgi-bin/shop");
  EXPECT_STREQ(serverRemoteUser(), "alice");
}
