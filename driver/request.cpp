// request.cpp: the module records of the global context in creation order,
// and the hooks through which the base library reaches the layers above it
// (the fatal handler of a CGI or command-line run among them).
#include "driver/request.h"

#include <cstdio>
#include <cstdlib>

#include "db/dbi.h"
#include "db/dblayer.h"
#include "db/query.h"
#include "diag/debug.h"
#include "diag/errorpages.h"
#include "diag/messages.h"
#include "driver/http.h"
#include "frontend/parser.h"
#include "frontend/scanner.h"
#include "frontend/source.h"
#include "frontend/tree.h"
#include "interp/builtins.h"
#include "interp/interpret.h"
#include "session/session.h"
#include "support/idents.h"
#include "support/memory.h"
#include "support/system.h"
#include "values/value.h"

// ---------------------------------------------------------------------------
// All records

// The Storage and serverInterface records come first: every later record
// is charged against the budget that the serverInterface record holds.
Globals* InitializeAllGV(long instance) {
  Globals* G = globalsInitializeGV(instance);
  StorageInitializeGV(G);
  serverInterfaceInitializeGV(G);
  SystemInitializeGV(G);
  IdentsInitializeGV(G, kStartNames);
  ErrorsInitializeGV(G);
  SourceInitializeGV(G);
  ScannerInitializeGV(G);
  ParserInitializeGV(G);
  tokenInitializeGV(G);
  dbInitializeGV(G);
  dbiInitializeGV(G);
  valueInitializeGV(G);
  dbhfunInitializeGV(G);
  dbhtmlInitializeGV(G);
  htmlInitializeGV(G);
  queryInitializeGV(G);
  environmentInitializeGV(G);
  exprInitializeGV(G);
  sessionInitializeGV(G);
  cmcInitializeGV(G);
  return G;
}

// Neither commits nor rolls back nor writes output. The serverInterface
// record goes first, so later finalizers read settings through Cfg(),
// which falls back to the defaults.
void FinalizeAllGV(Globals* G) {
  serverInterfaceFinalizeGV(G);
  SystemFinalizeGV(G);
  IdentsFinalizeGV(G);
  ErrorsFinalizeGV(G);
  SourceFinalizeGV(G);
  ScannerFinalizeGV(G);
  ParserFinalizeGV(G);
  tokenFinalizeGV(G);
  dbFinalizeGV(G);
  dbiFinalizeGV(G);
  valueFinalizeGV(G);
  dbhfunFinalizeGV(G);
  dbhtmlFinalizeGV(G);
  htmlFinalizeGV(G);
  queryFinalizeGV(G);
  environmentFinalizeGV(G);
  exprFinalizeGV(G);   // its record is created at start-up like the others
  sessionFinalizeGV(G);
  cmcFinalizeGV(G);
  StorageFinalizeGV(G);
  globalsFinalizeGV(G);
}

// Every allocation must meet its free where a leak checker looks.
#if defined(__SANITIZE_ADDRESS__)
static constexpr bool kReleaseAtExit = true;
#else
static constexpr bool kReleaseAtExit = false;
#endif

void EndProcessGV(Globals* G) {
  if (kReleaseAtExit) {
    FinalizeAllGV(G);
    return;
  }
  // In FinalizeAllGV's order.
  if (G->serverInterface != nullptr) HttpEnd(G);
  sessionEndProcess(G);
}

// ---------------------------------------------------------------------------
// Hooks

// The fatal handler of a CGI or command-line run: a fatal message gets its
// error page (which comes back here through serverExit); then the records
// are ended (EndProcessGV), the streams flushed, and the process ends with
// status 1.
// Nothing is committed: the database rolls the open transaction back.
// The first part of every fatal end: the status and the fatal message's
// page (which comes back to the handler through serverExit, text null).
static void fatalPage(Globals* G, const FatalEvent& event) {
  // Unless the error said otherwise: a server error, if the header has not
  // gone yet.
  HttpErrorStatus(500);
  if (event.text != nullptr && G != nullptr)
    HandleFatalMessage(G, event.text, xxFatal, event.pos, event.info);
}

static void endProcess(Globals* G, const FatalEvent& event) {
  fatalPage(G, event);
  // A fatal error raised while the records are being ended must not end
  // them a second time.
  static bool finalizing = false;
  if (!finalizing && G != nullptr) {
    finalizing = true;
    EndProcessGV(G);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(1);
}

// The fatal handler of a persistent mode: the page as above, then the
// unwinding to the request loop, which releases the records. Every frame
// between here and the loop is left as it stands; what those frames owned
// is released with the records or stays charged to the request that ends.
static void endRequest(Globals* G, const FatalEvent& event) {
  fatalPage(G, event);
  throw RequestEnded{1};
}

// Where a built-in or the interpreter stands: the position of a fatal
// message that the value module raises.
static Position interpreterPosition(Globals* G) {
  return G->dbhtml != nullptr ? G->dbhtml->X_MsgPos : NoPosition;
}

void InstallUpperHooks() {
  serverSetFatalHandler(endProcess);
  valueSetHooks(ValueHooks{InSessionSpaces, interpreterPosition, ShowTuple});
}

void InstallRequestEndHook() { serverSetFatalHandler(endRequest); }
