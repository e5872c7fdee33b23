// messages.cpp: the message store: raising messages (a fatal one goes to the
// fatal handler), storing and ordering them, the source markers, the internal
// failures and the Errors record. The pages that show messages are in
// errorpages.cpp.
#include "diag/messages.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "diag/display.h"
#include "driver/globals.h"
#include "support/idents.h"
#include "support/memory.h"

// ---------------------------------------------------------------------------
// Codes and information
// ---------------------------------------------------------------------------

// The closing tags a missing-closer report is reduced to, in test order.
static const char* const kExpectedWords[] = {
    "/defenv", "/def", "/if", "/assign", "/while", "/db", "/include",
    "/shell", "/mail", "else", "/UserEnvironment",
};

// The first of the closing-tag words that the expected-token text contains,
// or the text itself.
static const char* reduceExpected(const char* text) {
  if (text == nullptr) return text;
  for (const char* word : kExpectedWords) {
    if (std::strstr(text, word) != nullptr) return word;
  }
  return text;
}

// Formats the information of a message into a new charged text.
static char* formatInfo(Globals* G, const MsgInfo& info) {
  char small[64];
  const char* s = nullptr;
  switch (info.cls) {
    case icInt:
      std::snprintf(small, sizeof small, ": %d", static_cast<int32_t>(info.num));
      return STRDUP(G, small);
    case icShort:
      std::snprintf(small, sizeof small, ": %d", static_cast<int16_t>(info.num));
      return STRDUP(G, small);
    case icChar:
      std::snprintf(small, sizeof small, ": %c", static_cast<char>(info.num));
      return STRDUP(G, small);
    case icText:
    case icIdent: {
      s = info.cls == icText ? info.text : GetStringIdent(G, static_cast<Ident>(info.num));
      if (s == nullptr) s = "";
      const size_t n = std::strlen(s);
      char* r = static_cast<char*>(bxAlloc(G, n + 3));
      r[0] = ':';
      r[1] = ' ';
      std::memcpy(r + 2, s, n + 1);
      return r;
    }
    case icTokens: {
      // Every run of ':' becomes a line feed and two tabs.
      s = info.text ? info.text : "";
      const size_t n = std::strlen(s);
      char* r = static_cast<char*>(bxAlloc(G, 3 * n + 1));
      size_t k = 0;
      for (size_t i = 0; i < n;) {
        if (s[i] == ':') {
          while (i < n && s[i] == ':') ++i;
          r[k++] = '\n';
          r[k++] = '\t';
          r[k++] = '\t';
        } else {
          r[k++] = s[i++];
        }
      }
      r[k] = '\0';
      return r;
    }
    default:
      std::snprintf(small, sizeof small, "info class: %d", info.cls);
      return STRDUP(G, small);
  }
}

// A fatal message leaves the store at once: the fatal handler that main
// installed writes its error page and ends the request (serverFatal).
[[noreturn]] static void raiseFatal(Globals* G, const char* text, Position pos,
                                    const char* info) {
  serverFatal(G, FatalEvent{text, pos, info});
}

// ---------------------------------------------------------------------------
// The store
// ---------------------------------------------------------------------------

static MessageRecord* appendRecord(Globals* G, uint16_t kind, Position pos) {
  ErrorsRec* e = G->Errors;
  MessageRecord* r = bxNew<MessageRecord>(G);
  r->next = nullptr;
  r->position = pos;
  r->kind = kind;
  r->code = 0;
  r->errorClass = 0;
  r->info = nullptr;
  r->text = nullptr;
  if (e->tail) {
    e->tail->next = r;
  } else {
    e->head = r;
  }
  e->tail = r;
  return r;
}

bool SameFile(const char* a, const char* b) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  return std::strcmp(a, b) == 0;
}

void ClearMessages(Globals* G) {
  ErrorsRec* e = G->Errors;
  MessageRecord* r = e->head;
  while (r) {
    MessageRecord* next = r->next;
    bxFree(r->info);
    bxFree(r);
    r = next;
  }
  e->head = e->tail = nullptr;
  DisplayState* d = e->display;
  if (d) {
    d->cursor = nullptr;
    d->pendingMsgCount = 0;
  }
}

void ErrorMessage(Globals* G, int code, int cls, Position pos) {
  MessageRecord* r = appendRecord(G, mkCode, pos);
  r->code = static_cast<uint16_t>(code);
  r->errorClass = static_cast<uint16_t>(cls);
  G->Errors->X_NoErrors = 0;
}

void ErrorMessageI(Globals* G, int code, int cls, Position pos, MsgInfo info) {
  if (code == ecExpectedTokens) info.text = reduceExpected(info.text);
  char* formatted = formatInfo(G, info);
  MessageRecord* r = appendRecord(G, mkCodeInfo, pos);
  r->code = static_cast<uint16_t>(code);
  r->errorClass = static_cast<uint16_t>(cls);
  r->info = formatted;
  G->Errors->X_NoErrors = 0;
}

void Message(Globals* G, const char* text, int cls, Position pos) {
  if (cls == xxFatal) raiseFatal(G, text, pos, "");
  MessageRecord* r = appendRecord(G, mkText, pos);
  r->errorClass = static_cast<uint16_t>(cls);
  r->text = text;
  G->Errors->X_NoErrors = 0;
}

void MessageI(Globals* G, const char* text, int cls, Position pos, MsgInfo info) {
  if (text != nullptr && std::strcmp(text, "illegal character") == 0) {
    ErrorMessageI(G, ecIllegalCharacter, cls, pos, info);
    return;
  }
  char* formatted = formatInfo(G, info);
  if (cls == xxFatal) raiseFatal(G, text, pos, formatted);
  MessageRecord* r = appendRecord(G, mkTextInfo, pos);
  r->errorClass = static_cast<uint16_t>(cls);
  r->text = text;
  r->info = formatted;
  G->Errors->X_NoErrors = 0;
}

void FatalMessage(Globals* G, const char* text, Position pos) {
  raiseFatal(G, text, pos, "");
}

void FatalMessageI(Globals* G, const char* text, Position pos, MsgInfo info) {
  raiseFatal(G, text, pos, formatInfo(G, info));
}

void TimeLimitExceeded(Globals* G, Position pos) {
  FatalMessage(G, "Time limit exceeded", pos);
}

// ---------------------------------------------------------------------------
// Source markers
// ---------------------------------------------------------------------------

void SetMarker(Globals* G, int kind, Position pos, int length) {
  if (!G->Errors->recordMarkers) return;
  const int column = pos.column + length;
  pos.column = static_cast<uint16_t>(column < 0 ? 0 : (column > 65535 ? 65535 : column));
  appendRecord(G, static_cast<uint16_t>(kind), pos);
}

void SetMarkerInclude(Globals* G, const char* includedFile, Position pos) {
  if (!G->Errors->recordMarkers) return;
  char* name = STRDUP(G, includedFile ? includedFile : "");
  MessageRecord* r = appendRecord(G, mkInclude, pos);
  r->info = name;
}

void SetMarkerRecording(Globals* G, bool on) { G->Errors->recordMarkers = on; }

// ---------------------------------------------------------------------------
// Sorting
// ---------------------------------------------------------------------------

static bool positionBefore(const Position& a, const Position& b) {
  if (a.line != b.line) return a.line < b.line;
  return a.column < b.column;
}

// Stable merge sort of a run of records by line and column.
static MessageRecord* sortRun(MessageRecord* head) {
  if (head == nullptr || head->next == nullptr) return head;
  MessageRecord* slow = head;
  MessageRecord* fast = head->next;
  while (fast && fast->next) {
    slow = slow->next;
    fast = fast->next->next;
  }
  MessageRecord* right = slow->next;
  slow->next = nullptr;
  MessageRecord* left = sortRun(head);
  right = sortRun(right);
  MessageRecord merged{};
  MessageRecord* tail = &merged;
  while (left && right) {
    if (positionBefore(right->position, left->position)) {
      tail->next = right;
      right = right->next;
    } else {
      tail->next = left;
      left = left->next;
    }
    tail = tail->next;
  }
  tail->next = left ? left : right;
  return merged.next;
}

void SortMessages(Globals* G) {
  ErrorsRec* e = G->Errors;
  MessageRecord** link = &e->head;
  MessageRecord* last = nullptr;
  while (*link) {
    MessageRecord* start = *link;
    MessageRecord* end = start;
    while (end->next && SameFile(end->next->position.file, start->position.file)) end = end->next;
    MessageRecord* rest = end->next;
    end->next = nullptr;
    MessageRecord* sorted = sortRun(start);
    *link = sorted;
    MessageRecord* t = sorted;
    while (t->next) t = t->next;
    t->next = rest;
    last = t;
    link = &t->next;
  }
  e->tail = last;
}

// ---------------------------------------------------------------------------
// Internal failures
// ---------------------------------------------------------------------------

// The bare name of the function a source location lies in: g++ spells it
// with its return type, scope and parameters ("void ns::f(int)" -> "f").
static std::string_view bareFunctionName(const char* spelled) {
  std::string_view name = spelled ? spelled : "";
  name = name.substr(0, name.find('('));
  const size_t start = name.find_last_of(" :");
  if (start != std::string_view::npos) name.remove_prefix(start + 1);
  return name.empty() ? std::string_view("?") : name;
}

void bxAssertFailed(Globals* G, const char* condition, AssertSite site,
                    std::source_location where) {
  const std::string_view function =
      site.operation ? std::string_view(site.operation) : bareFunctionName(where.function_name());
  std::fprintf(stderr, "%s:%u: %.*s: Assertion `%s' failed.\n", site.module ? site.module : "?",
               static_cast<unsigned>(where.line()), static_cast<int>(function.size()),
               function.data(), condition ? condition : "?");
  serverExit(G);
}

void InternalError(Globals* G, const char* text) {
  const char* t = text ? text : "";
  const size_t n = std::strlen(t);
  std::fputs(t, stderr);
  if (n == 0 || t[n - 1] != '\n') std::fputc('\n', stderr);
  serverExit(G);
}

// ---------------------------------------------------------------------------
// Module record
// ---------------------------------------------------------------------------

// The variable display's marks live in the Errors record and go with it.
void ReleasePendingTuples(Globals* G) {
  DisplayState* d = G->Errors->display;
  for (int i = 0; i < d->pendingCount; ++i) bxFree(d->pending[i].path);
  d->pendingCount = 0;
  if (d->slotCapacity) std::memset(d->slots, 0, d->slotCapacity * sizeof(int32_t));
}

void ErrorsInitializeGV(Globals* G) {
  ErrorsRec* e = bxNew<ErrorsRec>(G);
  e->X_NoErrors = 1;
  e->prevFile = nullptr;
  e->head = e->tail = nullptr;
  e->messageCounter = 0;
  e->recordMarkers = false;
  DisplayState* d = static_cast<DisplayState*>(bxAllocZero(G, sizeof(DisplayState)));
  d->localhostAnswer = -1;
  e->display = d;
  G->Errors = e;
}

void ErrorsFinalizeGV(Globals* G) {
  ErrorsRec* e = G->Errors;
  if (e == nullptr) return;
  ClearMessages(G);
  DisplayState* d = e->display;
  if (d) {
    ReleasePendingTuples(G);
    bxFree(d->pending);
    bxFree(d->slots);
    if (d->file) std::fclose(d->file);
    bxFree(const_cast<char*>(d->computedText));
    bxFree(d);
  }
  bxFree(e);
  G->Errors = nullptr;
}
