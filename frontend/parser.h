// parser.h: the LALR(1) parser with automatic error recovery.
#pragma once

#include "support/types.h"

struct ParserRec {
  Token* root;          // the statement list of the last parse, or null
  char expected[256];   // full text of the last "expected tokens" message
  bool restartMemo;     // reuse restart sets across errors (on; off to cross-check)
};

extern const char* const Parser_TokenName[67];

void ParserInitializeGV(Globals* G);
void ParserFinalizeGV(Globals* G);
// Parses the scanner's input; returns the number of syntax errors. Never
// fails: errors are recorded and repaired; the root is in G->Parser->root.
int Parser(Globals* G);
void CloseParser(Globals* G);
