// reader.h: finding, reading and parsing a template file or a computed text
// into a syntax tree (the search itself is support/filesearch.h).
#pragma once

#include "support/types.h"

// Search, read and parse a template file; null when the search fails
// (X_NoErrors then still 1). With showErrors, syntax errors produce the
// syntax-error page and end the request.
Token* dbhReadFileInternal(Globals* G, const char* name, const char* path,
                           bool linksAllowed, bool showErrors);
Token* dbhReadFile(Globals* G, const char* name, const char* path, bool linksAllowed);
Token* dbhReadFileHandle(Globals* G, const char* name, const char* path,
                         bool linksAllowed);
// The file name found by the last dbhReadFileInternal (for error pages).
const char* dbhLastFoundFile(Globals* G);
// Parse computed template text; null when the scanner fails to start.
Token* dbhReadString(Globals* G, const char* text);
