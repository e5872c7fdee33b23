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

// The main template of a request. In a process that serves many requests
// (TemplateCacheStart) the tree of an unchanged template is taken from the
// template cache, unless the configuration says templatecache=F; the
// request goes on exactly as after a parse. Otherwise dbhReadFileHandle.
Token* dbhReadTemplate(Globals* G, const char* name, const char* path, bool linksAllowed);
// Turns the template cache on for the rest of the process.
void TemplateCacheStart();
// Drops every kept template (a worker that ends releases them).
void TemplateCacheClear(Globals* G);
// What the kept parses charged, in bytes: the cache's share of the heap.
int64_t TemplateCacheBytes();
