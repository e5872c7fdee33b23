// messages.h: the message store: raising and storing messages. A fatal
// message goes to the fatal handler that main installs (serverFatal), which
// writes its error page (diag/errorpages.h) and ends the request.
#pragma once

#include <source_location>

#include "driver/globals.h"
#include "support/types.h"

// Information classes: the class of a message's information decides how it
// is formatted. Any other class formats as "info class: <class>".
enum InfoClass : int {
  icInt = 1,       // ": %d" of a 32-bit integer
  icShort = 2,     // ": %d" of a 16-bit integer
  icChar = 6,      // ": %c"
  icText = 7,      // ": %s"
  icIdent = 9,     // ": %s" with the identifier's name
  icTokens = 10,   // the expected-token list: each run of ':' starts a new line
};

// The information of a message with information (kinds 2 and 4).
struct MsgInfo {
  int cls;             // an InfoClass
  int64_t num;
  const char* text;
};
inline MsgInfo InfoInt(int32_t v) { return {icInt, v, nullptr}; }
inline MsgInfo InfoShort(int16_t v) { return {icShort, v, nullptr}; }
inline MsgInfo InfoChar(char c) { return {icChar, static_cast<unsigned char>(c), nullptr}; }
inline MsgInfo InfoText(const char* s) { return {icText, 0, s}; }
inline MsgInfo InfoIdent(Ident id) { return {icIdent, id, nullptr}; }
inline MsgInfo InfoTokens(const char* s) { return {icTokens, 0, s}; }

// Error codes: the coded messages of the parser and the scanner (kinds 1 and
// 2). The message writer spells each as its text; any other code is written
// as " error code: <code>".
enum ErrorCode : int {
  ecNone = 0,               // ""
  ecSyntax = 1,             // "syntax error"
  ecExpectedTokens = 2,     // "Syntax error, expected tokens" with the token list
  ecRestartPoint = 3,       // "restart point": recovery resumes here
  ecTokenInserted = 4,      // "token inserted" with the token
  ecIllegalCharacter = 6,   // "illegal character" with the character
};

enum MessageKind : uint16_t {
  mkCode = 1, mkCodeInfo = 2, mkText = 3, mkTextInfo = 4,
  mkKeyword = 10, mkTagEnd = 11, mkInclude = 12, mkCommentStart = 13,
  mkCommentEnd = 14, mkStringStart = 15, mkStringEnd = 16,
};

struct MessageRecord {
  MessageRecord* next;
  Position position;
  uint16_t kind;
  uint16_t code;
  uint16_t errorClass;
  char* info;          // formatted information, owned copy
  const char* text;    // message text, lives for the whole run
};

struct DisplayState;   // variable display and source display (diag/)

// The Errors record (slot 5).
struct ErrorsRec {
  int X_NoErrors;            // 1 while nothing was stored since the last file read began
  const char* prevFile;      // file of the previous message written
  MessageRecord* head;
  MessageRecord* tail;
  int messageCounter;        // anchors of the syntax-error page
  bool recordMarkers;        // the scanner records source markers
  DisplayState* display;     // state of the variable and source displays
};

void ErrorsInitializeGV(Globals* G);
void ErrorsFinalizeGV(Globals* G);

// code is an ErrorCode, cls a MessageClass (support/types.h).
void ErrorMessage(Globals* G, int code, int cls, Position pos);
void ErrorMessageI(Globals* G, int code, int cls, Position pos, MsgInfo info);
// Class 1 takes the fatal path and does not return.
void Message(Globals* G, const char* text, int cls, Position pos);
void MessageI(Globals* G, const char* text, int cls, Position pos, MsgInfo info);
// Fatal shorthands.
[[noreturn]] void FatalMessage(Globals* G, const char* text, Position pos);
[[noreturn]] void FatalMessageI(Globals* G, const char* text, Position pos, MsgInfo info);
// The request's time limit is spent (os_TimeLimitSpent): the fatal message
// "Time limit exceeded" at the statement or tag that noticed it.
[[noreturn]] void TimeLimitExceeded(Globals* G, Position pos);

void SetMarker(Globals* G, int kind, Position pos, int length);
void SetMarkerInclude(Globals* G, const char* includedFile, Position pos);
inline bool MarkerRecording(Globals* G) { return G->Errors->recordMarkers; }
void SetMarkerRecording(Globals* G, bool on);

// ---------------------------------------------------------------------------
// Consistency checks
// ---------------------------------------------------------------------------

// Where a consistency check reports from: the source module it names and,
// for a check that a helper makes on behalf of an operation, that operation's
// name (none: the function the check is written in, from the source location).
struct AssertSite {
  const char* module;
  const char* operation = nullptr;
};

// A failed check: writes "<module>:<line>: <function>: Assertion
// `<condition>' failed." to standard error and ends the request.
[[noreturn]] void bxAssertFailed(Globals* G, const char* condition, AssertSite site,
                                 std::source_location where);

// The one consistency check of the system (an unreachable branch calls
// bxAssertFailed itself). holds is the check, condition the
// text its failure prints (kept as documented where a text is documented);
// the line is the check's own, or the caller's when a helper passes its
// caller's location on. Never a user error: callers report those first.
inline void bxAssert(Globals* G, bool holds, const char* condition, AssertSite site,
                     std::source_location where = std::source_location::current()) {
  if (!holds) [[unlikely]] bxAssertFailed(G, condition, site, where);
}

// Evaluator internal failures: "<operation>: Internal error: ..." on
// standard error, then the request ends.
[[noreturn]] void InternalError(Globals* G, const char* text);
