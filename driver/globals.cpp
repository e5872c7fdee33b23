// globals.cpp: the global context G, its module records in creation order,
// the serverInterface record, the fatal exit and the error log.
#include "driver/globals.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "db/dbi.h"
#include "db/dblayer.h"
#include "db/query.h"
#include "diag/messages.h"
#include "driver/cgi.h"
#include "driver/config.h"
#include "driver/output.h"
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
// The context itself

Globals* globalsInitializeGV(long instance) {
  // G is not charged: the budget does not exist yet.
  Globals* G = bxNewUncharged<Globals>(nullptr);
  G->instance = instance;
  return G;
}

void globalsFinalizeGV(Globals* G) {
  G->~Globals();
  bxFree(G);
}

// ---------------------------------------------------------------------------
// The serverInterface record

void serverInterfaceInitializeGV(Globals* G) {
  ServerInterface* si = bxNewUncharged<ServerInterface>(G);
  si->X_Out = stdout;
  si->X_ErrOut = stdout;
  si->X_Unused = nullptr;
  si->X_IncludePath = nullptr;
  si->X_MemLeft = kInitialMemBudget;
  si->X_Resource = nullptr;
  si->X_FoundFile[0] = '\0';
  G->serverInterface = si;
  serverSendOutputToClient();
  PQTBuffer = nullptr;
}

void serverInterfaceFinalizeGV(Globals* G) {
  ServerInterface* si = G->serverInterface;
  if (si == nullptr) return;
  FreeResourceConfig(si->X_Resource);
  bxFree(si->X_IncludePath);
  G->serverInterface = nullptr;
  si->~ServerInterface();
  bxFree(si);
}

// ---------------------------------------------------------------------------
// All records

// The Storage and serverInterface records come first: every later record
// is charged against the budget that the serverInterface record holds.
Globals* InitializeAllGV(long instance) {
  Globals* G = globalsInitializeGV(instance);
  StorageInitializeGV(G);
  serverInterfaceInitializeGV(G);
  SystemInitializeGV(G);
  IdentsInitializeGV(G);
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

// ---------------------------------------------------------------------------
// Fatal exit

void serverExit(Globals* G, const char* /*reason*/) {
  // A fatal error raised while the records are being released must not
  // release them a second time.
  static bool finalizing = false;
  if (!finalizing && G != nullptr) {
    finalizing = true;
    FinalizeAllGV(G);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(1);
}

// ---------------------------------------------------------------------------
// Error log

// Writes the caller's text as the rest of one log line: line breaks at its
// ends are dropped and those inside become blanks, so that every entry is
// exactly one line and a text holding visitor data cannot forge another.
static void putLogText(FILE* log, const char* text) {
  if (text == nullptr) return;
  const auto isBreak = [](char c) { return c == '\n' || c == '\r'; };
  size_t begin = 0;
  size_t end = std::strlen(text);
  while (begin < end && isBreak(text[begin])) ++begin;
  while (end > begin && isBreak(text[end - 1])) --end;
  for (size_t i = begin; i < end; ++i) std::fputc(isBreak(text[i]) ? ' ' : text[i], log);
}

void serverLog(Globals* G, const char* text) {
  const char* file = Cfg(G).errorlog;
  if (file == nullptr || file[0] == '\0') return;
  FILE* log = std::fopen(file, "a");
  if (log == nullptr) {
    // The page cannot say it and the log is what failed: the web server's
    // error log (standard error) is the operator's last place to look.
    std::fprintf(stderr, "braxel: cannot open error log %s: %s\n", file, std::strerror(errno));
    return;
  }
  static const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  tzset();
  localtime_r(&now, &t);
  // An absent client address or script URL is written as "-".
  const char* ip = serverRemoteIp();
  const char* url = serverOwnLink();
  std::fprintf(log, "[%s %s %2i %.2i:%.2i:%.2i %4i] from: ", kDays[t.tm_wday % 7],
               kMonths[t.tm_mon % 12], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
               t.tm_year + 1900);
  putLogText(log, ip != nullptr ? ip : "-");
  std::fputs(", url: ", log);
  putLogText(log, url != nullptr ? url : "-");
  std::fputs(", ", log);
  putLogText(log, text);
  std::fputc('\n', log);
  // A full disk shows only here.
  const bool failed = std::ferror(log) != 0;
  const int savedErrno = errno;
  if (std::fclose(log) != 0 || failed) {
    std::fprintf(stderr, "braxel: cannot write error log %s: %s\n", file,
                 std::strerror(failed ? savedErrno : errno));
  }
}
