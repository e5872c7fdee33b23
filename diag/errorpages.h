// errorpages.h: the pages that show messages: the stored messages, the fatal
// error page, the database error page and the syntax-error pages. Each fatal
// page ends the request through serverExit.
#pragma once

#include "support/types.h"

// Writes the stored messages (kinds 1 to 4) and empties the store.
void ShowMessages(Globals* G);
[[noreturn]] void HandleFatalMessage(Globals* G, const char* text, int cls, Position pos,
                                     const char* info);
[[noreturn]] void dbhDatabaseError(Globals* G, const char* operation, Position pos);
[[noreturn]] void ShowSyntaxErrors(Globals* G, Token* tree, const char* fileName);
void ShowStringSyntaxErrors(Globals* G, Token* tree, const char* text);
