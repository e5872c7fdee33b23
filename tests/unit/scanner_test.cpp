// scanner_test.cpp: the template scanner driven through GetToken, with each
// token stream printed in one line: texts, tags, fields, expressions,
// strings, numbers, positions, includes, form states, messages, markers and a
// fuzz run over random and mutated templates.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "diag/display.h"
#include "diag/messages.h"
#include "driver/globals.h"
#include "frontend/parser.h"
#include "frontend/scanner.h"
#include "frontend/source.h"
#include "support/idents.h"
#include "support/memory.h"
#include "tests/unit/testing_core.h"
#include "tests/unit/treeprint.h"

namespace {

using treeprint::escaped;

class ScannerTest : public ::testing::Test, protected TestGlobals {
 protected:
  std::string name(Ident id) { return id == 0 ? "#0" : GetStringIdent(G, id); }

  // The current token in one word: "text" for texts, 'value' for strings,
  // #n integers, r<value> reals, names bare, other tokens by their display
  // name with the attribute parts in parentheses; @line:column when asked.
  std::string word(int code) {
    const ScanAttr* a = G->ScannerAttribute;
    std::string w;
    switch (code) {
      case tkHTMLText: w = "\"" + escaped(a->textNode->text, a->textNode->textLength) + "\""; break;
      case tkQuotedString: w = "'" + escaped(a->string.str, a->string.size) + "'"; break;
      case tkIdent: w = name(a->ident); break;
      case tkInteger: w = "#" + std::to_string(a->integer); break;
      case tkReal: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "r%.9g", static_cast<double>(a->real));
        w = buf;
        break;
      }
      case tkDbquery: case tkDbupdate: case tkDbSection:
        w = std::string(Parser_TokenName[code]) + "(" + std::to_string(a->nodeKind) + ":" +
            name(a->ident) + ")";
        break;
      case tkDbfname:
        w = "dbf" + std::to_string(a->nodeKind) + "(" +
            (a->qualifier != 0 ? name(a->qualifier) + "." : "") + name(a->fieldName) + ")";
        break;
      case tkUserTag: case tkUserEnv: case tkUserEnvEnd:
        w = std::string(Parser_TokenName[code]) + "(" + name(a->ident) + ")";
        break;
      case tkFormName: w = "N(" + name(a->ident) + ")"; break;
      case tkFormValue: w = "V(" + escaped(a->string.str, a->string.size) + ")"; break;
      case tkFormEnd: w = "&"; break;
      case tkFormDot: w = "."; break;
      default: w = Parser_TokenName[code]; break;
    }
    if (positions) w += "@" + std::to_string(a->pos.line) + ":" + std::to_string(a->pos.column);
    return w;
  }

  // Reads tokens to the end; a runaway scanner fails the test instead of
  // hanging it.
  std::string drain(size_t limit = 100000) {
    std::string out;
    for (size_t i = 0; i < limit; i++) {
      const int code = GetToken(G);
      if (code == tkEndOfFile) return out;
      out += (out.empty() ? "" : " ") + word(code);
      count++;
    }
    ADD_FAILURE() << "no end of input after " << limit << " tokens";
    return out;
  }

  // A fresh source for text (kept while it is scanned).
  void reset(const std::string& text, bool withPositions) {
    held = text;
    positions = withPositions;
    count = 0;
    dbhInitSource(G);
  }
  // Starts scanning template text given as dynamic text.
  void start(const std::string& text, bool withPositions = false) {
    reset(text, withPositions);
    BeginScanner(G, false);
    BeginStringInput(G, held.c_str());
    StartInputState(G);
  }
  std::string scan(const std::string& text, bool withPositions = false) {
    start(text, withPositions);
    return drain();
  }

  std::string write(const std::string& file, const std::string& content) { return scratch.put(file, content); }

  // Scans a template file; included files are searched in the test folder.
  std::string scanFile(const std::string& path, bool withPositions = false) {
    bxFree(G->serverInterface->X_IncludePath);
    G->serverInterface->X_IncludePath = STRDUP(G, dir.string().c_str());
    reset("", withPositions);
    BeginScanner(G, false);
    BeginFile(G, path.c_str());
    EXPECT_EQ(G->Scanner->errorIndication, 0);
    StartInputState(G);
    return drain();
  }

  // Decodes form text through the scanner's form states.
  std::string scanForm(const std::string& text) {
    reset(text, false);
    G->Source->formText = held.c_str();
    G->Source->X_ReadParameters = 3;
    BeginScanner(G, true);
    return drain();
  }

  // The stored messages and markers since the last call (see PrintMessages).
  std::string messages() {
    std::string out = PrintMessages(G, true);
    ClearMessages(G);
    return out;
  }

  void define(const char* tag, uint16_t kind) {
    mTKDefine(G, kind, Position{1, 1, nullptr}, MakeIdent(G, tag), nullptr);
  }

  ScratchFolder scratch;
  const std::filesystem::path dir{scratch.path};
  std::string held;
  bool positions = false;
  size_t count = 0;
};

// ---- Text, comments and the "<" of tags -------------------------------------

TEST_F(ScannerTest, TextPlainTagsTabsAndPositions) {
  // the blank after "<" is dropped; "<" and the name become one text
  EXPECT_EQ(scan("a < b c", true), "\"a \"@1:1 \"<b\"@1:3 \" c\"@1:6");
  EXPECT_EQ(scan("x<3"), "\"x\" \"<3\"");
  EXPECT_EQ(scan("<\\dbf>"), "\"<\" \"dbf>\"");
  EXPECT_EQ(scan("<IF x> <iffy> </p>"), "\"<IF\" \" x> \" \"<iffy\" \"> \" \"</p\" \">\"");
  // runs split at newlines (kept with the run), tabs and slashes
  EXPECT_EQ(scan("ab\ncd\n\n\tx/y", true),
            "\"ab\\n\"@1:1 \"cd\\n\"@2:1 \"\\n\"@3:1 \"\\t\"@4:1 \"x\"@4:9 \"/\"@4:10 \"y\"@4:11");
  // comments inside HTML text, also over lines; URLs keep their slashes; a
  // line comment takes its newline
  EXPECT_EQ(scan("<!-- a /* hidden */ b -->"), "\"<!\" \"-- a \" \" b -->\"");
  EXPECT_EQ(scan("see http://x.com/y ok"), "\"see http:\" \"/\" \"/\" \"x.com\" \"/\" \"y ok\"");
  EXPECT_EQ(scan("text // note\nmore a//\nb//\r\nc"), "\"text \" \"more a\" \"b\" \"c\"");
  EXPECT_EQ(scan("<if x // why\n>y", true), "<if@1:2 x@1:5 >@2:1 \"y\"@2:2");
  EXPECT_EQ(scan("a /* b\nc */ d\n<? /*\n*/ e>", true),
            "\"a \"@1:1 \" d\\n\"@2:5 <?@3:2 e@4:4 >@4:5");
  EXPECT_EQ(messages(), "");
  // a tab moves to the next stop of eight: from column 1 and from 5 to 9
  EXPECT_EQ(scan("\tX\nabcd\tY\nabcdefgh\tZ\n\t\tW", true),
            "\"\\t\"@1:1 \"X\\n\"@1:9 \"abcd\"@2:1 \"\\t\"@2:5 \"Y\\n\"@2:9 \"abcdefgh\"@3:1 "
            "\"\\t\"@3:9 \"Z\\n\"@3:17 \"\\t\"@4:1 \"\\t\"@4:9 \"W\"@4:17");
  // a token stands at its own first character, not at the "<"
  EXPECT_EQ(scan("<def f>\n  <  let x = 1>", true),
            "<def@1:2 f@1:6 >@1:7 \"\\n\"@1:8 \"  \"@2:1 <let@2:6 x@2:10 =@2:12 #1@2:14 >@2:15");
}

// ---- Tag keywords and user tags ---------------------------------------------

// The keywords of tags as the parser tests write them are checked by their
// trees; these are the other spellings.
TEST_F(ScannerTest, TagKeywordsTheStateAfterThemUserTagsAndTheEndOfFileInsideATag) {
  const char* const cases[][2] = {{"<=>", "<assign"}, {"<include >", "<include"},
                                  {"</dbquery>", "</db"}, {"</dbupdate>", "</db"},
                                  {"</dbdatabase>", "</db"}};
  for (const auto& c : cases) {
    const std::string t = scan(c[0], true);
    EXPECT_EQ(t.substr(0, t.find(' ')), std::string(c[1]) + "@1:2") << c[0];
  }
  // the next state: an expression, the tag's continuation, or the end
  EXPECT_EQ(scan("<if x; let y = 1; /if>after"), "<if x > <let y = #1 > </if \"after\"");
  EXPECT_EQ(scan("<let a=1; b(2)>"), "<let a = #1 > b ( #2 ) >");
  EXPECT_EQ(scan("<let a; /b>"), "<let a > / b >");
  EXPECT_EQ(scan("<then;(>"), "<then (");
  EXPECT_EQ(scan("<break 7>"), "<break");
  EXPECT_EQ(messages(), "1:8 c3 #6 [: 7]\n");
  // ">" always ends the tag
  EXPECT_EQ(scan("<if a > b>"), "<if a > \" b>\"");
  define("iffy", TKdef);
  define("box", TKdefenv);
  EXPECT_EQ(scan("<iffy a=1><box>x</box><if y; iffy; box>", true),
            "<UserTag(iffy)@1:2 a@1:7 =@1:8 #1@1:9 >@1:10 <UserEnvironment(box)@1:12 >@1:15 "
            "\"x\"@1:16 </UserEnvironment(box)@1:18 <if@1:24 y@1:27 >@1:28 "
            "<UserTag(iffy)@1:30 >@1:34 <UserEnvironment(box)@1:36 >@1:39");
  // a tag defined while scanning counts from there on
  start("<later>x<later>");
  EXPECT_EQ(GetToken(G), tkHTMLText);
  define("later", TKdef);
  EXPECT_EQ(drain(), "\">x\" <UserTag(later) >");
  scan("<if x");
  EXPECT_EQ(messages(), "1:6 c3 unexpected end of file\n");
  for (const char* text : {"<", "text /* open", "<? 'x", "<dbf a", "<include x", "<db "}) {
    scan(text);
    EXPECT_NE(messages().find("unexpected end of file"), std::string::npos) << text;
  }
  scan("plain text\n");
  EXPECT_EQ(messages(), "");
}

// ---- Query, update and section tags; field outputs --------------------------

TEST_F(ScannerTest, QueryUpdateSectionsAndFieldOutputs) {
  EXPECT_EQ(scan("<dbquery q1>s<db head><dbrow><db  rowbegin><dbrowend><db column><dbfoot>"
                 "<db empty><db sep><dbtop><db body>", true),
            "<dbquery(7:q1)@1:2 >@1:12 \"s\"@1:13 dbSection(55:head)@1:15 "
            "dbSection(57:rowbegin)@1:24 dbSection(57:rowbegin)@1:31 dbSection(58:rowend)@1:45 "
            "dbSection(59:column)@1:55 dbSection(60:foot)@1:66 dbSection(61:empty)@1:74 "
            "dbSection(63:altquery)@1:84 dbSection(64:top)@1:92 dbSection(56:body)@1:99");
  EXPECT_EQ(scan("<dbquery>x<dbupdate>y<db stamp>z<dbdatabase>"),
            "<dbquery(7:#0) > \"x\" <dbupdate(6:update) > \"y\" <dbupdate(51:stamp) > \"z\" "
            "<dbupdate(54:database) >");
  // rowbegin has no joined form; "db" joined to a name is a name
  EXPECT_EQ(scan("<dbrowbegin><dbx>"), "\"<dbrowbegin\" \">\" \"<dbx\" \">\"");
  EXPECT_EQ(messages(), "");
  EXPECT_EQ(scan("a<db>b"), "\"a\" \"b\"");
  EXPECT_EQ(messages(), "1:5 c3 missing db section kind\n");
  EXPECT_EQ(scan("<dbf t.name html >|<dbf name>|<dbf a text>|<dbf a furl>|<dbf a input>|"
                 "<dbf a dbhtml>|<dbf a cust>|<dbf  q . f >|<field>|<fname >", true),
            "dbf21(t.name)@1:2 \"|\"@1:19 dbf20(name)@1:21 \"|\"@1:30 dbf22(a)@1:32 \"|\"@1:43 "
            "dbf23(a)@1:45 \"|\"@1:56 dbf24(a)@1:58 \"|\"@1:70 dbf25(a)@1:72 \"|\"@1:85 "
            "dbf13(a)@1:87 \"|\"@1:98 dbf20(q.f)@1:100 \"|\"@1:112 dbf4(#0)@1:114 "
            "\"|\"@1:120 dbf5(#0)@1:122");
  EXPECT_EQ(scan("<ff city>|<ff city quoted>|<ff_hstv id>|<if x; ff_hstv y>"),
            "dbf30(city) \"|\" dbf31(city) \"|\" dbf32(id) \"|\" <if x > dbf32(y)");
  EXPECT_EQ(messages(), "");
  // no name: a message and no token
  EXPECT_EQ(scan("<dbf >a<dbf t.>b<ff>c<ff_hstv>d"), "\"a\" \"b\" \"c\" \"d\"");
  EXPECT_EQ(messages(),
            "1:6 c3 missing name of field\n1:15 c3 missing name of field\n"
            "1:20 c3 missing name of form field\n1:30 c3 missing name of form field\n");
  // an unknown format word is illegal characters
  EXPECT_EQ(scan("<dbf a b>"), "dbf20(a)");
  EXPECT_EQ(messages(), "1:8 c3 #6 [: b]\n");
}

// ---- Expressions, numbers and strings ---------------------------------------

TEST_F(ScannerTest, ExpressionOperatorsWordsNumbersAndStrings) {
  EXPECT_EQ(scan("<? a+b-c*d/e%f==g!=h<i<=j&&k||!l=m,n.o(p)[q] true false null emptytuple TRUE:>"),
            "<? a + b - c * d / e % f == g != h < i <= j && k || ! l = m , n . o ( p ) [ q ] "
            "true false null emptytuple TRUE <def >");
  // single "&" and "|" and other strangers are illegal characters
  EXPECT_EQ(scan("<? a & b | c # d \xe9 e>"), "<? a b c d e >");
  EXPECT_EQ(messages(),
            "1:6 c3 #6 [: &]\n1:10 c3 #6 [: |]\n"
            "1:14 c3 #6 [: #]\n1:18 c3 #6 [: \xe9]\n");
  // digits clamp at 2147483647; reals take single precision and a capital E
  EXPECT_EQ(scan("<? 12abc 1.5e3 12. 2147483648 99999999999999999999 1e5 .25 2.5E-2 7.E3 "
                 "3.14159265358979 16777217.0>"),
            "<? #12 abc r1.5 e3 #12 . #2147483647 #2147483647 #1 e5 r0.25 r0.0250000004 #7 . e3 "
            "r3.14159274 r16777216 >");
  // strings: escapes, quotes inside the other quotes
  EXPECT_EQ(scan("<? \"a\\nb\\rc\\bd\\te\\ff\\0g\\\\h\\\"i\\'j\\qk\tl'm\" 'it\\'s' '\"x\"' ''>", true),
            "<?@1:2 'a\\nb\rc\bd\\te\ff\fg\\h\"i'jqk\\tl'm'@1:4 'it's'@1:46 '\"x\"'@1:54 ''@1:60 >@1:62");
  // a newline ends the string with a message at its opening quote
  EXPECT_EQ(scan("<? 'abc\n  x>", true), "<?@1:2 'abc'@1:4 x@2:3 >@2:4");
  EXPECT_EQ(messages(), "1:4 c3 unclosed string\n");
  // a backslash before the newline is an illegal character
  EXPECT_EQ(scan("<? \"ab\\\nx>"), "<? 'ab' x >");
  EXPECT_EQ(messages(), "1:7 c3 #6 [: \\]\n1:4 c3 unclosed string\n");
}

// ---- Input bytes and scanner entries ----------------------------------------

TEST_F(ScannerTest, InputBytesLongTokensAndAFileThatCannotBeOpened) {
  // NUL, DEL and bytes above 127 are ordinary characters in text and strings
  const std::string bytes = std::string("a\0b\x7f\xe9", 5) + "<? 'x\x7f\xffy'>" + std::string("\0z", 2);
  EXPECT_EQ(scanFile(write("bytes.brx", bytes)),
            std::string("\"a\0b\x7f\xe9\" <? 'x\x7f\xffy' > \"\0z\"", 24));
  EXPECT_EQ(messages(), "");
  // tokens longer than any read size
  const std::string big(100000, 'x');
  EXPECT_EQ(scan(big + "<? '" + big + "'>" + big), "\"" + big + "\" <? '" + big + "' > \"" + big + "\"");
  EXPECT_EQ(scanFile(write("big.brx", big + "\n" + big), true),
            "\"" + big + "\\n\"@1:1 \"" + big + "\"@2:1");
  // A file that cannot be opened is flagged (an include reports it) and gives
  // no tokens; the next scan starts unflagged.
  dbhInitSource(G);
  BeginScanner(G, false);
  BeginFile(G, (dir / "missing.brx").c_str());
  EXPECT_EQ(G->Scanner->errorIndication, 4);
  EXPECT_EQ(GetToken(G), tkEndOfFile);
  BeginScanner(G, false);
  EXPECT_EQ(G->Scanner->errorIndication, 0);
}

// ---- Scan-time includes -----------------------------------------------------

TEST_F(ScannerTest, IncludesErrorsAndIncludeOnce) {
  write("part.brx", "P<? 1>");
  const std::string main = write("main.brx", "A<include part.brx >B");
  EXPECT_EQ(scanFile(main, true), "\"A\"@1:1 \"P\"@1:1 <?@1:3 #1@1:5 >@1:6 \"B\"@1:21");
  EXPECT_EQ(G->Source->X_FileStackTop, 0);
  // tokens carry their file: the included one, then the includer's again
  scanFile(write("files.brx", "<include part.brx>B"));
  EXPECT_STREQ(G->ScannerAttribute->pos.file, (dir / "files.brx").c_str());
  // inside dynamic text the rest of the text follows the included file
  EXPECT_EQ(scan("a<include part.brx>b"), "\"a\" \"P\" <? #1 > \"b\"");
  EXPECT_STREQ(G->ScannerAttribute->pos.file, kDynamicTextName);
  EXPECT_EQ(messages(), "");
  // not found: two messages at column 1 of the line where the tag ends
  EXPECT_EQ(scanFile(write("notfound.brx", "x\n  <include\n nothere.brx\n  >y")), "\"x\\n\" \"  \" \"y\"");
  EXPECT_EQ(messages(), "4:1 c3 File not found in search path [: nothere.brx]\n"
                        "4:1 c7 Include Path is  [: " + dir.string() + "]\n");
  // a name with other characters is no include name
  write("b.brx", "B");
  EXPECT_EQ(scanFile(write("minus.brx", "<include a-b.brx>")), "\"B\"");
  EXPECT_EQ(messages(), "1:10 c3 #6 [: a]\n1:11 c3 #6 [: -]\n");
  // includeonce
  write("once.brx", "<includeonce>O");
  EXPECT_EQ(scanFile(write("twice.brx", "<include once.brx><include once.brx><include part.brx>")),
            "\"O\" \"P\" <? #1 >");
  EXPECT_EQ(dbhCheckInIncludeOnce(G, "once.brx"), 1);
  EXPECT_EQ(dbhCheckInIncludeOnce(G, "ONCE.brx") + dbhCheckInIncludeOnce(G, "./once.brx"), 0) << "as written";
  // the registry lasts for the request
  EXPECT_EQ(scanFile(write("again.brx", "<include once.brx>.")), "\".\"");
  // includeonce in a file that was not included registers nothing
  EXPECT_EQ(scanFile(write("top.brx", "<includeonce>x")), "\"x\"");
  EXPECT_EQ(dbhCheckInIncludeOnce(G, "top.brx"), 0);
  // while the source is marked, a registered file is included again
  SetMarkerRecording(G, true);
  EXPECT_EQ(scanFile(write("marked.brx", "<include once.brx>")), "\"O\"");
  SetMarkerRecording(G, false);
}

// The nesting limit and a forbidden name end the request (the fifteen and
// sixteen levels are run end to end).
TEST_F(ScannerTest, ForbiddenIncludeNameIsFatal) {
  const std::string bad = write("bad.brx", "<include menu.txt>");
  EXPECT_EXIT(
      {
        if (std::freopen((dir / "page.txt").c_str(), "w", stdout) == nullptr) std::exit(3);
        scanFile(bad);
        std::exit(0);
      },
      ::testing::ExitedWithCode(1), "");
}

// ---- Source markers and form arguments --------------------------------------

TEST_F(ScannerTest, MarkersWhileRecordingAndFormArguments) {
  SetMarkerRecording(G, true);
  scan("<if x /* c */ 'it'; let y>");
  SetMarkerRecording(G, false);
  EXPECT_EQ(messages(), "1:1 m10\n1:2 m10\n1:7 m13\n1:14 m14\n1:15 m15\n1:19 m16\n1:21 m10\n1:27 m11\n");
  // form arguments
  EXPECT_EQ(scanForm("a+b=x+y%21&c.d=%0D%0A1"),
            "N(a+b) V(x) V( ) V(y) V(!) & N(c) . N(d) V(\\n) V(1)");
  EXPECT_EQ(scanForm("=v"), "V(v)");
  EXPECT_EQ(scanForm("a&b=1"), "N(a) N(b) V(1)");
  // names keep blanks, newlines and "%"; newlines drop from values
  EXPECT_EQ(scanForm("%24x y=1\n2"), "N(%24x y) V(1) V(2)");
  EXPECT_EQ(messages(), "");
  // a "%" without two hexadecimal digits is dropped
  EXPECT_EQ(scanForm("a=1%2x%G0%"), "N(a) V(1) V(2x) V(G0)");
  EXPECT_EQ(messages(), "1:4 c3 #6 [: %]\n1:7 c3 #6 [: %]\n"
                        "1:10 c3 #6 [: %]\n");
}

// ---- Tokens the parser inserts ----------------------------------------------
// (An inserted ">" turning the rest of the tag into text is shown by the
// parser's recovery trees.)

TEST_F(ScannerTest, AttributesOfInsertedTokens) {
  // the current position, empty values
  start("<? a");
  GetToken(G);
  GetToken(G);
  ScanAttr def{};
  ErrorAttribute(G, tkQuotedString, &def);
  EXPECT_EQ(def.string.size, 0);
  EXPECT_NE(def.string.str, nullptr);
  EXPECT_EQ(def.pos.column, G->ScannerAttribute->pos.column);
  ErrorAttribute(G, tkDbfname, &def);
  EXPECT_EQ(def.nodeKind + def.fieldName + def.qualifier + def.ident, 0u);
}

// ---- Fuzzing ----------------------------------------------------------------
// Random bytes and mutations of real templates never crash and always come
// to an end.

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
  const char interesting[] = "<>/*'\"\\;=.%&\n\t ";
  const int steps = 1 + static_cast<int>(rng() % 8);
  for (int k = 0; k < steps; k++) {
    const size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
    switch (rng() % 4) {
      case 0: s.insert(at, 1, static_cast<char>(rng() % 256)); break;
      case 1: s.insert(at, 1, interesting[rng() % (sizeof interesting - 1)]); break;
      case 2: if (at < s.size()) s.erase(at, 1 + rng() % 4); break;
      default: if (!s.empty()) s.insert(at, s.substr(rng() % s.size(), 1 + rng() % 16)); break;
    }
  }
  // scan-time includes of forbidden names end the request on purpose, and
  // dynamic text ends at the first NUL
  for (size_t p = s.find("include"); p != std::string::npos; p = s.find("include", p)) s[p + 3] = 'X';
  for (char& c : s) c = c == 0 ? 1 : c;
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
      for (size_t i = rng() % 200; i > 0; i--) input.push_back(static_cast<char>(rng() % 256));
    } else {
      for (int k = round % 4 == 1 ? 4 : 1; k > 0; k--) input += kCorpus[rng() % corpusSize];
    }
    input = mutate(rng, input);
    (round % 5 == 2) ? scanForm(input) : scan(input);
    // every token consumes input, apart from the few that push a byte back
    ASSERT_LE(count, 2 * input.size() + 2) << input;
    if (round % 100 == 99) ClearMessages(G);
  }
}

}  // namespace
