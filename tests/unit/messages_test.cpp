// messages_test.cpp: the message store (the no-errors flag, information
// formats, the expected-token reduction, sorting), the message writer and the
// source display's replay of messages over a file. Whole pages (messages under
// their line, the links from one message to the next, the arrow, the tuple
// display) are tested end to end; records and markers through the scanner.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "diag/display.h"
#include "diag/errorpages.h"
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

// Each way of storing a message clears the flag that lets a template run.
TEST(MessageStore, EveryStoredMessageClearsTheNoErrorsFlag) {
  DiagContext c;
  const std::function<void()> stores[] = {
      [&] { ErrorMessage(c.G, 1, xxError, At(3, 7)); },
      [&] { ErrorMessageI(c.G, 4, xxRepair, At(3, 7), InfoText("x")); },
      [&] { Message(c.G, "plain", xxError, At(5, 1)); },
      [&] { MessageI(c.G, "with info", xxError, At(4, 2), InfoText("abc")); }};
  for (const auto& store : stores) {
    c.errors()->X_NoErrors = 1;
    store();
    EXPECT_EQ(0, c.errors()->X_NoErrors);
  }
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
}

TEST(MessageStore, ExpectedTokensReduceToTheMissingCloser) {
  const std::pair<const char*, const char*> cases[] = {
      {"HTMLText <dbquery </while </if <else ", "/if"}, {"</defenv </def ", "/defenv"},
      {"HTMLText </def <let ", "/def"}, {"HTMLText </assign </while ", "/assign"},
      {"</db </include ", "/db"}, {"<else HTMLText ", "else"},
      {"</UserEnvironment ", "/UserEnvironment"}, {"</mail </shell ", "/shell"},
      {"Ident Integer ", "Ident Integer "}};
  for (const auto& [tokens, reduced] : cases) {
    DiagContext c;
    ErrorMessageI(c.G, 2, xxInformation, At(2, 1), InfoTokens(tokens));
    EXPECT_STREQ(reduced, c.records()[0]->info) << tokens;
  }
  // Other codes keep the whole list.
  DiagContext c;
  ErrorMessageI(c.G, 7, xxInformation, At(2, 1), InfoTokens("</if </while "));
  EXPECT_STREQ("</if </while ", c.records()[0]->info);
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
  EXPECT_EQ(1u, Count(body, "illegal character"));
  EXPECT_EQ(1u, Count(body, "token inserted"));
}

TEST(SourceDisplay, FormStrings) {
  DiagContext c;
  *vAddField(c.G, c.G->value->ff, MakeIdent(c.G, "$debug")) = MakeString(c.G, "pp", 2, 0);
  *vAddField(c.G, c.G->value->ff, MakeIdent(c.G, "n")) = MakeInteger(3);
  EXPECT_STREQ("pp", GetFormString(c.G, "$debug"));
  EXPECT_STREQ("pp", GetFormString(c.G, "$DEBUG"));
  EXPECT_EQ(nullptr, GetFormString(c.G, "n"));
  EXPECT_EQ(nullptr, GetFormString(c.G, "absent"));
}

// A failed consistency check names the module, the function it is written in
// (or the operation a helper checks for), the line and the printed condition.
static void checkedOperation(Globals* G, int n) { bxAssert(G, n > 0, "n > 0", {"tests"}); }

TEST(ConsistencyCheckDeathTest, NamesModuleLineFunctionAndCondition) {
  Globals* G = NewTestGlobals();
  checkedOperation(G, 1);
  EXPECT_DEATH(checkedOperation(G, 0),
               "^tests:[0-9]+: checkedOperation: Assertion `n > 0' failed.\n");
  EXPECT_DEATH(bxAssert(G, false, "t->kind == 102", {"calls", "ProcessCall"}),
               "^calls:[0-9]+: ProcessCall: Assertion `t->kind == 102' failed.\n");
  FinalizeAllGV(G);
}

}  // namespace
