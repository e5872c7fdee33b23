// reader.cpp: the entries that find, read and parse a template file or a
// computed text into a syntax tree.
#include "frontend/reader.h"

#include <cstring>

#include "diag/errorpages.h"
#include "diag/messages.h"
#include "driver/globals.h"
#include "frontend/parser.h"
#include "frontend/scanner.h"
#include "frontend/source.h"
#include "support/filesearch.h"

const char* dbhLastFoundFile(Globals* G) {
  const char* f = G->serverInterface->X_FoundFile;
  return f[0] != '\0' ? f : nullptr;
}

Token* dbhReadFileInternal(Globals* G, const char* name, const char* path,
                           bool linksAllowed, bool showErrors) {
  dbhInitSource(G);
  G->Errors->X_NoErrors = 1;
  BeginScanner(G, false);
  char found[kFoundFileSize];
  if (os_search_braxel(path, name, found, sizeof found, linksAllowed) != kFound) {
    G->serverInterface->X_FoundFile[0] = '\0';
    return nullptr;
  }
  // The stored name stays put for the whole run: the syntax-error page and
  // its re-read may hold on to it.
  std::memcpy(G->serverInterface->X_FoundFile, found, std::strlen(found) + 1);
  BeginFile(G, found);
  if (G->Scanner->errorIndication != 0) {
    // found a moment ago, but it cannot be opened now: not found after all
    G->serverInterface->X_FoundFile[0] = '\0';
    CloseScanner(G);
    return nullptr;
  }
  StartInputState(G);
  Parser(G);
  Token* tree = G->Parser->root;
  CloseScanner(G);
  SetMarkerRecording(G, false);
  if (G->Errors->X_NoErrors == 0 && showErrors)
    ShowSyntaxErrors(G, tree, G->serverInterface->X_FoundFile);
  return tree;
}

Token* dbhReadFile(Globals* G, const char* name, const char* path, bool linksAllowed) {
  return dbhReadFileInternal(G, name, path, linksAllowed, false);
}

Token* dbhReadFileHandle(Globals* G, const char* name, const char* path,
                         bool linksAllowed) {
  return dbhReadFileInternal(G, name, path, linksAllowed, true);
}

Token* dbhReadString(Globals* G, const char* text) {
  if (text == nullptr) return nullptr;
  dbhInitSource(G);
  BeginScanner(G, false);
  BeginStringInput(G, text);
  if (G->Scanner->errorIndication != 0) return nullptr;
  StartInputState(G);
  Parser(G);
  Token* tree = G->Parser->root;
  CloseScanner(G);
  return tree;
}
