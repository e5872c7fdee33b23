// server.cpp: the context record itself, the serverInterface record, the
// fatal path, the error log and the web server's request facts. Base
// library: the module records above it are created in request.cpp.
#include "driver/globals.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "driver/config.h"
#include "driver/http.h"
#include "driver/output.h"
#include "support/memory.h"

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
  serverDropCapture();
}

void serverInterfaceFinalizeGV(Globals* G) {
  ServerInterface* si = G->serverInterface;
  if (si == nullptr) return;
  // The held page (and the header, which reads the configuration) goes out
  // before anything is released.
  HttpEnd(G);
  FreeResourceConfig(si->X_Resource);
  bxFree(si->X_IncludePath);
  G->serverInterface = nullptr;
  si->~ServerInterface();
  bxFree(si);
}

// ---------------------------------------------------------------------------
// The fatal path

// Process-wide, like the output slots: it is the way out of whatever request
// the process runs, and a refused allocation may come here without a G.
static FatalHandler fatalHandler = nullptr;

FatalHandler serverSetFatalHandler(FatalHandler handler) {
  const FatalHandler previous = fatalHandler;
  fatalHandler = handler;
  return previous;
}

void serverFatal(Globals* G, const FatalEvent& event) {
  if (fatalHandler != nullptr) fatalHandler(G, event);
  // No handler (a program built on the base library alone), or one that
  // returned: the message, when there is one, goes to standard error, and
  // the process ends as a fatal error does.
  if (event.text != nullptr)
    std::fprintf(stderr, "%s%s\n", event.text, event.info != nullptr ? event.info : "");
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(1);
}

void serverExit(Globals* G, const char* /*reason*/) {
  serverFatal(G, FatalEvent{nullptr, NoPosition, nullptr});
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

// ---------------------------------------------------------------------------
// Request facts of the web server

const char* serverOwnLink() { return std::getenv("SCRIPT_NAME"); }

const char* serverRemoteIp() {
  const char* addr = std::getenv("REMOTE_ADDR");
  if (addr != nullptr) return addr;
  if (std::getenv("REQUEST_METHOD") != nullptr) return nullptr;
  return "static";
}

const char* serverRemoteUser() { return std::getenv("REMOTE_USER"); }
