// source.h: raw input for the scanner: template files, dynamic text and the
// form parameters, with the include stack and the include-once registry.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/types.h"

inline constexpr int kMaxIncludeDepth = 15;
// Slots of the per-level arrays: level 0 (nothing open) and levels 1..15.
inline constexpr int kSourceLevels = kMaxIncludeDepth + 1;
extern const char* const kDynamicTextName;   // "** DYNAMIC TEXT **"

// Read modes: where GetLine takes the bytes of the current level from.
enum ReadMode : int {
  rmFile = 0,             // the level's file descriptor
  rmDynamicText = 1,      // the dynamic text (computed braxel)
  rmExhausted = 2,        // nothing more: a text or the form input was delivered
  rmFormParameters = 3,   // the form input: the decodeurl text, the request
                          // body, or QUERY_STRING for a GET request
};

struct IncludeOnceNode {
  IncludeOnceNode* next;
  char* name;
};

// What a parse reads, written down while a template cache watches it: each
// file opened (the template and its parse-time includes) with what stat
// says of it at that moment, and what the include-once registrations
// charged to the budget.
struct SourceFile {
  std::string name;
  struct stat status;
};
struct SourceLog {
  std::vector<SourceFile> files;
  int64_t onceCharged;
};

struct SourceRec {
  int X_ReadParameters;         // the ReadMode of the current level
  const char* dynamicText;      // rest of the dynamic text (owned by the caller)
  int X_FileStackTop;           // 0 when nothing is open
  const char* fileNames[kSourceLevels];    // levels 1..15
  const char* includeNames[kSourceLevels];
  int readModes[kSourceLevels];            // the ReadMode of each level
  const char* dynamicTexts[kSourceLevels]; // the dynamic-text pointer of each level
  IncludeOnceNode* includeOnce;
  const char* formText;         // when set, rmFormParameters reads this text (decodeurl);
                                // it is consumed like dynamic text and cleared
                                // when it has been delivered
  IncludeOnceNode* ownedNames;  // every file and include name copied, kept for
                                // the whole request (positions point into them)
  long formBodyLeft;            // rmFormParameters, request body: bytes still to read from
                                // the descriptor, or -1 to read to its end
  SourceLog* X_Log;             // null unless a template cache watches a parse (last:
                                // the record is charged for the fields before it)
};

void SourceInitializeGV(Globals* G);
void SourceFinalizeGV(Globals* G);
void dbhInitSource(Globals* G);
// With opened (not -1) the file is read from that descriptor, which the
// source then owns, instead of being opened.
int BeginSource(Globals* G, const char* fileName, int opened = -1);
void BeginString(Globals* G, const char* text);
long GetLine(Globals* G, int fd, char* buffer, size_t size);
void CloseSource(Globals* G, int fd);
void dbhRegisterIncludeOnce(Globals* G, const char* name);
int dbhCheckInIncludeOnce(Globals* G, const char* name);

// Stores a copy of the first length bytes of name as the include name of the
// current level (the name as written in the include tag that opened it).
void dbhSetIncludeName(Globals* G, const char* name, size_t length);
// The include name of the current level, or null.
const char* dbhCurrentIncludeName(Globals* G);
// How many bytes the next reads on fd will deliver at most, when that is
// known (a regular file, the dynamic text, the decodeurl text); else -1.
// The scanner sizes its buffer with it. *exact tells that the reads deliver
// that many bytes and then only the end (a regular file read whole).
long SourceSizeHint(Globals* G, int fd, bool* exact);
