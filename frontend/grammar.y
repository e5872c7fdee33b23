/* grammar.y: the template grammar. Only the automaton is taken from Bison
   (through its XML report, see scripts/lalr_tables.py); the tree-building
   actions live in frontend/parser.cpp, one case per rule.

   Terminal codes are those of TokenCode (frontend/scanner.h); the string
   aliases are the display names of Parser_TokenName. Keep both in step: the
   generated tables check every code against the enum at compile time. */

%define lr.default-reduction accepting
%expect 0

%token tkEndOfFile 0 "_EndOfFile"
%token tkIdent 1 "Ident"
%token tkInteger 2 "Integer"
%token tkReal 3 "Real"
%token tkQuotedString 4 "QuotedString"
%token tkHTMLText 5 "HTMLText"
%token tkTOKchars 6 "TOKchars"
%token tkDbquery 7 "<dbquery"
%token tkDbupdate 8 "<dbupdate"
%token tkDbSection 9 "dbSection"
%token tkDbfname 10 "TOKdbfname"
%token tkAssign 11 "<assign"
%token tkUserTag 12 "<UserTag"
%token tkUserEnv 13 "<UserEnvironment"
%token tkInpfield 14 "TOKinpfield"
%token tkUserEnvEnd 15 "</UserEnvironment"
%token tkGreater 16 ">"
%token tkDbEnd 17 "</db"
%token tkInclude 18 "<include"
%token tkIncludeEnd 19 "</include"
%token tkShell 20 "<shell"
%token tkShellEnd 21 "</shell"
%token tkMail 22 "<mail"
%token tkEqual 23 "="
%token tkPlus 24 "+"
%token tkMinus 25 "-"
%token tkStar 26 "*"
%token tkSlash 27 "/"
%token tkPercent 28 "%"
%token tkNull 29 "null"
%token tkEmptytuple 30 "emptytuple"
%token tkLBracket 31 "["
%token tkComma 32 ","
%token tkDot 33 "."
%token tkLParen 34 "("
%token tkRParen 35 ")"
%token tkTrue 36 "true"
%token tkFalse 37 "false"
%token tkLess 38 "<"
%token tkEqEq 39 "=="
%token tkNotEq 40 "!="
%token tkAndAnd 41 "&&"
%token tkOrOr 42 "||"
%token tkLessEq 43 "<="
%token tkGreaterEq 44 ">="
%token tkNot 45 "!"
%token tkRBracket 46 "]"
%token tkMailEnd 47 "</mail"
%token tkAssignEnd 48 "</="
%token tkLet 49 "<let"
%token tkWhile 50 "<while"
%token tkWhileEnd 51 "</while"
%token tkIfempty 52 "<ifempty"
%token tkThen 53 "<then"
%token tkIfEnd 54 "</if"
%token tkElse 55 "<else"
%token tkIf 56 "<if"
%token tkQuestion 57 "<?"
%token tkDef 58 "<def"
%token tkDefEnd 59 "</def"
%token tkDefenv 60 "<defenv"
%token tkDefenvEnd 61 "</defenv"
%token tkDefbody 62 "<defbody"
%token tkReturn 63 "<return"
%token tkBreak 64 "<break"
%token tkNEGOP 65 "NEGOP"
%token tkNOTOP 66 "NOTOP"

/* From loosest to tightest; every binary operator is left-associative.
   "," and "=" need no entry of their own: they join a FullExpression and a
   SimpleExpression, which makes them the loosest and left-associative.
   Beyond the operator table of the language:
   - an empty Separator takes the precedence of "," so that a following
     binary operator continues the expression (arguments, output format);
   - an empty ParamSeparator takes the precedence of unary minus, so that a
     "*" after a parameter's default starts an output parameter;
   - a name takes the precedence of "," so that a following "(" makes it a
     function call. */
%precedence ","
%left "||"
%left "&&"
%left "==" "!="
%left "<" "<=" ">="
%left "+" "-"
%left "*" "/" "%"
%precedence "NEGOP" "NOTOP"
%precedence "[" "." "("

%start Template

%%

Template
  : Statements
  | "TOKinpfield" "TOKchars"
  ;

Statements
  : %empty
  | Statements Statement
  ;

Statement
  : "HTMLText"
  | "TOKdbfname"
  | "<dbquery" ">" Statements Sections "</db"
  | "<dbupdate" ">" Statements "</db"
  | "<include" ">" Statements "</include" ">"
  | "<shell" ">" Statements "</shell" ">"
  | "<mail" Arguments ">" Statements "</mail" ">"
  | "<assign" FullExpression ">" Statements "</="
  | "<let" FullExpression ">"
  | FullExpression ">"
  | "<while" Condition ">" Statements "</while"
  | "<ifempty" ">" Statements "<then" Statements "</if"
  | "<ifempty" ">" Statements "<then" Statements "<else" Statements "</if"
  | "<if" Condition ">" Statements "</if"
  | "<if" Condition ">" Statements "<else" Statements "</if"
  | "<?" SimpleExpression ">"
  | "<?" SimpleExpression Separator SimpleExpression ">"
  | DefHead Parameters ">" Statements "</def"
  | DefEnvHead Parameters ">" Statements "</defenv"
  | "<defbody"
  | "<UserTag" Arguments ">"
  | "<UserEnvironment" Arguments ">" Statements "</UserEnvironment"
  | "<return" FullExpression ">"
  | "<return" ">"
  | "<break"
  ;

DefHead
  : "<def" "Ident"
  ;

DefEnvHead
  : "<defenv" "Ident"
  ;

Sections
  : %empty
  | Sections "dbSection" Statements
  ;

FullExpression
  : SimpleExpression
  | FullExpression "," SimpleExpression
  | FullExpression "=" SimpleExpression
  ;

SimpleExpression
  : SimpleExpression "+" SimpleExpression
  | SimpleExpression "-" SimpleExpression
  | SimpleExpression "*" SimpleExpression
  | SimpleExpression "/" SimpleExpression
  | SimpleExpression "%" SimpleExpression
  | SimpleExpression "<" SimpleExpression
  | SimpleExpression "==" SimpleExpression
  | SimpleExpression "!=" SimpleExpression
  | SimpleExpression "&&" SimpleExpression
  | SimpleExpression "||" SimpleExpression
  | SimpleExpression "<=" SimpleExpression
  | SimpleExpression ">=" SimpleExpression
  | "-" SimpleExpression %prec "NEGOP"
  | "!" SimpleExpression %prec "NOTOP"
  | "Integer"
  | "Real"
  | "QuotedString"
  | "null"
  | "emptytuple"
  | "true"
  | "false"
  | SimpleExpression "[" FullExpression "]"
  | SimpleExpression "." "Ident"
  | "(" FullExpression ")"
  | "Ident" %prec ","
  | "Ident" "(" Arguments ")"
  ;

/* The outermost forms allowed as the condition of if and while. */
Condition
  : SimpleExpression "<" SimpleExpression
  | SimpleExpression "==" SimpleExpression
  | SimpleExpression "!=" SimpleExpression
  | SimpleExpression "&&" SimpleExpression
  | SimpleExpression "||" SimpleExpression
  | SimpleExpression "<=" SimpleExpression
  | SimpleExpression ">=" SimpleExpression
  | "!" SimpleExpression %prec "NOTOP"
  | "true"
  | "false"
  | SimpleExpression "[" FullExpression "]"
  | SimpleExpression "." "Ident"
  | "(" FullExpression ")"
  | "Ident" %prec ","
  | "Ident" "(" Arguments ")"
  ;

Arguments
  : "Ident" "=" SimpleExpression Separator Arguments
  | SimpleExpression Separator Arguments
  | %empty
  ;

Parameters
  : "Ident" "=" SimpleExpression ParamSeparator Parameters
  | "Ident" ParamSeparator Parameters
  | "*" "Ident" ParamSeparator Parameters
  | %empty
  ;

Separator
  : ","
  | %empty %prec ","
  ;

ParamSeparator
  : ","
  | %empty %prec "NEGOP"
  ;

%%
