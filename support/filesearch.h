// filesearch.h: path operations, the two search operations and the
// include-name rule. Reading a template is frontend/reader.h.
#pragma once

#include <string>

#include "support/types.h"

// A candidate counts as found when it opens for reading and is not a
// directory. Result codes of the searches; os_search_msg holds their texts.
enum SearchResult : int {
  kFound = 0,          // "File found in search path"
  kNotFound = 1,       // "File not found in search path"
  kNameTooLong = 2,    // "Resulting file name too long"
  kIllegalSearch = 3,  // "Illegal search path or name"
};
extern const char* const os_search_msg[4];

bool os_isAbsolutePath(const char* path);
// The path up to and including its last '/', or "./".
std::string os_dirname(const char* path);
// The text behind the last '/', without the suffix when it ends with it.
std::string os_basename(const char* path, const char* suffix);
// With opened, the file found stays open for reading and *opened receives
// its descriptor.
int os_search(const char* path, const char* name, char* out, size_t size,
              int* opened = nullptr);
int os_search_braxel(const char* path, const char* name, char* out, size_t size,
                     bool linksAllowed, int* opened = nullptr);
bool os_IncludeFilename_Allowed(const char* name);
// Fatal "Include filenames must  be relative and must end on .brx" when the
// name is not allowed.
void dbhCheckIncludeFilename(Globals* G, Position pos, const char* name);
// The same for a name computed at run time, which may come from a visitor:
// it may also hold no ".." component and may not name the configuration
// file (its last component is not ".braxel").
void dbhCheckComputedIncludeFilename(Globals* G, Position pos, const char* name);
