// parser_test.cpp: templates parsed into printed trees: every surface form,
// precedence, conditions, lists, sections, the side-effect pass, the error
// recovery and deep nesting.
#include <gtest/gtest.h>

#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "diag/messages.h"
#include "driver/globals.h"
#include "frontend/parser.h"
#include "frontend/scanner.h"
#include "frontend/source.h"
#include "frontend/tree.h"
#include "tests/unit/testing_core.h"
#include "tests/unit/treeprint.h"

// Trees live until the end of the request by design (the end of the process
// releases them), so the leak checker would report every node.
extern "C" const char* __lsan_default_options() { return "detect_leaks=0"; }

namespace {

class ParserTest : public ::testing::Test, protected TestGlobals {
 protected:
  // Parses text as a template; the messages of earlier parses are dropped.
  Token* parse(const std::string& text) {
    G->Errors->head = G->Errors->tail = nullptr;
    G->Parser->expected[0] = '\0';
    dbhInitSource(G);
    BeginScanner(G, false);
    BeginStringInput(G, text.c_str());
    StartInputState(G);
    errors = Parser(G);
    return G->Parser->root;
  }

  std::string tree(const std::string& text, bool positions = false) {
    return PrintTree(G, parse(text), positions);
  }

  // The stored syntax messages (see PrintMessages).
  std::string messages() const { return PrintMessages(G, false); }

  std::string expected() const { return G->Parser->expected; }

  // Parses cleanly and prints as expected.
  void expectTree(const std::string& text, const std::string& printed) {
    EXPECT_EQ(tree(text), printed) << text;
    EXPECT_EQ(errors, 0) << text << messages();
  }

  int errors = 0;
};

// ---------------------------------------------------------------- surface forms

TEST_F(ParserTest, OutputLetExpressionStatementsConditionalsLoopsAndAssign) {
  // a format word is a format code (", furl": the comma before it is allowed);
  // any other format is an expression evaluated at run time
  expectTree("<? price html><? price, furl>", "[(fmt price 1) (fmt price 5)]");
  expectTree("<? total><? price '%5.2f'><? price fmt>a<? 1>b",
             "[total (fmtx price '%5.2f') (fmtx price fmt) \"a\" 1 \"b\"]");
  expectTree("<let total = total + 1><let a = 1; b = a * 2><let f>",
             "[(let (= total (+ total 1))) (let (= a 1)) (let (= b (* a 2))) (let f)]");
  expectTree("<if n < 10>small<else>large</if><if x>yes</if>",
             "[(if (< n 10) [\"small\"] [\"large\"]) (if x [\"yes\"])]");
  expectTree("<ifempty><dbf name><then>no name<else>has a name</if><ifempty><ff a><ff b><then>none</if>",
             "[(ifempty [(kind20 name)] [\"no name\"] [\"has a name\"]) "
             "(ifempty [(kind30 a) (kind30 b)] [\"none\"])]");
  // several statements in one tag
  expectTree("<if x; let y = 1; /if>", "[(if x [(let (= y 1))])]");
  expectTree("<while i < 10><? i><let i = i + 1></while><while true><break></while>",
             "[(while (< i 10) [i (let (= i (+ i 1)))]) (while true [(break)])]");
  expectTree("<assign title>Report</assign><= title>Report</=><assign t[1]>x</=>",
             "[(assign title [\"Report\"]) (assign title [\"Report\"]) (assign (idx t 1) [\"x\"])]");
}

TEST_F(ParserTest, UserTagsFunctionsQueriesUpdatesIncludeShellMailFieldsAndNothing) {
  expectTree("<def greet who='world'>Hello <? who></def><greet who='you'>",
             "[(def greet [who='world'] [\"Hello \" who]) (tag greet [who='you'])]");
  expectTree("<defenv box w=1><table border=<? w>><defbody></table></defenv><box>content</box>",
             "[(defenv box [w=1] [\"<table\" \" border=\" w \">\" (defbody) \"</table\" \">\"]) "
             "(env box [] [\"content\"])]");
  expectTree("<def twice x><return x * 2></def><? twice(3)><def stop><return></def>",
             "[(def twice [x] [(return (* x 2))]) (call twice [3]) (def stop [] [(return)])]");
  // a definition is in force inside its own body; before it a tag name is text
  expectTree("<def r n><r n=1></def><later><def later></def><later>",
             "[(def r [n] [(tag r [n=1])]) \"<later\" \">\" (def later [] []) (tag later [])]");
  expectTree(
      "<dbquery q>select name from t<db head><ul><db row><li><dbf name><db foot></ul>"
      "<db empty>none</db><dbquery>select 1</db>",
      "[(query q [\"select name from t\"] head=[\"<ul\" \">\"] "
      "rowbegin=[\"<li\" \">\" (kind20 name)] foot=[\"</ul\" \">\"] empty=[\"none\"]) "
      "(query #0 [\"select 1\"])]");
  expectTree("<dbupdate>delete from t</db><db stamp>x</db><dbdatabase>y</db>",
             "[(update [\"delete from t\"]) (stamp [\"x\"]) (database [\"y\"])]");
  // a repeated section keeps the first
  Token* root = parse("<dbquery>q<db head>A<db body>C<db head>B</db>");
  ASSERT_EQ(errors, 0) << messages();
  EXPECT_EQ(PrintTree(G, root), "[(query #0 [\"q\"] head=[\"A\"] body=[\"C\"])]");
  // the section list keeps every section, newest first
  std::string kinds;
  for (const Token* s = root->sectionList; s != nullptr; s = s->next) {
    kinds += std::to_string(s->kind) + " ";
  }
  EXPECT_EQ(kinds, "55 56 55 ");
  expectTree("<include><? page></include><shell>ls</shell><mail subject='News'>text</mail><\\dbf>",
             "[(include [page]) (shell [\"ls\"]) (mail [subject='News'] [\"text\"]) \"<\" \"dbf>\"]");
  expectTree("<dbf name><dbf t.name html><ff city quoted><ff_hstv id><field><fname>",
             "[(kind20 name) (kind21 t.name) (kind31 city) (kind32 id) (kind4 #0) (kind5 #0)]");
  expectTree("", "[]");
}

// ---------------------------------------------------------------- precedence

TEST_F(ParserTest, PrecedenceAndConstants) {
  expectTree("<let a = b = 1><let a = 1, b = 2><let a = b || c>",
             "[(let (= (= a b) 1)) (let (= (, (= a 1) b) 2)) (let (= a (|| b c)))]");
  expectTree("<? -x.y><? !a && b><? 1 + 2 * 3><? (1 + 2) * 3><? a - b - c><? a / b % c>",
             "[(neg (. x y)) (&& (! a) b) (+ 1 (* 2 3)) (* (+ 1 2) 3) (- (- a b) c) (% (/ a b) c)]");
  expectTree("<? a < b == c <= d><? a || b && c != d><? -a[1].b * -2><? a[i, j]><? 'it' 12>",
             "[(== (< a b) (<= c d)) (|| a (&& b (!= c d))) (* (neg (. (idx a 1) b)) (neg 2)) "
             "(idx a (, i j)) (fmtx 'it' 12)]");
  expectTree("<let a = 1.5; b = null; c = emptytuple; d = false>",
             "[(let (= a r1.5)) (let (= b null)) (let (= c emptytuple)) (let (= d false))]");
}

// ---------------------------------------------------------------- conditions

TEST_F(ParserTest, ConditionsAcceptedAndRejected) {
  expectTree("<if (x+1)>1</if><if x+1 < 3>2</if><if !x>3</if><if a.b>4</if><if a[1]>5</if>",
             "[(if (+ x 1) [\"1\"]) (if (< (+ x 1) 3) [\"2\"]) (if (! x) [\"3\"]) (if (. a b) [\"4\"]) "
             "(if (idx a 1) [\"5\"])]");
  expectTree("<if len(s)>1</if><while a < b < c>2</while><if !a && b>3</if>",
             "[(if (call len builtin [s]) [\"1\"]) (while (< (< a b) c) [\"2\"]) (if (&& (! a) b) [\"3\"])]");
  for (const char* text : {"<if x+1>y</if>", "<if -x>y</if>", "<if 1>y</if>", "<while 'a'>y</while>"}) {
    parse(text);
    EXPECT_EQ(errors, 1) << text;
    EXPECT_NE(messages().find("#1"), std::string::npos) << text;
    EXPECT_NE(G->Parser->root, nullptr) << text;
  }
}

// ---------------------------------------------------------------- lists

TEST_F(ParserTest, ArgumentsAndParametersInSourceOrderAndPositions) {
  // a binary operator continues an argument
  expectTree("<def t a b></def><t a=1 2 b><t a=1, b=2><t a -1><t x=a *2 b>",
             "[(def t [a b] []) (tag t [a=1 2 b]) (tag t [a=1 b=2]) (tag t [(- a 1)]) "
             "(tag t [x=(* a 2) b])]");
  expectTree("<? a -b><? f(1, 2 3)>", "[(- a b) (call f [1 2 3])]");
  expectTree("<def f a b=2 *rest></def><def f a, b=2, *rest></def><def f *x *y></def>",
             "[(def f [a b=2 *rest] []) (def f [a b=2 *rest] []) (def f [*x *y] [])]");
  expectTree("<defenv e a=x.y *o></defenv>", "[(defenv e [a=(. x y) *o] [])]");
  EXPECT_EQ(tree("<? a + f(b[1].c)>", true),
            "[(+@1:6 a@1:4 (call@1:9 f [@1:14(.@1:14 (idx@1:11 b@1:10 1@1:12) c)]))]");
  // the let node stands where its expression stands
  EXPECT_EQ(tree("<let a = 1>", true), "[(let@1:8 (=@1:8 a@1:6 1@1:10))]");
  EXPECT_EQ(tree("<def t></def>\n<t a=1 2>", true),
            "[(def@1:2 t [] []) \"\\n\" (tag@2:2 t [a@2:5=1@2:6 @2:82@2:8])]");
  EXPECT_EQ(tree("<def g a b=1 *c></def>", true), "[(def@1:2 g [a@1:8 b@1:10=1@1:12 *c@1:14] [])]");
  EXPECT_EQ(tree("<dbquery>q<db head>h</db>", true), "[(query@1:2 #0 [\"q\"] head=[\"h\"])]");
  Token* q = parse("<dbquery>q\n<db head>h</db>");
  ASSERT_NE(q, nullptr);
  ASSERT_NE(q->sectionList, nullptr);
  EXPECT_EQ(q->sectionList->position.line, 2);
}

// ---------------------------------------------------------------- calls

TEST_F(ParserTest, CallCheckAndClosingNamesOfEnvironments) {
  const char* const cases[][2] = {
      {"<? len(a, b)>", "1:7 c3 Too many parameters for function\n"},
      {"<? left(a)>", "1:8 c3 Too few parameters for function\n"},
      {"<? random()>", ""},
      {"<? nosuch(1)>", "1:10 c3 Unknown Function \n"},
      {"<? later(1)><def later x></def>", "1:9 c3 Unknown Function \n"},   // not yet known
      {"<defenv box></defenv><? box()>", "1:28 c3 Unknown Function \n"}};   // no function
  for (const auto& c : cases) {   // call-check messages are no syntax errors
    parse(c[0]);
    EXPECT_EQ(messages(), c[1]) << c[0];
    EXPECT_EQ(errors, 0) << c[0];
  }
  // a def seen before is a user function, called without a count check
  expectTree("<def h a></def><? h(1, 2, 3)>", "[(def h [a] []) (call h [1 2 3])]");
  parse("<defenv a></defenv><defenv b></defenv><a>x</b>");
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(messages(),
            "1:44 c3 Invalid closing tag [: b]\n"
            "1:40 c4 Begin of unclosed tag  [: a]\n");
  EXPECT_NE(tree("<defenv a></defenv><defenv b></defenv><a>x</b>").find("(env a [] [\"x\"])"),
            std::string::npos);
  parse("<defenv a></defenv><a>x</a>");
  EXPECT_EQ(messages(), "");
}

// ---------------------------------------------------------------- side effects

TEST_F(ParserTest, SideEffectPass) {
  // the right operand assigns: the left name is copied; one argument only
  expectTree("<? len(x + (y = 1))><let a[i] = (i = 2)><let a[(i = 2)] = i>",
             "[(call len builtin [(+ (copy x) (= y 1))]) (let (= (idx a i) (= i 2))) "
             "(let (= (idx a (= i 2)) (copy i)))]");
  // a user function call is level 1: names stay, computed operands are copied;
  // a base with side effects copies a computed index
  expectTree("<def g></def><? x + g()><? (x - y) + g()><? a[g()][i + 1]>",
             "[(def g [] []) (+ x (call g [])) (+ (copy (- x y)) (call g [])) "
             "(idx (idx a (call g [])) (copy (+ i 1)))]");
  // two arguments of a built-in, one with side effects: every argument
  // copied; arguments of user functions are not
  expectTree("<? left(s, (n = 2))><? left(s.t, 2)><def u></def><? u(s, (n = 2))>",
             "[(call left builtin [(copy s) (copy (= n 2))]) (call left builtin [(. s t) 2]) "
             "(def u [] []) (call u [s (= n 2)])]");
  // conditions, tag arguments and defaults go through the pass as well
  expectTree("<if x < (x = 1)>a</if><def t p=x + (x = 1)></def><t a=x + (x = 1)>",
             "[(if (< (copy x) (= x 1)) [\"a\"]) (def t [p=(+ (copy x) (= x 1))] []) "
             "(tag t [a=(+ (copy x) (= x 1))])]");
}

// ---------------------------------------------------------------- recovery

TEST_F(ParserTest, RecoveryExamples) {
  EXPECT_EQ(tree("<if x>text"), "[(if x [\"text\"])]");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(messages(), "1:11 c3 #1\n1:11 c7 #2 [/if]\n1:11 c5 #4 [: </if]\n");
  const std::string list = expected();
  for (const char* name : {"</if ", "<else ", "HTMLText ", "<if ", "<? ", "<break "}) {
    EXPECT_NE(list.find(name), std::string::npos) << name << " in " << list;
  }
  EXPECT_EQ(list.find("_EndOfFile"), std::string::npos);
  EXPECT_EQ(tree("<while x>text</if>"), "[(while x [\"text\"])]");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(messages(), "1:15 c3 #1\n1:15 c7 #2 [/while]\n1:19 c7 #3\n1:19 c5 #4 [: </while]\n");
  EXPECT_EQ(tree("<? a b c> more"), "[(fmtx a b) \" \" \"> more\"]");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(messages(), "1:8 c3 #1\n1:8 c7 #2 [> + - * / % [ . < == != && || <= >= ]\n1:8 c5 #4 [: >]\n");
  Token* root = parse("<if x>a</while>b</if><? 1 2 3>c<let>d");
  EXPECT_GE(errors, 3) << messages();
  EXPECT_NE(root, nullptr);
  EXPECT_NE(PrintTree(G, root).find("(if x [\"a\" \"b\"])"), std::string::npos) << PrintTree(G, root);
}

TEST_F(ParserTest, StrayCloserExpectedListsAndInsertedTagsWithEmptyNames) {
  EXPECT_EQ(tree("abc</if>def<? 1>"), "[\"abc\" \"def\" 1]");
  EXPECT_EQ(errors, 1);
  const std::string m = messages();
  EXPECT_EQ(m.substr(0, 11), "1:5 c3 #1\n1");
  EXPECT_NE(m.find("1:9 c7 #3\n"), std::string::npos) << m;
  // at the very start the form-argument alternative is expected as well
  parse("</if>");
  EXPECT_NE(expected().find("TOKinpfield "), std::string::npos) << expected();
  EXPECT_NE(expected().find("_EndOfFile "), std::string::npos) << expected();
  parse("<? a b c>");
  // ascending token codes, each name followed by a blank
  EXPECT_EQ(expected(), "> + - * / % [ . < == != && || <= >= ");
  parse("<dbquery>x<db head>y</if>");
  EXPECT_NE(expected().find(" dbSection "), std::string::npos) << expected();
  EXPECT_NE(expected().find(" </db "), std::string::npos) << expected();
  EXPECT_LT(expected().find(" dbSection "), expected().find(" </db "));
  // the list in the body of an environment is the longest the grammar has
  parse("<defenv e></defenv><e>x</if>");
  const std::string list = expected();
  EXPECT_LE(list.size(), 255u);
  EXPECT_GT(list.size(), 200u);
  EXPECT_EQ(list.back(), ' ');
  // an environment left open gets an inserted closer with name 0: no
  // closing-name messages
  parse("<defenv e></defenv><e>x");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(messages().find("closing"), std::string::npos) << messages();
  EXPECT_NE(messages().find("[: </UserEnvironment]"), std::string::npos) << messages();
  // a missing definition name
  Token* root = parse("<def>x</def>");
  EXPECT_EQ(errors, 1);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(PrintTree(G, root), "[(def #0 [] [\"x\"])]");
}

TEST_F(ParserTest, RandomTagSequencesAndRememberedRestartSets) {
  // Random templates made of tag fragments always give a tree and messages.
  // Errors deep inside nested constructs reuse the restart sets of earlier
  // errors at the same depth; the result must be that of a fresh walk.
  const std::vector<std::string> pieces = {
      "<if x>", "</if>", "<else>", "<while i<3>", "</while>", "<? a>", "<? ", ">", "(", ")",
      "<def f a>", "</def>", "<defenv e>", "</defenv>", "<e>", "</e>", "<f 1 2>", "<dbquery q>",
      "<db head>", "<db row>", "</db>", "<dbupdate>", "<let x = ", "1", "+", "]", "[", ",",
      "text", "<ifempty>", "<then>", "<assign t>", "</=>", "<include>", "</include>",
      "<shell>", "</shell>", "<mail to=1>", "</mail>", "<return>", "<break>", "<defbody>",
      "f(", "'s'", "=", ".", "!", "-", "<dbf x>", "<ff y>", ";", "\n", "<? a b c>"};
  std::mt19937 rng(3);
  for (int round = 0; round < 300; round++) {
    std::string text;
    for (int i = 0; i < 60; i++) text += pieces[rng() % pieces.size()];
    auto run = [&](bool memo) {
      // each parse starts without the definitions of the one before
      DropDefinitionsOfFile(G, kDynamicTextName);
      G->Parser->restartMemo = memo;
      const std::string printed = PrintTree(G, parse(text), true);
      return printed + "\n" + messages();
    };
    const std::string withMemo = run(true);
    ASSERT_EQ(withMemo, run(false)) << text;
    ASSERT_TRUE(errors == 0 || withMemo.find(" #1\n") != std::string::npos) << text;
  }
  G->Parser->restartMemo = true;
}

// ---------------------------------------------------------------- nesting

TEST_F(ParserTest, DeepNestingBelowTheBounds) {
  // deep unary nesting and long operator chains stay below the bounds
  EXPECT_EQ(parse("<? " + std::string(4000, '-') + "x>")->kind, TKexprun);
  std::string chain = "<? x";
  for (int i = 0; i < 5000; i++) chain += "+x";
  EXPECT_EQ(parse(chain + ">")->kind, TKexprbin);
  EXPECT_EQ(errors, 0);
  // tags left open: every closer is inserted
  const int depth = 2000;
  std::string text;
  for (int i = 0; i < depth; i++) text += "<if x>";
  parse(text + "y");
  EXPECT_EQ(errors, 1);
  int inserted = 0;
  for (const MessageRecord* m = G->Errors->head; m != nullptr; m = m->next) {
    if (m->code == 4) inserted++;
  }
  EXPECT_EQ(inserted, depth);
}

using ParserDeathTest = ParserTest;

TEST_F(ParserDeathTest, NestingBeyondTheBoundEndsTheRequest) {
  // the error page goes to standard output; send it where the death test
  // looks
  const std::string parens = "<? " + std::string(20000, '(') + "x" + std::string(20000, ')') + ">";
  EXPECT_EXIT(
      {
        dup2(2, 1);
        parse(parens);
      },
      ::testing::ExitedWithCode(1), "Template nested too deeply");
  std::string tags;
  for (int i = 0; i < 6000; i++) tags += "<if x>";
  EXPECT_EXIT(parse(tags), ::testing::ExitedWithCode(1), "");
  // a left-deep chain is bounded as well (the tree walkers recurse on it)
  std::string chain = "<? x";
  for (int i = 0; i < 12000; i++) chain += "+x";
  EXPECT_EXIT(parse(chain + ">"), ::testing::ExitedWithCode(1), "");
}

}  // namespace
