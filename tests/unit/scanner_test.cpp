// scanner_test.cpp: the template scanner driven through GetToken: texts, tags,
// fields, expressions, strings, numbers, positions, includes, form states,
// messages, and a fuzz run over random and mutated templates.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "diag/display.h"
#include "diag/messages.h"
#include "driver/cgi.h"
#include "driver/globals.h"
#include "frontend/scanner.h"
#include "frontend/source.h"
#include "frontend/tree.h"
#include "support/idents.h"
#include "support/memory.h"
#include "values/strings.h"
#include "tests/unit/testing.h"

namespace {

// One scanned token with the attribute parts the tests look at.
struct Tok {
  int code;
  std::string text;   // HTMLText: the node's text; QuotedString: the value;
                      // form values: the bytes; names: the identifier's name
  int line;
  int column;
  Ident ident;
  int32_t integer;
  float real;
  uint16_t kind;
  std::string field;
  std::string qualifier;
  std::string file;
};

// One stored message or marker.
struct Msg {
  int kind;
  int code;
  int cls;
  std::string text;
  std::string info;
  int line;
  int column;
};

std::string identName(Globals* G, Ident id) {
  if (id == 0) return "";
  const char* s = GetStringIdent(G, id);
  return s != nullptr ? s : "";
}

Tok current(Globals* G, int code) {
  const ScanAttr* a = G->ScannerAttribute;
  Tok t{};
  t.code = code;
  t.line = a->pos.line;
  t.column = a->pos.column;
  t.file = a->pos.file != nullptr ? a->pos.file : "";
  t.ident = a->ident;
  t.integer = a->integer;
  t.real = a->real;
  t.kind = a->nodeKind;
  switch (code) {
    case tkHTMLText:
      t.text.assign(a->textNode->text, static_cast<size_t>(a->textNode->textLength));
      break;
    case tkQuotedString:
    case tkFormValue:
      t.text.assign(a->string.str, static_cast<size_t>(a->string.size));
      break;
    case tkIdent:
    case tkFormName:
    case tkUserTag:
    case tkUserEnv:
    case tkUserEnvEnd:
    case tkDbquery:
    case tkDbupdate:
    case tkDbSection:
      t.text = identName(G, a->ident);
      break;
    case tkDbfname:
      t.field = identName(G, a->fieldName);
      t.qualifier = identName(G, a->qualifier);
      break;
    default:
      t.text.assign(a->text != nullptr ? a->text : "", a->text != nullptr ? a->length : 0);
      break;
  }
  return t;
}

// The values a token hands over (text nodes, string values) belong to the
// parser; the tests take them and free them.
void releaseAttr(Globals* G, int code, ScanAttr* a) {
  if (code == tkHTMLText && a->textNode != nullptr) {
    bxFree(a->textNode->text);
    bxFree(a->textNode);
    a->textNode = nullptr;
  } else if (code == tkQuotedString || code == tkTOKchars) {
    chars_free(G, &a->string);
  }
}

// Reads tokens until the end; a runaway scanner fails the test instead of
// hanging it.
std::vector<Tok> drain(Globals* G, size_t limit = 100000) {
  std::vector<Tok> out;
  for (size_t i = 0; i < limit; i++) {
    const int code = GetToken(G);
    if (code == tkEndOfFile) return out;
    out.push_back(current(G, code));
    releaseAttr(G, code, G->ScannerAttribute);
  }
  ADD_FAILURE() << "no end of input after " << limit << " tokens";
  return out;
}

std::vector<Msg> messages(Globals* G) {
  std::vector<Msg> out;
  for (const MessageRecord* r = G->Errors->head; r != nullptr; r = r->next) {
    Msg m{};
    m.kind = r->kind;
    m.code = r->code;
    m.cls = r->errorClass;
    m.text = r->text != nullptr ? r->text : "";
    m.info = r->info != nullptr ? r->info : "";
    m.line = r->position.line;
    m.column = r->position.column;
    out.push_back(m);
  }
  return out;
}

// The concatenated text of all HTMLText tokens.
std::string texts(const std::vector<Tok>& toks) {
  std::string s;
  for (const Tok& t : toks) {
    if (t.code == tkHTMLText) s += t.text;
  }
  return s;
}

class ScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    G = NewTestGlobals();
    dir = std::filesystem::temp_directory_path() /
          ("scanner_test_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    FinalizeAllGV(G);
    for (Token* def : definitions) bxFree(def);
    std::filesystem::remove_all(dir);
  }

  // Scans template text given as dynamic text.
  std::vector<Tok> scan(const std::string& text) {
    held = text;
    dbhInitSource(G);
    BeginScanner(G, false);
    BeginStringInput(G, held.c_str());
    StartInputState(G);
    return drain(G);
  }

  std::string write(const std::string& name, const std::string& content) {
    const std::filesystem::path p = dir / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }

  // Scans a template file; included files are searched in the test folder.
  std::vector<Tok> scanFile(const std::string& path) {
    setIncludePath();
    dbhInitSource(G);
    BeginScanner(G, false);
    BeginFile(G, path.c_str());
    EXPECT_EQ(G->Scanner->errorIndication, 0);
    StartInputState(G);
    return drain(G);
  }

  // Decodes form text through the scanner's form states.
  std::vector<Tok> scanForm(const std::string& text) {
    held = text;
    dbhInitSource(G);
    G->Source->formText = held.c_str();
    G->Source->X_ReadParameters = 3;
    BeginScanner(G, true);
    return drain(G);
  }

  // The include path belongs to the serverInterface record, which frees it.
  void setIncludePath() {
    bxFree(G->serverInterface->X_IncludePath);
    G->serverInterface->X_IncludePath = STRDUP(G, dir.string().c_str());
  }

  void define(const char* name, uint16_t kind) {
    // a definition enters the table as it is made
    definitions.push_back(mTKDefine(G, kind, Position{1, 1, nullptr}, MakeIdent(G, name), nullptr));
  }

  Globals* G = nullptr;
  std::filesystem::path dir;
  std::string held;
  std::vector<Token*> definitions;
};

// ---------------------------------------------------------------------------
// Text and the "<" of tags

TEST_F(ScannerTest, LessSignBeforeNonTagsStaysText) {
  // a < b: the blank after "<" is dropped, "<b" is one text token
  auto t = scan("a < b c");
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].code, tkHTMLText);
  EXPECT_EQ(t[0].text, "a ");
  EXPECT_EQ(t[1].text, "<b");
  EXPECT_EQ(t[1].column, 3);   // at the "<"
  EXPECT_EQ(t[2].text, " c");

  t = scan("x<3");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].text, "x");
  EXPECT_EQ(t[1].text, "<3");

  // a backslash after "<" gives "<" alone; the rest is text
  t = scan("<\\dbf>");
  EXPECT_EQ(texts(t), "<dbf>");
  ASSERT_GE(t.size(), 2u);
  EXPECT_EQ(t[0].text, "<");

  t = scan("<IF x>");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].text, "<IF");
  EXPECT_EQ(t[1].text, " x>");
  EXPECT_TRUE(messages(G).empty());
}

TEST_F(ScannerTest, KeywordPrefixIsANameUntilDefined) {
  auto t = scan("<iffy>");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].code, tkHTMLText);
  EXPECT_EQ(t[0].text, "<iffy");

  define("iffy", TKdef);
  define("box", TKdefenv);
  t = scan("<iffy a=1><box>x</box>");
  ASSERT_GE(t.size(), 8u);
  EXPECT_EQ(t[0].code, tkUserTag);
  EXPECT_EQ(t[0].text, "iffy");
  EXPECT_EQ(t[0].column, 2);
  EXPECT_EQ(t[1].code, tkIdent);
  EXPECT_EQ(t[2].code, tkEqual);
  EXPECT_EQ(t[3].code, tkInteger);
  EXPECT_EQ(t[4].code, tkGreater);
  EXPECT_EQ(t[5].code, tkUserEnv);
  EXPECT_EQ(t[6].code, tkGreater);
  EXPECT_EQ(t[7].text, "x");
  ASSERT_EQ(t.size(), 9u);
  EXPECT_EQ(t[8].code, tkUserEnvEnd);
  EXPECT_EQ(t[8].text, "box");
}

TEST_F(ScannerTest, CommentsInsideHtmlText) {
  auto t = scan("<!-- a /* hidden */ b -->");
  EXPECT_EQ(texts(t), "<!-- a  b -->");
  EXPECT_EQ(t[0].text, "<!");

  // a URL keeps its two slashes
  t = scan("see http://example.com/x ok");
  EXPECT_EQ(texts(t), "see http://example.com/x ok");

  // a line comment takes the rest of the line and its newline
  t = scan("text // note\nmore");
  EXPECT_EQ(texts(t), "text more");
  t = scan("a//\nb//\r\nc");
  EXPECT_EQ(texts(t), "abc");
  t = scan("<if x // why\n>y");
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[2].code, tkGreater);
  EXPECT_EQ(t[2].line, 2);
  EXPECT_TRUE(messages(G).empty());
}

TEST_F(ScannerTest, TextTokensSplitAtNewlinesTabsAndSlashes) {
  auto t = scan("ab\ncd\n\n\tx/y");
  std::vector<std::string> want = {"ab\n", "cd\n", "\n", "\t", "x", "/", "y"};
  ASSERT_EQ(t.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(t[i].code, tkHTMLText);
    EXPECT_EQ(t[i].text, want[i]) << i;
  }
  EXPECT_EQ(t[2].line, 3);
  EXPECT_EQ(t[3].line, 4);
}

// ---------------------------------------------------------------------------
// Positions

TEST_F(ScannerTest, TabsAdvanceToTheNextStopOfEight) {
  auto t = scan("\tX\nabcd\tY\nabcdefgh\tZ\n\t\tW");
  ASSERT_EQ(t.size(), 11u);
  EXPECT_EQ(t[0].column, 1);
  EXPECT_EQ(t[1].text, "X\n");
  EXPECT_EQ(t[1].column, 9);   // a tab at column 1
  EXPECT_EQ(t[2].text, "abcd");
  EXPECT_EQ(t[3].column, 5);
  EXPECT_EQ(t[4].column, 9);   // a tab at column 5
  EXPECT_EQ(t[4].line, 2);
  EXPECT_EQ(t[6].column, 9);   // the tab itself at column 9
  EXPECT_EQ(t[7].column, 17);
  EXPECT_EQ(t[10].column, 17);
  EXPECT_EQ(t[10].line, 4);
}

TEST_F(ScannerTest, TokensStandAtTheirOwnFirstCharacter) {
  auto t = scan("<def f>\n  <  let x = 1>");
  ASSERT_GE(t.size(), 8u);
  EXPECT_EQ(t[0].code, tkDef);
  EXPECT_EQ(t[0].line, 1);
  EXPECT_EQ(t[0].column, 2);
  EXPECT_EQ(t[1].code, tkIdent);
  EXPECT_EQ(t[1].column, 6);
  EXPECT_EQ(t[2].code, tkGreater);
  EXPECT_EQ(t[2].column, 7);
  EXPECT_EQ(t[3].text, "\n");
  EXPECT_EQ(t[4].text, "  ");
  EXPECT_EQ(t[5].code, tkLet);
  EXPECT_EQ(t[5].line, 2);
  EXPECT_EQ(t[5].column, 6);
  EXPECT_EQ(t[6].column, 10);
}

// ---------------------------------------------------------------------------
// Tag keywords

TEST_F(ScannerTest, SeveralStatementsShareOneTag) {
  auto t = scan("<if x; let y = 1; /if>after");
  std::vector<int> want = {tkIf, tkIdent, tkGreater, tkLet, tkIdent, tkEqual,
                           tkInteger, tkGreater, tkIfEnd, tkHTMLText};
  ASSERT_EQ(t.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(t[i].code, want[i]) << i;
  EXPECT_EQ(t.back().text, "after");

  // closing tags end silently; a name in the continuation is an expression
  t = scan("<if x>a</if>b<while c>d</while><then><else><= t>x</=><assign u></assign>");
  std::vector<int> want2 = {tkIf, tkIdent, tkGreater, tkHTMLText, tkIfEnd, tkHTMLText,
                            tkWhile, tkIdent, tkGreater, tkHTMLText, tkWhileEnd, tkThen,
                            tkElse, tkAssign, tkIdent, tkGreater, tkHTMLText, tkAssignEnd,
                            tkAssign, tkIdent, tkGreater, tkAssignEnd};
  ASSERT_EQ(t.size(), want2.size());
  for (size_t i = 0; i < want2.size(); i++) EXPECT_EQ(t[i].code, want2[i]) << i;

  t = scan("<let a=1; b(2)>");
  std::vector<int> want3 = {tkLet, tkIdent, tkEqual, tkInteger, tkGreater, tkIdent,
                            tkLParen, tkInteger, tkRParen, tkGreater};
  ASSERT_EQ(t.size(), want3.size());
  for (size_t i = 0; i < want3.size(); i++) EXPECT_EQ(t[i].code, want3[i]) << i;
}

TEST_F(ScannerTest, EveryTagKeyword) {
  struct Case {
    const char* text;
    int code;
  } cases[] = {
      {"<? 1>", tkQuestion},        {"<ifempty>", tkIfempty},   {"<def f>", tkDef},
      {"</def>", tkDefEnd},         {"<defenv e>", tkDefenv},   {"</defenv>", tkDefenvEnd},
      {"<defbody>", tkDefbody},     {"<return 1>", tkReturn},   {"<break>", tkBreak},
      {"</include>", tkIncludeEnd}, {"<shell>", tkShell},       {"</shell>", tkShellEnd},
      {"<mail>", tkMail},           {"</mail>", tkMailEnd},     {"</db>", tkDbEnd},
      {"</dbquery>", tkDbEnd},      {"</dbupdate>", tkDbEnd},   {"</dbdatabase>", tkDbEnd},
      {"</assign>", tkAssignEnd},
  };
  for (const Case& c : cases) {
    auto t = scan(c.text);
    ASSERT_FALSE(t.empty()) << c.text;
    EXPECT_EQ(t[0].code, c.code) << c.text;
    EXPECT_EQ(t[0].column, 2) << c.text;
  }
  EXPECT_TRUE(messages(G).empty());
}

TEST_F(ScannerTest, GreaterSignAlwaysEndsTheTag) {
  auto t = scan("<if a > b>");
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].code, tkIf);
  EXPECT_EQ(t[1].code, tkIdent);
  EXPECT_EQ(t[1].text, "a");
  EXPECT_EQ(t[2].code, tkGreater);
  EXPECT_EQ(t[3].code, tkHTMLText);
  EXPECT_EQ(t[3].text, " b>");
}

TEST_F(ScannerTest, EndOfFileInsideATag) {
  scan("<if x");
  auto m = messages(G);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].text, "unexpected end of file");
  EXPECT_EQ(m[0].cls, xxError);
  EXPECT_EQ(m[0].column, 6);

  ClearMessages(G);
  scan("<");
  EXPECT_EQ(messages(G).size(), 1u);
  ClearMessages(G);
  scan("text /* never closed");
  EXPECT_EQ(messages(G).size(), 1u);
  ClearMessages(G);
  scan("plain text\n");
  EXPECT_TRUE(messages(G).empty());
}

// ---------------------------------------------------------------------------
// Query, update and section tags

TEST_F(ScannerTest, QueryUpdateAndSections) {
  auto t = scan("<dbquery q1>select<db head>h<dbrow>r<db rowbegin><dbrowend><db column>"
                "<dbfoot><db empty><db sep><dbtop><db body></db>");
  ASSERT_GE(t.size(), 3u);
  EXPECT_EQ(t[0].code, tkDbquery);
  EXPECT_EQ(t[0].kind, TKquery);
  EXPECT_EQ(t[0].text, "q1");
  EXPECT_EQ(t[0].column, 2);   // at the keyword
  EXPECT_EQ(t[1].code, tkGreater);
  std::vector<std::pair<uint16_t, Ident>> want = {
      {TKhead, Idhead},     {TKrowbegin, Idrowbegin}, {TKrowbegin, Idrowbegin},
      {TKrowend, Idrowend}, {TKcolumn, Idcolumn},     {TKfoot, Idfoot},
      {TKempty, Idempty},   {TKsep, Idaltquery},      {TKtop, Idtop},
      {TKbody, Idbody}};
  std::vector<Tok> sections;
  for (const Tok& x : t) {
    if (x.code == tkDbSection) sections.push_back(x);
  }
  ASSERT_EQ(sections.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(sections[i].kind, want[i].first) << i;
    EXPECT_EQ(sections[i].ident, want[i].second) << i;
  }
  EXPECT_EQ(t.back().code, tkDbEnd);

  t = scan("<dbquery>x");
  ASSERT_GE(t.size(), 2u);
  EXPECT_EQ(t[0].code, tkDbquery);
  EXPECT_EQ(t[0].ident, 0u);
  EXPECT_EQ(t[1].code, tkGreater);

  t = scan("<dbupdate>x<db stamp>y<dbdatabase>");
  std::vector<Tok> updates;
  for (const Tok& x : t) {
    if (x.code == tkDbupdate) updates.push_back(x);
  }
  ASSERT_EQ(updates.size(), 3u);
  EXPECT_EQ(updates[0].kind, TKupdate);
  EXPECT_EQ(updates[0].ident, Idupdate);
  EXPECT_EQ(updates[1].kind, TKstamp);
  EXPECT_EQ(updates[1].ident, Idstamp);
  EXPECT_EQ(updates[2].kind, TKdatabase);
  EXPECT_EQ(updates[2].ident, Iddatabase);
  EXPECT_TRUE(messages(G).empty());
}

TEST_F(ScannerTest, SectionWithoutKind) {
  auto t = scan("a<db>b");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].text, "a");
  EXPECT_EQ(t[1].text, "b");
  auto m = messages(G);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].text, "missing db section kind");
  EXPECT_EQ(m[0].column, 5);
}

// ---------------------------------------------------------------------------
// Field outputs

TEST_F(ScannerTest, DatabaseFieldOutputs) {
  auto t = scan("<dbf t.name html >|<dbf name>|<dbf a text>|<dbf a furl>|<dbf a input>"
                "|<dbf a dbhtml>|<dbf a cust>|<dbf  q . f >|<field>|<fname >");
  std::vector<Tok> f;
  for (const Tok& x : t) {
    if (x.code == tkDbfname) f.push_back(x);
  }
  ASSERT_EQ(f.size(), 10u);
  EXPECT_EQ(f[0].kind, TKdbfnamehtml);
  EXPECT_EQ(f[0].field, "name");
  EXPECT_EQ(f[0].qualifier, "t");
  EXPECT_EQ(f[0].column, 2);
  EXPECT_EQ(f[1].kind, TKdbfname);
  EXPECT_EQ(f[1].field, "name");
  EXPECT_EQ(f[1].qualifier, "");
  EXPECT_EQ(f[2].kind, TKdbfnametext);
  EXPECT_EQ(f[3].kind, TKdbfnameurl);
  EXPECT_EQ(f[4].kind, TKdbfnameinput);
  EXPECT_EQ(f[5].kind, TKdbfdbhtml);
  EXPECT_EQ(f[6].kind, TKcustomfield);
  EXPECT_EQ(f[7].field, "f");
  EXPECT_EQ(f[7].qualifier, "q");
  EXPECT_EQ(f[8].kind, TKfield);
  EXPECT_EQ(f[9].kind, TKfname);
  EXPECT_EQ(texts(t), "|||||||||");
  EXPECT_TRUE(messages(G).empty());
}

TEST_F(ScannerTest, FormFieldAndHostVariableOutputs) {
  auto t = scan("<ff city>|<ff city quoted>|<ff_hstv id>");
  std::vector<Tok> f;
  for (const Tok& x : t) {
    if (x.code == tkDbfname) f.push_back(x);
  }
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].kind, TKffname);
  EXPECT_EQ(f[0].field, "city");
  EXPECT_EQ(f[1].kind, TKffnamequoted);
  EXPECT_EQ(f[2].kind, TKffhstv);
  EXPECT_EQ(f[2].field, "id");
  EXPECT_TRUE(messages(G).empty());
}

TEST_F(ScannerTest, FieldOutputsWithoutName) {
  auto t = scan("<dbf >a<dbf t.>b<ff>c<ff_hstv>d");
  EXPECT_EQ(texts(t), "abcd");
  for (const Tok& x : t) EXPECT_EQ(x.code, tkHTMLText);
  auto m = messages(G);
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0].text, "missing name of field");
  EXPECT_EQ(m[0].column, 6);
  EXPECT_EQ(m[1].text, "missing name of field");
  EXPECT_EQ(m[2].text, "missing name of form field");
  EXPECT_EQ(m[3].text, "missing name of form field");
}

TEST_F(ScannerTest, UnknownFieldFormatIsIllegal) {
  auto t = scan("<dbf a b>");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].kind, TKdbfname);
  auto m = messages(G);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].code, 6);
  EXPECT_EQ(m[0].info, ": b");
  EXPECT_EQ(m[0].column, 8);
}

// ---------------------------------------------------------------------------
// Expressions, numbers and strings

TEST_F(ScannerTest, ExpressionOperatorsAndWords) {
  auto t = scan("<? a+b-c*d/e%f==g!=h<i<=j&&k||!l=m,n.o(p)[q] true false null emptytuple TRUE:>");
  std::vector<int> want = {
      tkQuestion, tkIdent, tkPlus,  tkIdent, tkMinus,   tkIdent,    tkStar,  tkIdent,
      tkSlash,    tkIdent, tkPercent, tkIdent, tkEqEq,  tkIdent,    tkNotEq, tkIdent,
      tkLess,     tkIdent, tkLessEq, tkIdent, tkAndAnd, tkIdent,    tkOrOr,  tkNot,
      tkIdent,    tkEqual, tkIdent, tkComma, tkIdent,   tkDot,      tkIdent, tkLParen,
      tkIdent,    tkRParen, tkLBracket, tkIdent, tkRBracket, tkTrue, tkFalse, tkNull,
      tkEmptytuple, tkIdent, tkDef, tkGreater};
  ASSERT_EQ(t.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(t[i].code, want[i]) << i;
  EXPECT_EQ(strcasecmp(t[41].text.c_str(), "true"), 0);
  EXPECT_TRUE(messages(G).empty());
}

TEST_F(ScannerTest, FormatWords) {
  auto t = scan("<? x braxel><? x html><? x HTML><? x cust><? x hstv>");
  std::vector<Ident> ids;
  for (size_t i = 0; i + 1 < t.size(); i++) {
    if (t[i].code == tkIdent && t[i + 1].code == tkGreater) ids.push_back(t[i].ident);
  }
  const Ident* fw = G->Scanner->formatIds;
  ASSERT_EQ(ids.size(), 5u);
  EXPECT_EQ(ids[0], fw[fwDbhtml]);
  EXPECT_EQ(ids[1], fw[fwHtml]);
  EXPECT_EQ(ids[2], fw[fwHtml]);
  EXPECT_EQ(ids[3], fw[fwCustom]);
  EXPECT_EQ(ids[4], fw[fwHstv]);
  EXPECT_STREQ(GetStringIdent(G, fw[fwQuoted]), "quoted");
  EXPECT_STREQ(GetStringIdent(G, fw[fwFurl]), "furl");
  EXPECT_STREQ(GetStringIdent(G, fw[fwInput]), "input");
}

TEST_F(ScannerTest, Numbers) {
  auto t = scan("<? 12abc 1.5e3 12. 2147483648 99999999999999999999 1e5 .25 2.5E-2 3.14159265358979 7.E3>");
  std::vector<int> want = {tkQuestion, tkInteger, tkIdent, tkReal, tkIdent, tkInteger, tkDot,
                           tkInteger,  tkInteger, tkInteger, tkIdent, tkReal, tkReal, tkReal,
                           tkInteger, tkDot, tkIdent, tkGreater};
  ASSERT_EQ(t.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(t[i].code, want[i]) << i;
  EXPECT_EQ(t[1].integer, 12);
  EXPECT_EQ(t[2].text, "abc");
  EXPECT_FLOAT_EQ(t[3].real, 1.5f);
  EXPECT_EQ(t[4].text, "e3");
  EXPECT_EQ(t[5].integer, 12);
  EXPECT_EQ(t[7].integer, 2147483647);
  EXPECT_EQ(t[8].integer, 2147483647);
  EXPECT_EQ(t[9].integer, 1);
  EXPECT_EQ(t[10].text, "e5");
  EXPECT_FLOAT_EQ(t[11].real, 0.25f);
  EXPECT_FLOAT_EQ(t[12].real, 0.025f);
  EXPECT_EQ(t[13].real, static_cast<float>(3.14159265358979));
  EXPECT_NE(static_cast<double>(t[13].real), 3.14159265358979);
  EXPECT_EQ(t[14].integer, 7);
}

TEST_F(ScannerTest, StringsWithEveryEscape) {
  auto t = scan("<? \"a\\nb\\rc\\bd\\te\\ff\\0g\\\\h\\\"i\\'j\\qk\tl'm\" 'it\\'s' '\"x\"'>");
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[1].code, tkQuotedString);
  EXPECT_EQ(t[1].text, std::string("a\nb\rc\bd\te\ff\fg\\h\"i'jqk\tl'm"));
  EXPECT_EQ(t[1].column, 4);
  EXPECT_EQ(t[2].text, "it's");
  EXPECT_EQ(t[3].text, "\"x\"");
  EXPECT_EQ(t[4].code, tkGreater);
  EXPECT_TRUE(messages(G).empty());

  t = scan("<? ''>");
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[1].code, tkQuotedString);
  EXPECT_EQ(t[1].text, "");
}

TEST_F(ScannerTest, UnclosedString) {
  auto t = scan("<? 'abc\n  x>");
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[1].code, tkQuotedString);
  EXPECT_EQ(t[1].text, "abc");
  EXPECT_EQ(t[2].code, tkIdent);
  EXPECT_EQ(t[2].line, 2);
  EXPECT_EQ(t[2].column, 3);
  auto m = messages(G);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].text, "unclosed string");
  EXPECT_EQ(m[0].line, 1);
  EXPECT_EQ(m[0].column, 4);

  // a backslash before the newline is an illegal character, then the string ends
  ClearMessages(G);
  t = scan("<? \"ab\\\nx>");
  ASSERT_GE(t.size(), 2u);
  EXPECT_EQ(t[1].text, "ab");
  m = messages(G);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0].code, 6);
  EXPECT_EQ(m[0].info, ": \\");
  EXPECT_EQ(m[1].text, "unclosed string");
}

TEST_F(ScannerTest, IllegalCharactersInExpressions) {
  auto t = scan("<? a & b | c # d>");
  std::vector<int> want = {tkQuestion, tkIdent, tkIdent, tkIdent, tkIdent, tkGreater};
  ASSERT_EQ(t.size(), want.size());
  auto m = messages(G);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].info, ": &");
  EXPECT_EQ(m[0].column, 6);
  EXPECT_EQ(m[1].info, ": |");
  EXPECT_EQ(m[2].info, ": #");
  for (const Msg& x : m) EXPECT_EQ(x.cls, xxError);
}

TEST_F(ScannerTest, SlashNameInTagContinuation) {
  // without a definition, "/name" after ";" is the operator and the name
  auto t = scan("<let a; /b>");
  std::vector<int> want = {tkLet, tkIdent, tkGreater, tkSlash, tkIdent, tkGreater};
  ASSERT_EQ(t.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(t[i].code, want[i]) << i;
  EXPECT_EQ(t[4].text, "b");
  t = scan("</p>");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].text, "</p");
}

TEST_F(ScannerTest, DefinitionTakesEffectFromItsPlaceOnward) {
  held = "<later>x<later>";
  dbhInitSource(G);
  BeginScanner(G, false);
  BeginStringInput(G, held.c_str());
  StartInputState(G);
  EXPECT_EQ(GetToken(G), tkHTMLText);   // "<later": not defined yet
  releaseAttr(G, tkHTMLText, G->ScannerAttribute);
  define("later", TKdef);                // as the parser does on reading a head
  auto rest = drain(G);
  ASSERT_EQ(rest.size(), 3u);
  EXPECT_EQ(rest[0].text, ">x");
  EXPECT_EQ(rest[1].code, tkUserTag);
  EXPECT_EQ(rest[1].column, 10);
  EXPECT_EQ(rest[2].code, tkGreater);
}

// ---------------------------------------------------------------------------
// Input bytes

TEST_F(ScannerTest, NulAndDelBytesAreOrdinaryText) {
  const std::string content = std::string("a\0b\x7f", 4) + "<? 'x\x7fy'>" + std::string("\0z", 2);
  auto t = scanFile(write("bytes.brx", content));
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[0].text, std::string("a\0b\x7f", 4));
  EXPECT_EQ(t[2].text, "x\x7fy");
  EXPECT_EQ(t[4].text, std::string("\0z", 2));
  EXPECT_TRUE(messages(G).empty());
}

TEST_F(ScannerTest, LongTokensAcrossReadSizes) {
  const std::string big(100000, 'x');
  auto t = scan(big + "<? '" + big + "'>" + big);
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[0].text.size(), big.size());
  EXPECT_EQ(t[2].text, big);
  EXPECT_EQ(t[4].text, big);
  // the file path reads in several loads as well
  t = scanFile(write("big.brx", big + "\n" + big));
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[1].line, 2);
}

TEST_F(ScannerTest, WordsLinesAndLevelErrors) {
  held = "\n\n<? MiXed";
  dbhInitSource(G);
  BeginScanner(G, false);
  BeginStringInput(G, held.c_str());
  StartInputState(G);
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(GetToken(G), tkHTMLText);
    releaseAttr(G, tkHTMLText, G->ScannerAttribute);
  }
  EXPECT_EQ(GetToken(G), tkQuestion);
  EXPECT_EQ(GetToken(G), tkIdent);
  char word[16];
  EXPECT_EQ(GetWord(G, word), 5);
  EXPECT_STREQ(word, "MiXed");
  GetLower(G, word);
  EXPECT_STREQ(word, "mixed");
  GetUpper(G, word);
  EXPECT_STREQ(word, "MIXED");
  EXPECT_EQ(ScannerGetLine(G), 3);
  drain(G);

  // a file that cannot be opened, and closing with nothing open
  dbhInitSource(G);
  BeginScanner(G, false);
  BeginFile(G, (dir / "missing.brx").c_str());
  EXPECT_EQ(G->Scanner->errorIndication, 4);
  EXPECT_EQ(GetToken(G), tkEndOfFile);
  CloseFile(G);
  EXPECT_EQ(G->Scanner->errorIndication, 3);
  BeginScanner(G, false);
  EXPECT_EQ(G->Scanner->errorIndication, 0);
}

// ---------------------------------------------------------------------------
// Scan-time includes

TEST_F(ScannerTest, IncludeWithAndWithoutFileName) {
  write("part.brx", "P<? 1>");
  const std::string main = write("main.brx", "A<include part.brx >B<include>C</include>");
  auto t = scanFile(main);
  std::vector<int> want = {tkHTMLText, tkHTMLText, tkQuestion, tkInteger, tkGreater,
                           tkHTMLText, tkInclude, tkGreater, tkHTMLText, tkIncludeEnd, tkGreater};
  ASSERT_EQ(t.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(t[i].code, want[i]) << i;
  EXPECT_EQ(t[1].text, "P");
  EXPECT_EQ(t[1].file, dir.string() + "/part.brx");
  EXPECT_EQ(t[1].column, 1);
  EXPECT_EQ(t[5].text, "B");
  EXPECT_EQ(t[5].file, main);   // back in the includer
  EXPECT_EQ(t[5].column, 21);
  EXPECT_EQ(t[6].column, 23);
  EXPECT_TRUE(messages(G).empty());
  EXPECT_EQ(G->Source->X_FileStackTop, 0);
}

TEST_F(ScannerTest, MissingIncludeFile) {
  const std::string main = write("main.brx", "x\n  <include\n nothere.brx\n  >y");
  auto t = scanFile(main);
  EXPECT_EQ(texts(t), "x\n  y");
  auto m = messages(G);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0].text, "File not found in search path");
  EXPECT_EQ(m[0].info, ": nothere.brx");
  EXPECT_EQ(m[0].cls, xxError);
  EXPECT_EQ(m[0].line, 4);   // the line on which the tag ends
  EXPECT_EQ(m[0].column, 1);
  EXPECT_EQ(m[1].text, "Include Path is ");
  EXPECT_EQ(m[1].info, ": " + dir.string());
  EXPECT_EQ(m[1].cls, xxInformation);
}

TEST_F(ScannerTest, IncludeNameWithIllegalCharacters) {
  write("b.brx", "B");
  auto t = scanFile(write("main.brx", "<include a-b.brx>"));
  EXPECT_EQ(texts(t), "B");
  auto m = messages(G);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0].info, ": a");
  EXPECT_EQ(m[1].info, ": -");
}

TEST_F(ScannerTest, IncludeOnceSkipsTheSecondInclusion) {
  write("once.brx", "<includeonce>O");
  write("twice.brx", "T");
  auto t = scanFile(write("main.brx",
                          "<include once.brx><include once.brx><include twice.brx><include twice.brx>"));
  EXPECT_EQ(texts(t), "OTT");
  EXPECT_EQ(dbhCheckInIncludeOnce(G, "once.brx"), 1);
  EXPECT_EQ(dbhCheckInIncludeOnce(G, "./once.brx"), 0);
  // the registry lasts for the request: a later parse skips it too
  t = scanFile(write("again.brx", "<include once.brx>."));
  EXPECT_EQ(texts(t), ".");
  // includeonce in a file that was not included registers nothing
  t = scanFile(write("top.brx", "<includeonce>x"));
  EXPECT_EQ(texts(t), "x");
  EXPECT_EQ(dbhCheckInIncludeOnce(G, "top.brx"), 0);
}

TEST_F(ScannerTest, IncludeInsideDynamicTextResumesTheText) {
  write("inc.brx", "I\n");
  setIncludePath();
  auto t = scan("a<include inc.brx>b");
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[1].text, "I\n");
  EXPECT_EQ(t[2].text, "b");
  EXPECT_EQ(t[2].file, kDynamicTextName);
}

TEST_F(ScannerTest, FifteenLevelsWork) {
  // main.brx is level 1; l2 .. l15 are included in a chain
  for (int i = 2; i <= 15; i++) {
    const std::string next = i < 15 ? "<include l" + std::to_string(i + 1) + ".brx>" : "deep";
    write("l" + std::to_string(i) + ".brx", next);
  }
  auto t = scanFile(write("main.brx", "<include l2.brx>end"));
  EXPECT_EQ(texts(t), "deepend");
  EXPECT_TRUE(messages(G).empty());
}

TEST_F(ScannerTest, SixteenthLevelIsFatal) {
  for (int i = 2; i <= 16; i++) {
    const std::string next = i < 16 ? "<include l" + std::to_string(i + 1) + ".brx>" : "deep";
    write("l" + std::to_string(i) + ".brx", next);
  }
  const std::string main = write("main.brx", "<include l2.brx>end");
  const std::string out = (dir / "page.txt").string();
  EXPECT_EXIT(
      {
        if (std::freopen(out.c_str(), "w", stdout) == nullptr) std::exit(3);
        scanFile(main);
        std::exit(0);
      },
      ::testing::ExitedWithCode(1), "");
  std::ifstream in(out);
  const std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(page.find("Include files too deeply nested"), std::string::npos) << page;
}

TEST_F(ScannerTest, ForbiddenIncludeNameIsFatal) {
  const std::string main = write("main.brx", "<include menu.txt>");
  const std::string out = (dir / "page.txt").string();
  EXPECT_EXIT(
      {
        if (std::freopen(out.c_str(), "w", stdout) == nullptr) std::exit(3);
        scanFile(main);
        std::exit(0);
      },
      ::testing::ExitedWithCode(1), "");
}

// ---------------------------------------------------------------------------
// Source markers

TEST_F(ScannerTest, MarkersWhileRecording) {
  SetMarkerRecording(G, true);
  scan("<if x /* c */ 'it'; let y>");
  SetMarkerRecording(G, false);
  std::vector<std::pair<int, int>> got;   // kind, column
  for (const Msg& m : messages(G)) got.push_back({m.kind, m.column});
  std::vector<std::pair<int, int>> want = {
      {mkKeyword, 1},      {mkKeyword, 2},    {mkCommentStart, 7}, {mkCommentEnd, 14},
      {mkStringStart, 15}, {mkStringEnd, 19}, {mkKeyword, 21},     {mkTagEnd, 27}};
  EXPECT_EQ(got, want);
}

// ---------------------------------------------------------------------------
// Form arguments

TEST_F(ScannerTest, FormArguments) {
  auto t = scanForm("a+b=x+y%21&c.d=%0D%0A1");
  ASSERT_GE(t.size(), 4u);
  EXPECT_EQ(t[0].code, tkFormName);
  EXPECT_EQ(t[0].text, "a+b");
  std::string value;
  size_t i = 1;
  for (; i < t.size() && t[i].code == tkFormValue; i++) value += t[i].text;
  EXPECT_EQ(value, "x y!");
  ASSERT_LT(i + 3, t.size());
  EXPECT_EQ(t[i].code, tkFormEnd);
  EXPECT_EQ(t[i + 1].code, tkFormName);
  EXPECT_EQ(t[i + 1].text, "c");
  EXPECT_EQ(t[i + 2].code, tkFormDot);
  EXPECT_EQ(t[i + 3].code, tkFormName);
  EXPECT_EQ(t[i + 3].text, "d");
  value.clear();
  for (i += 4; i < t.size() && t[i].code == tkFormValue; i++) value += t[i].text;
  EXPECT_EQ(value, "\n1");
  EXPECT_EQ(i, t.size());
  EXPECT_TRUE(messages(G).empty());
}

TEST_F(ScannerTest, FormArgumentsWithoutNamesOrValues) {
  auto t = scanForm("=v");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].code, tkFormValue);
  EXPECT_EQ(t[0].text, "v");

  t = scanForm("a&b=1");
  std::vector<int> want = {tkFormName, tkFormName, tkFormValue};
  ASSERT_EQ(t.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(t[i].code, want[i]) << i;
  EXPECT_EQ(t[0].text, "a");
  EXPECT_EQ(t[1].text, "b");
  EXPECT_EQ(t[2].text, "1");

  // blanks, newlines and "%" stay undecoded in names; newlines drop from values
  t = scanForm("%24x y=1\n2");
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].text, "%24x y");
  EXPECT_EQ(t[1].text + t[2].text, "12");
  EXPECT_TRUE(messages(G).empty());
}

TEST_F(ScannerTest, BadPercentEscapeInFormValue) {
  auto t = scanForm("a=1%2x%G0%");
  std::string value;
  for (const Tok& x : t) {
    if (x.code == tkFormValue) value += x.text;
  }
  EXPECT_EQ(value, "12xG0");
  auto m = messages(G);
  ASSERT_EQ(m.size(), 3u);
  for (const Msg& x : m) {
    EXPECT_EQ(x.code, 6);
    EXPECT_EQ(x.info, ": %");
  }
}

// ---------------------------------------------------------------------------
// The parser's token insertion

TEST_F(ScannerTest, InsertedGreaterTurnsTheRestIntoText) {
  scan("");
  held = "<? a b c> d";
  dbhInitSource(G);
  BeginScanner(G, false);
  BeginStringInput(G, held.c_str());
  StartInputState(G);
  EXPECT_EQ(GetToken(G), tkQuestion);
  EXPECT_EQ(GetToken(G), tkIdent);
  EXPECT_EQ(GetToken(G), tkIdent);
  int lookahead = GetToken(G);   // c
  EXPECT_EQ(lookahead, tkIdent);
  ScanAttr attr = *G->ScannerAttribute;
  dbhHandleErrorInsert(G, tkGreater, &lookahead, &attr);
  EXPECT_EQ(lookahead, tkHTMLText);
  ASSERT_NE(attr.textNode, nullptr);
  EXPECT_EQ(std::string(attr.textNode->text, attr.textNode->textLength), " ");
  releaseAttr(G, lookahead, &attr);
  auto rest = drain(G);
  EXPECT_EQ(texts(rest), "> d");

  ScanAttr def{};
  ErrorAttribute(G, tkQuotedString, &def);
  EXPECT_EQ(def.string.size, 0);
  ASSERT_NE(def.string.str, nullptr);
  EXPECT_EQ(def.ident, 0u);
  releaseAttr(G, tkQuotedString, &def);

  // an inserted token other than ">" changes nothing
  int other = tkIdent;
  dbhHandleErrorInsert(G, tkIfEnd, &other, &attr);
  EXPECT_EQ(other, tkIdent);
}

// ---------------------------------------------------------------------------
// Fuzzing: random bytes and mutations of real templates never crash and
// always come to an end.

const char* const kCorpus[] = {
    "<html><body><? 'Hello' html></body></html>\n",
    "<def greet who='world'>Hello <? who></def><greet who='you'>\n",
    "<defenv box w=1><table border=<? w>><defbody></table></defenv><box>x</box>",
    "<dbquery q>select name from t where a = <ff a quoted><db head><ul><db row><li>"
    "<dbf q.name html><db foot></ul><db empty>none</db>",
    "<if n < 10>small<else>large</if><while i < 3><? i><let i = i + 1></while>",
    "<let a = 1, b = 2; c = \"x\\ty\"; d = 1.5E3>/* note */ text // gone\n<? a[1].b, furl>",
    "<assign t>Report</assign><= u>x</=><shell>ls</shell><mail subject='N'>m</mail>",
    "<ifempty><dbf name><then>no<else>yes</if><field><fname><ff_hstv id><break><return 1>",
    "<!-- c --> <\\dbf> http://x.y/z <dbupdate>delete from t</db><db stamp>x</db>",
};

std::string mutate(std::mt19937& rng, std::string s) {
  std::uniform_int_distribution<int> op(0, 3);
  std::uniform_int_distribution<int> byte(0, 255);
  const char interesting[] = "<>/*'\"\\;=.%&\n\t ";
  const int steps = 1 + static_cast<int>(rng() % 8);
  for (int k = 0; k < steps; k++) {
    const size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
    switch (op(rng)) {
      case 0:
        s.insert(at, 1, static_cast<char>(byte(rng)));
        break;
      case 1:
        s.insert(at, 1, interesting[rng() % (sizeof interesting - 1)]);
        break;
      case 2:
        if (!s.empty() && at < s.size()) s.erase(at, 1 + rng() % 4);
        break;
      default:
        if (!s.empty()) {
          const size_t from = rng() % s.size();
          s.insert(at, s.substr(from, 1 + rng() % 16));
        }
        break;
    }
  }
  return s;
}

// Scan-time includes of names that are not allowed end the request on
// purpose; the fuzz inputs leave the include keyword out.
std::string withoutIncludes(std::string s) {
  for (size_t p = s.find("include"); p != std::string::npos; p = s.find("include", p)) s[p + 3] = 'X';
  for (char& c : s) {
    if (c == 0) c = 1;   // dynamic text ends at the first NUL
  }
  return s;
}

TEST_F(ScannerTest, FuzzRandomAndMutatedTemplates) {
  std::mt19937 rng(12345);
  define("greet", TKdef);
  define("box", TKdefenv);
  const size_t corpusSize = sizeof kCorpus / sizeof kCorpus[0];
  for (int round = 0; round < 20000; round++) {
    std::string input;
    if (round % 4 == 0) {
      const size_t n = rng() % 200;
      for (size_t i = 0; i < n; i++) input.push_back(static_cast<char>(rng() % 256));
    } else if (round % 4 == 1) {
      // several templates in a row, each mutated
      for (int k = 0; k < 4; k++) input += mutate(rng, kCorpus[rng() % corpusSize]);
    } else {
      input = mutate(rng, kCorpus[rng() % corpusSize]);
    }
    input = withoutIncludes(input);
    // form states as well as template states
    auto t = (round % 5 == 2) ? scanForm(input) : scan(input);
    // every token consumes input, apart from the few that push a byte back
    ASSERT_LE(t.size(), 2 * input.size() + 2) << input;
    if (round % 100 == 99) ClearMessages(G);
  }
}

}  // namespace
