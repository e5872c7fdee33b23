// display.h: state and helpers shared by the diagnostics files (message
// writer, page frame, variable display, source display).
#pragma once

#include "diag/messages.h"
#include "driver/globals.h"
#include "values/value.h"

// One tuple met during a variable display: the access path under which it
// was first met, its anchor number, and whether it still needs a section of
// its own.
struct PendingTuple {
  Tuple* t;
  char* path;
  int number;
  bool needsSection;
};

// One step of the current access path: a field name, or an index for an
// unnamed field.
struct PathStep {
  Ident id;
  int32_t index;
};

inline constexpr int kMaxPathSteps = 32;
inline constexpr int kMaxPendingMessages = 10;

// The display styles: the font a stretch of the source is shown in. The
// source display indexes its table of fonts by them (ORDER DisplayStyle).
enum DisplayStyle : int {
  dsPlain = 0,             // plain text
  dsInTag = 1,             // inside a tag
  dsKeyword = 2,           // tag keywords
  dsUnused = 3,
  dsDefinition = 4,        // definitions (closes their anchor)
  dsCall = 5,              // calls (closes their link)
  dsComment = 6,
  dsString = 7,
  dsMessagePosition = 8,   // where a message without a style of its own stands
  dsSyntaxError = 9,
  dsMessageLines = 10,     // the messages listed under their line
  dsInclude = 11,          // include directives (closes their link)
  dsInsertedToken = 12,
  dsStyleCount
};

// The display state (kept in the Errors record). The variable display never
// writes into tuples: the tuples it has met are kept in a side table
// (open addressing over the tuple addresses) that maps each to its entry
// of the pending list.
struct DisplayState {
  // Variable display.
  PendingTuple* pending;       // entries in the order met
  int pendingCount;
  int pendingCapacity;
  int32_t* slots;              // side table: pending index + 1, 0 empty
  size_t slotCapacity;         // a power of two, or 0
  int anchorCounter;           // anchor numbers, unique for the request
  const char* pathRoot;
  char rootBuffer[24];
  PathStep path[kMaxPathSteps];
  int pathDepth;
  int localhostAnswer;         // -1 not yet looked up, 0 no, 1 yes

  // Source display.
  const char* fileName;        // the file being displayed
  FILE* file;
  int line;
  int column;
  DisplayStyle style;             // the style in force
  DisplayStyle rememberedStyle;   // the style to return to after a message
  int arrowLine;
  int arrowColumn;
  bool arrowWritten;
  bool rawMarkers;
  MessageRecord* cursor;
  MessageRecord* pendingMsgs[kMaxPendingMessages];
  int pendingMsgCount;

  // Computed text whose syntax errors were kept from a visitor: the error
  // file still reports it.
  const char* computedText;

  // Set while a fatal page is being written (a second fatal error then
  // only logs and exits).
  bool inFatalPage;
};

// The stream of the error pages.
inline FILE* ErrOut(Globals* G) { return G->serverInterface->X_ErrOut; }

// Writes one message in the message format (file heading, position, text,
// information, line feed) to the error stream.
void WriteMessage(Globals* G, const MessageRecord* r);
// The same for a message that was not stored (the fatal message itself).
void WriteMessageParts(Globals* G, uint16_t kind, uint16_t code, Position pos,
                       const char* text, const char* info);
// Empties the message list (the records are released).
void ClearMessages(Globals* G);
// Orders each run of records of one file by line and column (stable).
void SortMessages(Globals* G);
// True when the two file names are the same (both none counts as the same).
bool SameFile(const char* a, const char* b);

// Page frame of the error pages.
void WritePageHead(Globals* G);
void WritePageTail(Globals* G);

// Removes the marks of a variable display (the tuples are left as they were).
void CleanupPendingTuples(Globals* G);
// Releases the marks without checking the tuples (used when the module is
// finalized, possibly in the middle of a display).
void ReleasePendingTuples(Globals* G);
