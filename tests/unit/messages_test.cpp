// messages_test.cpp: the message store (kinds, codes, information formats,
// the expected-token reduction, markers, sorting), the message writer, the
// tuple display's forms and the source display's replay of messages over a
// file. Whole pages (messages under their line, the links from one message
// to the next) are tested end to end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "diag/debug.h"
#include "diag/display.h"
#include "diag/messages.h"
#include "diag/sourcedisplay.h"
#include "driver/globals.h"
#include "driver/output.h"
#include "support/idents.h"
#include "tests/unit/testing.h"
#include "values/value.h"

namespace {

// A complete global context; the page goes to standard output.
struct DiagContext {
  Globals* G = NewTestGlobals();
  DiagContext() {
    if (G->value->ff.type != tTuple) iVTuple(G, &G->value->ff);
    serverSendOutputToClient();
    PQTBuffer = nullptr;
  }
  ~DiagContext() {
    serverSendOutputToClient();
    PQTBuffer = nullptr;
    FinalizeAllGV(G);
  }
  DiagContext(const DiagContext&) = delete;
  DiagContext& operator=(const DiagContext&) = delete;

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
  char info[] = "abc";
  MessageI(c.G, kText, xxWarning, At(4, 2), InfoText(info));
  info[0] = 'X';   // the information is an owned copy
  Message(c.G, "plain", xxNote, At(5, 1, nullptr));
  EXPECT_EQ(0, c.errors()->X_NoErrors);
  // "illegal character" is stored as error code 6 with its information
  MessageI(c.G, "illegal character", xxError, At(1, 4), InfoChar('%'));

  const auto rs = c.records();
  ASSERT_EQ(4u, rs.size());
  EXPECT_EQ(mkCodeInfo, rs[3]->kind);
  EXPECT_EQ(6, rs[3]->code);
  EXPECT_STREQ(": %", rs[3]->info);
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
  EXPECT_EQ(rs[3], c.errors()->tail);
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

// ---- The tuple display ----------------------------------------------------

TEST(TupleDisplay, InlineFormAndTextCuts) {
  DiagContext c;
  std::string s;
  for (int i = 0; i < 80; ++i) s.push_back(static_cast<char>('a' + i % 26));
  Value t = c.tuple();
  c.addInt(t, "a", 1);
  *c.add(t, nullptr) = nullValue;
  c.addString(t, "s", s);   // 80 bytes: cut around "..."
  const int32_t refcount = t.val.tuple.t->refcount;
  EXPECT_EQ("(<a name=\"T1\">\na=1, [1]=null, s=\"" + s.substr(0, 40) + "\"...\"" + s.substr(40) +
                "\")\n",
            c.capture([&] { ShowTuple(c.G, t, "t"); }));
  EXPECT_EQ(refcount, t.val.tuple.t->refcount);
  Value u = c.tuple();
  c.addString(u, "w", s.substr(1));   // 79 bytes: whole
  EXPECT_EQ("(<a name=\"T2\">\nw=\"" + s.substr(1) + "\")\n",
            c.capture([&] { ShowTuple(c.G, u, nullptr); }));
  Value e = c.tuple();   // an empty tuple shows nothing
  EXPECT_EQ("", c.capture([&] { ShowTuple(c.G, e, nullptr); }));
  ReleaseValue(c.G, &t);
  ReleaseValue(c.G, &u);
  ReleaseValue(c.G, &e);
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
