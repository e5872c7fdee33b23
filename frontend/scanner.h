// scanner.h: the template scanner. Token codes are the parser's terminals;
// the attribute of the current token lives in slot 8 of G.
#pragma once

#include "support/types.h"
#include "values/value.h"

// Terminal codes and display names (Parser_TokenName) of the grammar.
enum TokenCode : int {
  tkEndOfFile = 0,     // "_EndOfFile"
  tkIdent = 1,         // "Ident"
  tkInteger = 2,       // "Integer"
  tkReal = 3,          // "Real"
  tkQuotedString = 4,  // "QuotedString"
  tkHTMLText = 5,      // "HTMLText"
  tkTOKchars = 6,      // "TOKchars"
  tkDbquery = 7,       // "<dbquery"
  tkDbupdate = 8,      // "<dbupdate"
  tkDbSection = 9,     // "dbSection"
  tkDbfname = 10,      // "TOKdbfname"
  tkAssign = 11,       // "<assign"
  tkUserTag = 12,      // "<UserTag"
  tkUserEnv = 13,      // "<UserEnvironment"
  tkInpfield = 14,     // "TOKinpfield"
  tkUserEnvEnd = 15,   // "</UserEnvironment"
  tkGreater = 16,      // ">"
  tkDbEnd = 17,        // "</db"
  tkInclude = 18,      // "<include"
  tkIncludeEnd = 19,   // "</include"
  tkShell = 20,        // "<shell"
  tkShellEnd = 21,     // "</shell"
  tkMail = 22,         // "<mail"
  tkEqual = 23,        // "="
  tkPlus = 24,         // "+"
  tkMinus = 25,        // "-"
  tkStar = 26,         // "*"
  tkSlash = 27,        // "/"
  tkPercent = 28,      // "%"
  tkNull = 29,         // "null"
  tkEmptytuple = 30,   // "emptytuple"
  tkLBracket = 31,     // "["
  tkComma = 32,        // ","
  tkDot = 33,          // "."
  tkLParen = 34,       // "("
  tkRParen = 35,       // ")"
  tkTrue = 36,         // "true"
  tkFalse = 37,        // "false"
  tkLess = 38,         // "<"
  tkEqEq = 39,         // "=="
  tkNotEq = 40,        // "!="
  tkAndAnd = 41,       // "&&"
  tkOrOr = 42,         // "||"
  tkLessEq = 43,       // "<="
  tkGreaterEq = 44,    // ">="
  tkNot = 45,          // "!"
  tkRBracket = 46,     // "]"
  tkMailEnd = 47,      // "</mail"
  tkAssignEnd = 48,    // "</="
  tkLet = 49,          // "<let"
  tkWhile = 50,        // "<while"
  tkWhileEnd = 51,     // "</while"
  tkIfempty = 52,      // "<ifempty"
  tkThen = 53,         // "<then"
  tkIfEnd = 54,        // "</if"
  tkElse = 55,         // "<else"
  tkIf = 56,           // "<if"
  tkQuestion = 57,     // "<?"
  tkDef = 58,          // "<def"
  tkDefEnd = 59,       // "</def"
  tkDefenv = 60,       // "<defenv"
  tkDefenvEnd = 61,    // "</defenv"
  tkDefbody = 62,      // "<defbody"
  tkReturn = 63,       // "<return"
  tkBreak = 64,        // "<break"
  tkNEGOP = 65,        // "NEGOP"
  tkNOTOP = 66,        // "NOTOP"
  kTerminalCount = 67,
  // form-argument states only
  tkFormName = 1001,
  tkFormValue = 1002,
  tkFormEnd = 1003,
  tkFormDot = 1004,
};

// The attribute of the current token (overwritten by every token; the parser
// copies it). Only the members named for the token are meaningful.
struct ScanAttr {
  const char* text;     // the token's text in the input buffer
  Position pos;
  uint16_t length;
  uint16_t nodeKind;    // <dbquery 7, <dbupdate 6/51/54, dbSection 55..64, TOKdbfname kinds
  Ident ident;          // Ident, <UserTag, <UserEnvironment, </UserEnvironment,
                        // <dbquery (query name), <dbupdate/dbSection (identifier)
  int32_t integer;      // Integer
  float real;           // Real (single precision)
  chars string;         // QuotedString (charged allocation), form value pieces
                        // (pointer into the buffer, valid until the next token)
  Token* textNode;      // HTMLText: a ready TKtext node
  Ident fieldName;      // TOKdbfname
  Ident qualifier;      // TOKdbfname
};
// The attribute is charged (here and in the parser's stack entries) as it
// was before its fields were ordered without padding.
inline constexpr size_t kScanAttrCharge = 88;

// The scanner module record (slot 7).
struct ScannerRec {
  int errorIndication;    // 0 none, 1 memory, 2 stack overflow, 3 underflow, 4 cannot open
  Ident formatIds[7];     // html, furl, quoted, dbhtml, input, custom, hstv
  Position pendingLess;   // position of the last "<" that opened a tag
};
// Indexes of ScannerRec::formatIds.
enum FormatWord : int {
  fwHtml, fwFurl, fwQuoted, fwDbhtml, fwInput, fwCustom, fwHstv,
};

// The customer-specific format word: `<dbf name cust>` gives the field output
// kind 13, and `cust` in an expression is the format identifier fwCustom.
inline constexpr const char* kCustomFormatWord = "cust";
// The format words in FormatWord order; their names are the first a request
// makes.
inline constexpr const char* kFormatWords[fwHstv + 1] = {
    "html", "furl", "quoted", "dbhtml", "input", kCustomFormatWord, "hstv"};

void ScannerInitializeGV(Globals* G);
void ScannerFinalizeGV(Globals* G);
// The token attribute (slot 8) and the buffer record (slot 9); called by
// ScannerInitializeGV / ScannerFinalizeGV.
void ScannerInitializeGeneratedGV(Globals* G);
void ScannerFinalizeGeneratedGV(Globals* G);
void BeginScanner(Globals* G, bool withInput);
// With opened (not -1) the file is read from that descriptor, which the
// scanner then owns.
void BeginFile(Globals* G, const char* name, int opened = -1);
void BeginStringInput(Globals* G, const char* text);   // dynamic text level
void CloseFile(Globals* G);
void StartInputState(Globals* G);
int GetToken(Globals* G);
int GetWord(Globals* G, char* buffer);
int GetLower(Globals* G, char* buffer);
int GetUpper(Globals* G, char* buffer);
int ScannerGetLine(Globals* G);
void CloseScanner(Globals* G);
// Default attribute of a token inserted by the parser's error repair.
void ErrorAttribute(Globals* G, int token, ScanAttr* attribute);
// Scanner side of an insertion: after an inserted ">" the scanner returns to
// text, and a lookahead other than end of file becomes a one-blank text
// token (written into *lookahead / *attribute).
void dbhHandleErrorInsert(Globals* G, int token, int* lookahead, ScanAttr* attribute);
