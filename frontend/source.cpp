// source.cpp: raw input for the scanner (template files, dynamic text, form
// parameters), the stack of open sources and the include-once registry.
#include "frontend/source.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "diag/messages.h"
#include "driver/globals.h"
#include "frontend/scanner.h"
#include "support/memory.h"
#include "support/system.h"

const char* const kDynamicTextName = "** DYNAMIC TEXT **";

// ---------------------------------------------------------------------------
// Helpers

// A copy of the first n bytes of text that lives until the end of the request.
static const char* keepName(Globals* G, const char* text, size_t n) {
  SourceRec* S = G->Source;
  IncludeOnceNode* node = bxNew<IncludeOnceNode>(G);
  node->name = STRNDUP(G, text, n);
  node->next = S->ownedNames;
  S->ownedNames = node;
  return node->name;
}

// The current file name of token positions lives in the scanner's attribute.
static void setPositionFile(Globals* G, const char* name) {
  if (G->ScannerAttribute != nullptr) G->ScannerAttribute->pos.file = name;
}

static Position currentPosition(Globals* G) {
  return G->ScannerAttribute != nullptr ? G->ScannerAttribute->pos : NoPosition;
}

// Remembers the read state of the current level, so that it can be resumed
// when a level opened above it is closed again.
static void saveLevelMode(SourceRec* S) {
  const int top = S->X_FileStackTop;
  if (top >= 1 && top <= kMaxIncludeDepth) {
    S->readModes[top] = S->X_ReadParameters;
    S->dynamicTexts[top] = S->dynamicText;
  }
}

static void freeList(IncludeOnceNode* node) {
  while (node != nullptr) {
    IncludeOnceNode* next = node->next;
    bxFree(node->name);
    bxFree(node);
    node = next;
  }
}

// Delivers up to size bytes of *text; the mode becomes rmExhausted at its end.
static long readText(SourceRec* S, const char** text, char* buffer, size_t size) {
  const size_t rest = std::strlen(*text);
  if (rest > size) {
    std::memcpy(buffer, *text, size);
    *text += size;
    return static_cast<long>(size);
  }
  std::memcpy(buffer, *text, rest);
  *text += rest;
  S->X_ReadParameters = rmExhausted;
  return static_cast<long>(rest);
}

static long readDescriptor(int fd, char* buffer, size_t size) {
  const long n = Read(fd, buffer, size);
  return n > 0 ? n : 0;
}

// ---------------------------------------------------------------------------
// Module record

void SourceInitializeGV(Globals* G) {
  G->Source = static_cast<SourceRec*>(bxAllocZeroAs(G, sizeof(SourceRec), offsetof(SourceRec, X_Log)));
  G->Source->X_ReadParameters = rmFormParameters;
  G->Source->formBodyLeft = -1;
}

void SourceFinalizeGV(Globals* G) {
  SourceRec* S = G->Source;
  if (S == nullptr) return;
  freeList(S->includeOnce);
  freeList(S->ownedNames);
  bxFree(S);
  G->Source = nullptr;
}

// ---------------------------------------------------------------------------
// Opening and closing sources

void dbhInitSource(Globals* G) {
  SourceRec* S = G->Source;
  S->X_FileStackTop = 0;
  for (int i = 0; i < kSourceLevels; i++) {
    S->fileNames[i] = nullptr;
    S->includeNames[i] = nullptr;
    S->readModes[i] = rmFile;
    S->dynamicTexts[i] = nullptr;
  }
}

int BeginSource(Globals* G, const char* fileName, int opened) {
  SourceRec* S = G->Source;
  saveLevelMode(S);
  const int previousMode = S->X_ReadParameters;
  S->X_ReadParameters = rmFile;
  if (G->Scanner != nullptr) G->Scanner->errorIndication = 0;
  const int fd = opened != -1 ? opened : OpenInput(G, fileName);
  if (fd < 1) {
    // The level that asked keeps reading in its own mode.
    if (S->X_FileStackTop > 0) S->X_ReadParameters = previousMode;
    return fd;
  }
  // The depth is checked before the new name takes over, so that the message
  // stands at the include tag in the including file.
  if (S->X_FileStackTop + 1 > kMaxIncludeDepth) {
    Close(fd);
    FatalMessage(G, "Include files too deeply nested", currentPosition(G));
  }
  if (S->X_Log != nullptr) {
    SourceFile file{fileName, {}};
    if (fstat(fd, &file.status) == 0) S->X_Log->files.push_back(std::move(file));
  }
  const char* name = keepName(G, fileName, std::strlen(fileName));
  setPositionFile(G, name);
  S->X_FileStackTop++;
  S->fileNames[S->X_FileStackTop] = name;
  S->includeNames[S->X_FileStackTop] = nullptr;
  saveLevelMode(S);
  return fd;
}

void BeginString(Globals* G, const char* text) {
  SourceRec* S = G->Source;
  saveLevelMode(S);
  S->X_ReadParameters = rmDynamicText;
  S->dynamicText = text;
  // Dynamic text is parsed afresh after dbhInitSource, so the depth stays
  // small; the slot index is still kept inside the arrays.
  if (S->X_FileStackTop < kMaxIncludeDepth) S->X_FileStackTop++;
  S->fileNames[S->X_FileStackTop] = kDynamicTextName;
  S->includeNames[S->X_FileStackTop] = nullptr;
  setPositionFile(G, kDynamicTextName);
  saveLevelMode(S);
}

void CloseSource(Globals* G, int fd) {
  SourceRec* S = G->Source;
  if (S->X_ReadParameters == rmExhausted || fd < 1) return;
  S->X_FileStackTop--;
  bxAssert(G, S->X_FileStackTop >= 0, "X_FileStackTop >= 0", {"source"});
  const int top = S->X_FileStackTop;
  if (top > 0) {
    if (S->fileNames[top] != nullptr) setPositionFile(G, S->fileNames[top]);
    // Reading goes on in the level below with its own mode.
    S->X_ReadParameters = S->readModes[top];
    S->dynamicText = S->dynamicTexts[top];
  }
  Close(fd);
}

// ---------------------------------------------------------------------------
// Reading

long GetLine(Globals* G, int fd, char* buffer, size_t size) {
  SourceRec* S = G->Source;
  long n = 0;
  switch (S->X_ReadParameters) {
    case rmFile:
      n = readDescriptor(fd, buffer, size);
      break;
    case rmDynamicText:
      n = readText(S, &S->dynamicText, buffer, size);
      break;
    case rmFormParameters: {
      if (S->formText != nullptr) {
        n = readText(S, &S->formText, buffer, size);
        if (S->X_ReadParameters == rmExhausted) S->formText = nullptr;
        break;
      }
      const char* method = std::getenv("REQUEST_METHOD");
      if (method == nullptr || std::strcmp(method, "GET") != 0) {
        // Bytes after an announced length are not part of the body, and a
        // server may keep the descriptor open after them.
        const long left = S->formBodyLeft;
        const bool limited = left >= 0 && size > static_cast<size_t>(left);
        n = readDescriptor(fd, buffer, limited ? static_cast<size_t>(left) : size);
        if (left >= 0) S->formBodyLeft = left - n;
        break;
      }
      const char* query = std::getenv("QUERY_STRING");
      if (query == nullptr) query = "";
      const size_t len = std::strlen(query);
      const size_t count = len < size ? len : size;
      std::memcpy(buffer, query, count);
      S->X_ReadParameters = rmExhausted;
      n = static_cast<long>(count);
      break;
    }
    default:   // rmExhausted
      return 0;
  }
  saveLevelMode(S);
  return n;
}

long SourceSizeHint(Globals* G, int fd, bool* exact) {
  const SourceRec* S = G->Source;
  *exact = false;
  switch (S->X_ReadParameters) {
    case rmFile: {
      struct stat st;
      if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        *exact = true;
        return static_cast<long>(st.st_size);
      }
      return -1;
    }
    case rmDynamicText:
      return S->dynamicText != nullptr ? static_cast<long>(std::strlen(S->dynamicText)) : 0;
    case rmExhausted:
      return 0;
    default:   // rmFormParameters
      return S->formText != nullptr ? static_cast<long>(std::strlen(S->formText)) : -1;
  }
}

// ---------------------------------------------------------------------------
// Include names and the include-once registry

void dbhSetIncludeName(Globals* G, const char* name, size_t length) {
  SourceRec* S = G->Source;
  const int top = S->X_FileStackTop;
  if (top < 1 || top > kMaxIncludeDepth) return;
  S->includeNames[top] = keepName(G, name, length);
}

const char* dbhCurrentIncludeName(Globals* G) {
  const SourceRec* S = G->Source;
  const int top = S->X_FileStackTop;
  if (top < 1 || top > kMaxIncludeDepth) return nullptr;
  return S->includeNames[top];
}

void dbhRegisterIncludeOnce(Globals* G, const char* name) {
  SourceRec* S = G->Source;
  const int64_t before = G->serverInterface->X_MemLeft;
  IncludeOnceNode* node = bxNew<IncludeOnceNode>(G);
  node->name = STRDUP(G, name);
  node->next = S->includeOnce;
  S->includeOnce = node;
  if (S->X_Log != nullptr) S->X_Log->onceCharged += before - G->serverInterface->X_MemLeft;
}

int dbhCheckInIncludeOnce(Globals* G, const char* name) {
  for (const IncludeOnceNode* n = G->Source->includeOnce; n != nullptr; n = n->next) {
    if (std::strcmp(n->name, name) == 0) return 1;
  }
  return 0;
}
