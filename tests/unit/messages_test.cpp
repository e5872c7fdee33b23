// messages_test.cpp: the message store (kinds, codes, information formats,
// the expected-token reduction, markers, sorting), the message writer, debug
// mode, position links, the tuple display and the source display's replay
// of markers and messages over a file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "diag/debug.h"
#include "diag/display.h"
#include "diag/messages.h"
#include "diag/sourcedisplay.h"
#include "driver/cgi.h"
#include "driver/config.h"
#include "driver/globals.h"
#include "driver/output.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "support/memory.h"
#include "support/system.h"
#include "tests/unit/testing.h"
#include "values/value.h"

namespace {

// The records that the diagnostics need: memory, server interface, files,
// identifiers (with the predefined ones), the Errors record and the values.
struct DiagContext {
  Globals* G;
  EnvironmentModule* env = nullptr;

  DiagContext() {
    G = bxNewUncharged<Globals>(nullptr);
    StorageInitializeGV(G);
    ServerInterface* si = bxNewUncharged<ServerInterface>(G);
    si->X_Out = stdout;
    si->X_ErrOut = stdout;
    si->X_MemLeft = kInitialMemBudget;
    si->X_Resource = bxNewUncharged<ResourceConfig>(G);
    si->X_Resource->germanchar = kSwitchNotGiven;
    G->serverInterface = si;
    SystemInitializeGV(G);
    IdentsInitializeGV(G);
    ErrorsInitializeGV(G);
    valueInitializeGV(G);
    InitIdentifiers(G);
    iVTuple(G, &G->value->ff);
    serverSendOutputToClient();
    PQTBuffer = nullptr;
  }
  ~DiagContext() {
    serverSendOutputToClient();
    PQTBuffer = nullptr;
    if (env) {
      ReleaseValue(G, &env->outer.locals);
      bxFree(env);
      G->environment = nullptr;
    }
    ErrorsFinalizeGV(G);
    valueFinalizeGV(G);
    IdentsFinalizeGV(G);
    SystemFinalizeGV(G);
    bxFree(G->serverInterface->X_Resource);
    bxFree(G->serverInterface);
    StorageFinalizeGV(G);
    bxFree(G);
  }
  DiagContext(const DiagContext&) = delete;
  DiagContext& operator=(const DiagContext&) = delete;

  ResourceConfig& cfg() { return *G->serverInterface->X_Resource; }
  ErrorsRec* errors() { return G->Errors; }

  std::vector<MessageRecord*> records() {
    std::vector<MessageRecord*> out;
    for (MessageRecord* r = G->Errors->head; r; r = r->next) out.push_back(r);
    return out;
  }

  std::string capture(const std::function<void()>& f) { return CaptureOutput(G, f); }
  // The source display writes to the client itself.
  std::string captureClient(const std::function<void()>& f) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

  Value tuple() {
    Value v;
    iVTuple(G, &v);
    return v;
  }
  Value* add(Value t, const char* name) { return vAddField(G, t, name ? MakeIdent(G, name) : 0); }
  void addInt(Value t, const char* name, int32_t i) { *add(t, name) = MakeInteger(i); }
  void addString(Value t, const char* name, const std::string& s) {
    *add(t, name) = MakeString(G, s.data(), static_cast<int32_t>(s.size()), 0);
  }
  // Stores a shared reference to a tuple in a field.
  void addTuple(Value t, const char* name, Value inner) {
    *add(t, name) = AssignValue(G, inner);
  }
};

Position At(int line, int column, const char* file = "page.brx") {
  return Position{static_cast<uint16_t>(line), static_cast<uint16_t>(column), file};
}

// Sets (or with null, removes) an environment variable for one test.
struct EnvVar {
  std::string name;
  EnvVar(const char* n, const char* value) : name(n) {
    if (value) {
      setenv(n, value, 1);
    } else {
      unsetenv(n);
    }
  }
  ~EnvVar() { unsetenv(name.c_str()); }
};

size_t Count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// ---- The store ------------------------------------------------------------

TEST(MessageStore, KindsCodesAndTheNoErrorsFlag) {
  DiagContext c;
  EXPECT_EQ(1, c.errors()->X_NoErrors);
  ErrorMessage(c.G, 1, xxError, At(3, 7));
  EXPECT_EQ(0, c.errors()->X_NoErrors);
  c.errors()->X_NoErrors = 1;
  static const char kText[] = "Undefined variable";
  MessageI(c.G, kText, xxWarning, At(4, 2), InfoText("abc"));
  Message(c.G, "plain", xxNote, At(5, 1, nullptr));
  EXPECT_EQ(0, c.errors()->X_NoErrors);

  const auto rs = c.records();
  ASSERT_EQ(3u, rs.size());
  EXPECT_EQ(mkCode, rs[0]->kind);
  EXPECT_EQ(1, rs[0]->code);
  EXPECT_EQ(xxError, rs[0]->errorClass);
  EXPECT_EQ(3, rs[0]->position.line);
  EXPECT_EQ(7, rs[0]->position.column);
  EXPECT_EQ(nullptr, rs[0]->info);
  EXPECT_EQ(mkTextInfo, rs[1]->kind);
  EXPECT_EQ(kText, rs[1]->text);   // the text is kept, not copied
  EXPECT_STREQ(": abc", rs[1]->info);
  EXPECT_EQ(mkText, rs[2]->kind);
  EXPECT_EQ(nullptr, rs[2]->position.file);
  EXPECT_EQ(rs[2], c.errors()->tail);
}

TEST(MessageStore, InformationFormats) {
  DiagContext c;
  const Ident id = MakeIdent(c.G, "MyName");
  ErrorMessageI(c.G, 9, 3, At(1, 1), InfoInt(-42));
  ErrorMessageI(c.G, 9, 3, At(1, 1), InfoShort(-7));
  ErrorMessageI(c.G, 9, 3, At(1, 1), InfoChar('%'));
  ErrorMessageI(c.G, 9, 3, At(1, 1), InfoText("a<b"));
  ErrorMessageI(c.G, 9, 3, At(1, 1), InfoIdent(id));
  ErrorMessageI(c.G, 9, 3, At(1, 1), InfoTokens("x:y:::z"));
  ErrorMessageI(c.G, 9, 3, At(1, 1), MsgInfo{12, 0, nullptr});
  std::vector<std::string> infos;
  for (MessageRecord* r : c.records()) infos.push_back(r->info);
  const std::vector<std::string> expected = {": -42",  ": -7",   ": %",
                                             ": a<b",  ": MyName", "x\n\t\ty\n\t\tz",
                                             "info class: 12"};
  EXPECT_EQ(expected, infos);
  for (MessageRecord* r : c.records()) EXPECT_EQ(mkCodeInfo, r->kind);
}

TEST(MessageStore, InformationIsAnOwnedCopy) {
  DiagContext c;
  char text[] = "original";
  MessageI(c.G, "msg", xxError, At(1, 1), InfoText(text));
  std::strcpy(text, "changed!");
  EXPECT_STREQ(": original", c.records()[0]->info);
}

TEST(MessageStore, ExpectedTokensReduceToTheMissingCloser) {
  struct Case {
    const char* tokens;
    const char* reduced;
  };
  const Case cases[] = {
      {"HTMLText <dbquery </while </if <else ", "/if"},
      {"</defenv </def ", "/defenv"},
      {"HTMLText </def <let ", "/def"},
      {"HTMLText </assign </while ", "/assign"},
      {"</db </include ", "/db"},
      {"<else HTMLText ", "else"},
      {"</UserEnvironment ", "/UserEnvironment"},
      {"</mail </shell ", "/shell"},
      {"Ident Integer ", "Ident Integer "},
  };
  for (const Case& k : cases) {
    DiagContext c;
    ErrorMessageI(c.G, 2, xxInformation, At(2, 1), InfoTokens(k.tokens));
    EXPECT_STREQ(k.reduced, c.records()[0]->info) << k.tokens;
  }
  // Other codes keep the whole list.
  DiagContext c;
  ErrorMessageI(c.G, 7, xxInformation, At(2, 1), InfoTokens("</if </while "));
  EXPECT_STREQ("</if </while ", c.records()[0]->info);
}

TEST(MessageStore, IllegalCharacterBecomesCodeSix) {
  DiagContext c;
  MessageI(c.G, "illegal character", xxError, At(1, 4), InfoChar('%'));
  const auto rs = c.records();
  ASSERT_EQ(1u, rs.size());
  EXPECT_EQ(mkCodeInfo, rs[0]->kind);
  EXPECT_EQ(6, rs[0]->code);
  EXPECT_STREQ(": %", rs[0]->info);
}

TEST(MessageStore, MarkersAreRecordedOnlyWhileRecording) {
  DiagContext c;
  SetMarker(c.G, mkKeyword, At(1, 1), 0);
  SetMarkerInclude(c.G, "lib/x.brx", At(1, 1));
  EXPECT_TRUE(c.records().empty());
  SetMarkerRecording(c.G, true);
  EXPECT_TRUE(MarkerRecording(c.G));
  char name[] = "lib/x.brx";
  SetMarker(c.G, mkTagEnd, At(2, 5), 3);
  SetMarkerInclude(c.G, name, At(3, 1));
  name[0] = 'X';
  SetMarkerRecording(c.G, false);
  const auto rs = c.records();
  ASSERT_EQ(2u, rs.size());
  EXPECT_EQ(mkTagEnd, rs[0]->kind);
  EXPECT_EQ(8, rs[0]->position.column);   // moved by the length
  EXPECT_EQ(mkInclude, rs[1]->kind);
  EXPECT_STREQ("lib/x.brx", rs[1]->info);
  EXPECT_EQ(1, c.errors()->X_NoErrors);   // markers are no messages
}

// ---- Sorting --------------------------------------------------------------

TEST(MessageSorting, RunsOfOneFileAreOrderedStably) {
  DiagContext c;
  static const char* const kA = "a.brx";
  static const char* const kB = "b.brx";
  // a: (5,1) (2,3) (2,3)' (2,1); b: (1,1) (0,9); a: (1,1); none: (9,9) (3,3)
  Message(c.G, "a5", 3, At(5, 1, kA));
  Message(c.G, "a23", 3, At(2, 3, kA));
  Message(c.G, "a23'", 3, At(2, 3, kA));
  Message(c.G, "a21", 3, At(2, 1, kA));
  Message(c.G, "b11", 3, At(1, 1, kB));
  Message(c.G, "b09", 3, At(0, 9, kB));
  Message(c.G, "a11", 3, At(1, 1, "a.brx"));
  Message(c.G, "n99", 3, At(9, 9, nullptr));
  Message(c.G, "n33", 3, At(3, 3, nullptr));
  SortMessages(c.G);
  std::vector<std::string> order;
  for (MessageRecord* r : c.records()) order.push_back(r->text);
  const std::vector<std::string> expected = {"a21", "a23", "a23'", "a5", "b09",
                                             "b11", "a11", "n33",  "n99"};
  EXPECT_EQ(expected, order);
  EXPECT_STREQ("n99", c.errors()->tail->text);
  EXPECT_EQ(nullptr, c.errors()->tail->next);
}

TEST(MessageSorting, ManyRecordsStayComplete) {
  DiagContext c;
  for (int i = 2000; i > 0; --i) Message(c.G, "m", 3, At(i % 97 + 1, i % 13 + 1));
  SortMessages(c.G);
  const auto rs = c.records();
  ASSERT_EQ(2000u, rs.size());
  for (size_t i = 1; i < rs.size(); ++i) {
    const bool ordered =
        rs[i - 1]->position.line < rs[i]->position.line ||
        (rs[i - 1]->position.line == rs[i]->position.line &&
         rs[i - 1]->position.column <= rs[i]->position.column);
    EXPECT_TRUE(ordered) << i;
  }
}

// ---- The message writer ---------------------------------------------------

TEST(MessageWriter, ShowMessagesWritesKindsWithFileHeadingsAndEmpties) {
  DiagContext c;
  c.errors()->X_NoErrors = 0;
  ErrorMessage(c.G, 1, xxError, At(3, 7, "main.brx"));
  ErrorMessageI(c.G, 4, xxRepair, At(3, 9, "main.brx"), InfoText("</if"));
  SetMarkerRecording(c.G, true);
  SetMarker(c.G, mkKeyword, At(1, 1, "main.brx"), 0);
  SetMarkerRecording(c.G, false);
  Message(c.G, "a <b>text</b> as it stands", xxError, At(1, 2, "inc.brx"));
  MessageI(c.G, "with info", xxError, At(2, 2, "inc.brx"), InfoText("<x>"));
  ErrorMessage(c.G, 77, xxError, At(4, 4, "main.brx"));
  ErrorMessage(c.G, 0, xxError, At(5, 5, "main.brx"));
  const std::string out = c.capture([&] { ShowMessages(c.G); });
  EXPECT_EQ(
      "<pre>"
      "In File main.brx: \n"
      "at Line:3 Col:7 : syntax error\n"
      "at Line:3 Col:9 : token inserted: &lt;/if\n"
      "In File inc.brx: \n"
      "at Line:1 Col:2 : a <b>text</b> as it stands\n"
      "at Line:2 Col:2 : with info: &lt;x&gt;\n"
      "In File main.brx: \n"
      "at Line:4 Col:4 :  error code: 77\n"
      "at Line:5 Col:5 : \n"
      "</pre>\n",
      out);
  EXPECT_TRUE(c.records().empty());
  EXPECT_EQ(nullptr, c.errors()->tail);
}

TEST(MessageWriter, FirstUnstoredMessageGetsTheHeading) {
  DiagContext c;
  const std::string out = c.capture([&] {
    WriteMessageParts(c.G, mkText, 0, At(2, 3, nullptr), "Undefined variable", nullptr);
    WriteMessageParts(c.G, mkTextInfo, 0, At(2, 4, nullptr), "again", ": x");
  });
  EXPECT_EQ(
      "</table> </table> </table>\n"
      "<HTML> <title> braxel Error Message  </title>\n"
      "<h1> <b>b<i>ra</i>xel</b> Error  </h1>\n"
      "at Line:2 Col:3 : Undefined variable\n"
      "at Line:2 Col:4 : again: x\n",
      out);
  EXPECT_EQ(0, c.errors()->X_NoErrors);
}

// ---- Debug mode -----------------------------------------------------------

TEST(DebugMode, CommandLineRunsAreAlwaysInDebugMode) {
  DiagContext c;
  EnvVar method("REQUEST_METHOD", nullptr);
  EnvVar addr("REMOTE_ADDR", nullptr);
  EXPECT_TRUE(IsDebugMode(c.G));
}

TEST(DebugMode, CgiWithoutSettingsIsProduction) {
  DiagContext c;
  EnvVar method("REQUEST_METHOD", "GET");
  EnvVar addr("REMOTE_ADDR", "10.0.0.1");
  EnvVar user("REMOTE_USER", "alice");
  EXPECT_FALSE(IsDebugMode(c.G));
}

TEST(DebugMode, AddressListEntriesCompareExactly) {
  DiagContext c;
  char list[] = "10.0.0.1;;10.0.0.2";
  c.cfg().debugip = list;
  EnvVar method("REQUEST_METHOD", "GET");
  {
    EnvVar addr("REMOTE_ADDR", "10.0.0.1");
    EXPECT_TRUE(IsDebugMode(c.G));
  }
  {
    EnvVar addr("REMOTE_ADDR", "10.0.0.2");
    EXPECT_TRUE(IsDebugMode(c.G));
  }
  {
    EnvVar addr("REMOTE_ADDR", "10.0.0.10");
    EXPECT_FALSE(IsDebugMode(c.G));
  }
  {
    EnvVar addr("REMOTE_ADDR", "10.0.0");
    EXPECT_FALSE(IsDebugMode(c.G));
  }
  c.cfg().debugip = nullptr;
}

TEST(DebugMode, InsecureLocalhostAndUsers) {
  DiagContext c;
  EnvVar method("REQUEST_METHOD", "GET");
  EnvVar addr("REMOTE_ADDR", "192.0.2.77");
  char insecure[] = "10.0.0.1;*insecure*";
  c.cfg().debugip = insecure;
  EXPECT_TRUE(IsDebugMode(c.G));
  char local[] = "localhost";
  c.cfg().debugip = local;
  EXPECT_FALSE(IsDebugMode(c.G));
  {
    EnvVar loop("REMOTE_ADDR", "127.0.0.1");
    EXPECT_TRUE(IsDebugMode(c.G));
  }
  // A list that does not name the client does not shut out a listed user.
  char users[] = "bob;alice";
  c.cfg().debuguser = users;
  {
    EnvVar user("REMOTE_USER", "alice");
    EXPECT_TRUE(IsDebugMode(c.G));
  }
  {
    EnvVar user("REMOTE_USER", "Alice");
    EXPECT_FALSE(IsDebugMode(c.G));
  }
  c.cfg().debugip = nullptr;
  c.cfg().debuguser = nullptr;
}

// ---- Position links -------------------------------------------------------

TEST(PositionLink, LinkOnlyWithTheScriptUrl) {
  DiagContext c;
  {
    EnvVar script("SCRIPT_NAME", "/cgi-bin/braxel");
    EXPECT_EQ(
        "<a href=\"/cgi-bin/braxel?$debug=pp&$file=hf%2fa+b.brx&$line=3&$column=14#here\" "
        "target=\"source\">hf/a b.brx:3,14</a>",
        c.capture([&] { DisplayPosition(c.G, At(3, 14, "hf/a b.brx")); }));
  }
  EnvVar script("SCRIPT_NAME", nullptr);
  EXPECT_EQ("hf/a.brx:3,14", c.capture([&] { DisplayPosition(c.G, At(3, 14, "hf/a.brx")); }));
  EXPECT_EQ("2,5", c.capture([&] { DisplayPosition(c.G, At(2, 5, "** DYNAMIC TEXT **")); }));
  EXPECT_EQ("", c.capture([&] { DisplayPosition(c.G, NoPosition); }));
}

// ---- The tuple display ----------------------------------------------------

TEST(TupleDisplay, SmallTupleInline) {
  DiagContext c;
  Value t = c.tuple();
  c.addInt(t, "a", 1);
  c.addString(t, "s", "x<y");
  *c.add(t, nullptr) = nullValue;
  *c.add(t, "b") = MakeBoolean(true);
  EXPECT_EQ("(<a name=\"T1\">\na=1, s=\"x&lt;y\", [2]=null, b=true)\n",
            c.capture([&] { ShowTuple(c.G, t, "t"); }));
  // an empty tuple shows nothing
  Value e = c.tuple();
  EXPECT_EQ("", c.capture([&] { ShowTuple(c.G, e, nullptr); }));
  ReleaseValue(c.G, &t);
  ReleaseValue(c.G, &e);
}

TEST(TupleDisplay, LongStringIsCut) {
  DiagContext c;
  std::string s;
  for (int i = 0; i < 100; ++i) s.push_back(static_cast<char>('a' + i % 26));
  Value t = c.tuple();
  c.addString(t, "long", s);
  const std::string out = c.capture([&] { ShowTuple(c.G, t, "t"); });
  const std::string expected = "\"" + s.substr(0, 40) + "\"...\"" + s.substr(60) + "\"";
  EXPECT_NE(std::string::npos, out.find(expected)) << out;
  // 79 bytes are shown whole
  Value u = c.tuple();
  c.addString(u, "s", s.substr(0, 79));
  const std::string whole = c.capture([&] { ShowTuple(c.G, u, "u"); });
  EXPECT_NE(std::string::npos, whole.find("\"" + s.substr(0, 79) + "\"")) << whole;
  ReleaseValue(c.G, &t);
  ReleaseValue(c.G, &u);
}

TEST(TupleDisplay, SelfContainingTupleShownOnceWithALink) {
  DiagContext c;
  Value t = c.tuple();
  c.addInt(t, "n", 5);
  c.addTuple(t, "self", t);
  const int32_t refcount = t.val.tuple.t->refcount;
  const std::string out = c.capture([&] { ShowTuple(c.G, t, "t"); });
  // a nested table at depth 1 whose inner occurrence links back to it
  EXPECT_EQ(1u, Count(out, "<a name=\"T"));
  EXPECT_NE(std::string::npos, out.find("<table border=1>")) << out;
  EXPECT_NE(std::string::npos, out.find("self</td><td>=</td><td><a href=\"#T")) << out;
  EXPECT_NE(std::string::npos, out.find("\">t</a>")) << out;
  EXPECT_EQ(refcount, t.val.tuple.t->refcount);
  EXPECT_EQ(2, t.val.tuple.t->logsize);
  // a second display starts afresh
  const std::string again = c.capture([&] { ShowTuple(c.G, t, "t"); });
  EXPECT_EQ(1u, Count(again, "<a name=\"T"));
  // break the cycle so the tuple can be released
  ReleaseValue(c.G, &t.val.tuple.t->fields[1].v);
  ReleaseValue(c.G, &t);
}

TEST(TupleDisplay, SharedTupleLinksToItsFirstPlace) {
  DiagContext c;
  Value shared = c.tuple();
  c.addInt(shared, "x", 1);
  Value t = c.tuple();
  c.addTuple(t, "first", shared);
  c.addTuple(t, "second", shared);
  const std::string out = c.capture([&] { ShowTuple(c.G, t, "top"); });
  // first inline with its anchor, then a link under the path of the first
  EXPECT_NE(std::string::npos, out.find("first</td><td>=</td><td>(<a name=\"T")) << out;
  EXPECT_NE(std::string::npos, out.find("\">top.first</a>")) << out;
  EXPECT_EQ(1u, Count(out, "x=1"));
  ReleaseValue(c.G, &t);
  ReleaseValue(c.G, &shared);
}

TEST(TupleDisplay, SuppressedTuples) {
  DiagContext c;
  Value secret = c.tuple();
  c.addString(secret, "password", "hunter2");
  c.addInt(secret, "SrvDebugShow", 0);
  Value t = c.tuple();
  c.addTuple(t, "s", secret);
  c.addTuple(t, "again", secret);
  const std::string out = c.capture([&] { ShowTuple(c.G, t, "t"); });
  EXPECT_EQ(2u, Count(out, "suppressed")) << out;
  EXPECT_EQ(std::string::npos, out.find("hunter2"));
  EXPECT_EQ("suppressed", c.capture([&] { ShowTuple(c.G, secret, "x"); }));
  ReleaseValue(c.G, &t);
  ReleaseValue(c.G, &secret);
}

TEST(TupleDisplay, DeepNestingSwitchesToTheAbbreviatedForm) {
  DiagContext c;
  // t.a.b.c: t and a are nested tables (depths 1 and 2); b at depth 3 is
  // large (it holds a tuple) and so abbreviated.
  Value leaf = c.tuple();
  c.addInt(leaf, "z", 1);
  Value b = c.tuple();
  c.addString(b, "text", "abcdefghijklmnop");
  c.addInt(b, "n", 7);
  c.addTuple(b, "c", leaf);
  c.addInt(b, "more", 8);
  Value a = c.tuple();
  c.addTuple(a, "b", b);
  Value t = c.tuple();
  c.addTuple(t, "a", a);
  EXPECT_EQ(200 + 2, EstimatedShowLength(c.G, t));
  const std::string out = c.capture([&] { ShowTuple(c.G, t, "t"); });
  EXPECT_EQ(2u, Count(out, "<table border=1>")) << out;
  EXPECT_NE(std::string::npos, out.find("(text=\"abcde\"...\"lmnop\", n=7, c=(...), ...)</a>\n"))
      << out;
  ReleaseValue(c.G, &t);
  ReleaseValue(c.G, &a);
  ReleaseValue(c.G, &b);
  ReleaseValue(c.G, &leaf);
}

TEST(TupleDisplay, EstimatedLength) {
  DiagContext c;
  Value inner = c.tuple();
  Value t = c.tuple();
  c.addInt(t, "ab", -12);                 // 3 + 3
  *c.add(t, nullptr) = MakeReal(1.5);     // 4 + 8 ("1.500000")
  c.addString(t, "s", "hello");           // 2 + 5
  *c.add(t, "n") = nullValue;             // 2 + 5
  *c.add(t, "b") = MakeBoolean(false);    // 2 + 5
  c.addTuple(t, "t", inner);              // 2 + 200
  EXPECT_EQ(6 + 12 + 7 + 7 + 7 + 202, EstimatedShowLength(c.G, t));
  ReleaseValue(c.G, &t);
  ReleaseValue(c.G, &inner);
}

TEST(ContextDisplay, CallHierarchyAndRootSections) {
  DiagContext c;
  c.env = static_cast<EnvironmentModule*>(bxAllocZero(c.G, sizeof(EnvironmentModule)));
  iVTuple(c.G, &c.env->outer.locals);
  c.env->current = &c.env->outer;
  c.G->environment = c.env;
  c.addInt(c.env->outer.locals, "top", 3);
  c.addString(c.G->value->gl, "g", "global");
  c.addString(c.G->value->ff, "q", "form");
  const std::string out = c.capture([&] { ShowContext(c.G, At(4, 2, nullptr)); });
  EXPECT_EQ(std::string::npos, out.find("Click here"));
  EXPECT_NE(std::string::npos, out.find("<h2> Call Hierarchy </h2>\n")) << out;
  EXPECT_NE(std::string::npos, out.find("<tr><td>Level 0</td><td></td><td>(<a name=\"T")) << out;
  EXPECT_NE(std::string::npos, out.find("top=3)\n</td><td></td></tr>\n")) << out;
  EXPECT_NE(std::string::npos,
            out.find("</table>\n<a href=\"#globvars\">Global Variables</a>&nbsp"
                     "<a href=\"#formvars\">Form Variables</a>&nbsp<a name=\"globvars\">\n"))
      << out;
  EXPECT_EQ(std::string::npos, out.find("sessionvars"));
  EXPECT_NE(std::string::npos, out.find("<h2> Global Variables gl. </h2>\n")) << out;
  EXPECT_NE(std::string::npos, out.find("<h2> Form Variables ff. </h2>\n")) << out;
  EXPECT_NE(std::string::npos, out.find("<h2> Local Variables  Level 0 </h2>\n")) << out;
  EXPECT_NE(std::string::npos, out.find("\"global\"")) << out;
  EXPECT_NE(std::string::npos, out.find("\"form\"")) << out;
}

// ---- The source display ---------------------------------------------------

struct SourceFile {
  std::string name;
  explicit SourceFile(const std::string& text) {
    char templ[] = "/tmp/braxel-diag-XXXXXX";
    const int fd = mkstemp(templ);
    name = templ;
    std::ofstream(name, std::ios::binary) << text;
    if (fd >= 0) close(fd);
  }
  ~SourceFile() { std::remove(name.c_str()); }
};

std::string Body(const std::string& page) {
  const size_t start = page.find("<pre>");
  return start == std::string::npos ? page : page.substr(start);
}

TEST(SourceDisplay, PlainTextTabsAndEscaping) {
  DiagContext c;
  SourceFile f("a\tb<c>\n&\n");
  const std::string out = c.captureClient([&] { BraxelPrettyPrint(c.G, nullptr, f.name.c_str()); });
  EXPECT_NE(std::string::npos, out.find("<h2> File: " + f.name + " </h2>\n")) << out;
  EXPECT_EQ("<pre>a       b&lt;c>\n&amp;\n\n</pre>", Body(out));
}

TEST(SourceDisplay, ArrowStandsBeforeItsCharacter) {
  DiagContext c;
  SourceFile f("abc\ndef\n");
  c.errors()->display->arrowLine = 2;
  c.errors()->display->arrowColumn = 2;
  const std::string out = c.captureClient([&] { BraxelPrettyPrint(c.G, nullptr, f.name.c_str()); });
  EXPECT_EQ(
      "<pre>abc\nd<a name=\"here\"><font color=\"ff0000\"><blink><b>-></b></blink></font></a>"
      "ef\n\n</pre>",
      Body(out));
  // beyond the end of the file: no arrow
  c.errors()->display->arrowLine = 9;
  const std::string none = c.captureClient([&] { BraxelPrettyPrint(c.G, nullptr, f.name.c_str()); });
  EXPECT_EQ(std::string::npos, none.find("here"));
}

TEST(SourceDisplay, MarkersColourKeywordsCommentsAndStrings) {
  DiagContext c;
  SourceFile f("x <if \"s\"> y\n");
  const char* file = f.name.c_str();
  SetMarkerRecording(c.G, true);
  SetMarker(c.G, mkKeyword, At(1, 3, file), 0);
  SetMarker(c.G, mkStringStart, At(1, 7, file), 0);
  SetMarker(c.G, mkStringEnd, At(1, 10, file), 0);
  SetMarker(c.G, mkTagEnd, At(1, 11, file), 0);
  SetMarkerRecording(c.G, false);
  const std::string out = c.captureClient([&] { BraxelPrettyPrint(c.G, nullptr, file); });
  EXPECT_EQ(
      "<pre>x <font color=\"#0000ff\"><b>&lt;if</b></font><font color=\"#0000C0\"> "
      "</font><font color=\"#808080\">&quot;s&quot;</font><font color=\"#0000C0\">"
      "></font> y\n\n</pre>",
      Body(out));
}

TEST(SourceDisplay, MessagesAreListedUnderTheirLine) {
  DiagContext c;
  SourceFile f("ab\ncd\n");
  const char* file = f.name.c_str();
  c.errors()->X_NoErrors = 0;
  c.errors()->messageCounter = 0;
  ErrorMessage(c.G, 1, xxError, At(1, 2, file));
  ErrorMessageI(c.G, 2, xxInformation, At(1, 2, file), InfoTokens("</if "));
  ErrorMessage(c.G, 3, xxInformation, At(2, 1, file));
  const std::string out = c.captureClient([&] { BraxelPrettyPrint(c.G, nullptr, file); });
  const std::string heading = std::string("In File ") + file + ": \n";
  EXPECT_EQ(
      "<pre>a<font color=\"red\"><b>b<a name=\"msg1\"></b></font>\n"
      "<font color=\"green\"><i>" + heading +
          "at Line:1 Col:2 : Syntax error, expected tokens/if\n"
          "<a href=\"#msg2\"><font color=\"green\">Next Error</font></a><br></i></font>"
          "<font color=\"red\"><b>\n"
          "</b></font>cd\n\n</pre>",
      Body(out));
  EXPECT_EQ(1, c.errors()->messageCounter);
}

TEST(SourceDisplay, AtMostTenMessagesPerLine) {
  DiagContext c;
  SourceFile f("abcdefghijkl\n");
  const char* file = f.name.c_str();
  c.errors()->X_NoErrors = 0;
  static const char* const kTexts[12] = {"m1", "m2", "m3", "m4",  "m5",  "m6",
                                         "m7", "m8", "m9", "m10", "m11", "m12"};
  for (int i = 0; i < 12; ++i) Message(c.G, kTexts[i], xxError, At(1, i + 1, file));
  const std::string out = c.captureClient([&] { BraxelPrettyPrint(c.G, nullptr, file); });
  EXPECT_NE(std::string::npos, out.find(": m10\n")) << out;
  EXPECT_EQ(std::string::npos, out.find(": m11\n")) << out;
  EXPECT_EQ(10u, Count(out, "at Line:1 "));
}

TEST(SourceDisplay, InsertedTokenAndIllegalCharacterRuns) {
  DiagContext c;
  SourceFile f("a%%%b\n");
  const char* file = f.name.c_str();
  c.errors()->X_NoErrors = 0;
  ErrorMessageI(c.G, 6, xxError, At(1, 2, file), InfoChar('%'));
  ErrorMessageI(c.G, 6, xxError, At(1, 3, file), InfoChar('%'));
  ErrorMessageI(c.G, 6, xxError, At(1, 4, file), InfoChar('%'));
  ErrorMessageI(c.G, 4, xxRepair, At(1, 5, file), InfoText("</if"));
  ErrorMessageI(c.G, 4, xxRepair, At(1, 5, file), InfoText("</if"));
  const std::string out = c.captureClient([&] { BraxelPrettyPrint(c.G, nullptr, file); });
  const std::string body = Body(out);
  EXPECT_NE(std::string::npos, body.find("<pre>a<font color=\"red\"><b>%</b></font>%%")) << body;
  EXPECT_NE(std::string::npos,
            body.find("<font color=\"#008000\"><b><blink>&lt;/if</blink></b></font>b"))
      << body;
  EXPECT_EQ(1u, Count(body, "illegal character"));
  EXPECT_EQ(1u, Count(body, "token inserted"));
}

TEST(SourceDisplay, RawMarkersOnRequest) {
  DiagContext c;
  SourceFile f("ab\n");
  const char* file = f.name.c_str();
  *c.add(c.G->value->ff, "$ppdebug") = MakeString(c.G, "1", 1, 0);
  SetMarkerRecording(c.G, true);
  SetMarker(c.G, mkTagEnd, At(1, 2, file), 0);
  SetMarkerRecording(c.G, false);
  const std::string out = c.captureClient([&] { BraxelPrettyPrint(c.G, nullptr, file); });
  EXPECT_EQ("<pre>a[1:2,m11]b\n\n</pre>", Body(out));
}

TEST(SourceDisplay, FormStrings) {
  DiagContext c;
  *c.add(c.G->value->ff, "$debug") = MakeString(c.G, "pp", 2, 0);
  *c.add(c.G->value->ff, "n") = MakeInteger(3);
  EXPECT_STREQ("pp", GetFormString(c.G, "$debug"));
  EXPECT_STREQ("pp", GetFormString(c.G, "$DEBUG"));
  EXPECT_EQ(nullptr, GetFormString(c.G, "n"));
  EXPECT_EQ(nullptr, GetFormString(c.G, "absent"));
}

}  // namespace
