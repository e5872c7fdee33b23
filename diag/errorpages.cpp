// errorpages.cpp: the message writer and the error pages (fatal, database,
// syntax errors, computed-text syntax errors), with the error files.
#include "diag/errorpages.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "db/dblayer.h"
#include "diag/debug.h"
#include "diag/display.h"
#include "diag/messages.h"
#include "diag/sourcedisplay.h"
#include "driver/config.h"
#include "driver/globals.h"
#include "driver/http.h"
#include "driver/output.h"
#include "frontend/reader.h"
#include "frontend/tree.h"
#include "support/memory.h"
#include "support/system.h"

// ---------------------------------------------------------------------------
// The message writer and the page frame
// ---------------------------------------------------------------------------

// The text of an error code, or null for a code without a text of its own.
static const char* codeText(int code) {
  switch (code) {
    case ecNone: return "";
    case ecSyntax: return "syntax error";
    case ecExpectedTokens: return "Syntax error, expected tokens";
    case ecRestartPoint: return "restart point";
    case ecTokenInserted: return "token inserted";
    case ecIllegalCharacter: return "illegal character";
    default: return nullptr;
  }
}

static void writeCode(Globals* G, int code) {
  const char* t = codeText(code);
  if (t) {
    serverPuts(t, ErrOut(G));
  } else {
    serverPrintf(ErrOut(G), " error code: %d", code);
  }
}

void WriteMessageParts(Globals* G, uint16_t kind, uint16_t code, Position pos,
                       const char* text, const char* info) {
  ErrorsRec* e = G->Errors;
  FILE* out = ErrOut(G);
  if (e->X_NoErrors) {
    e->X_NoErrors = 0;
    serverPuts("</table> </table> </table>\n", out);
    serverPuts("<HTML> <title> braxel Error Message  </title>\n", out);
    serverPuts("<h1> <b>b<i>ra</i>xel</b> Error  </h1>\n", out);
  }
  if (!SameFile(pos.file, e->prevFile)) {
    if (pos.file) serverPrintf(out, "In File %s: \n", pos.file);
    e->prevFile = pos.file;
  }
  serverPrintf(out, "at Line:%i Col:%i ", pos.line, pos.column);
  serverPuts(": ", out);
  switch (kind) {
    case mkCode:
      writeCode(G, code);
      break;
    case mkCodeInfo:
      writeCode(G, code);
      if (info) wwwputs(G, info);
      break;
    case mkText:
      if (text) serverPuts(text, out);
      break;
    case mkTextInfo:
      if (text) serverPuts(text, out);
      if (info) wwwputs(G, info);
      break;
    default:
      break;
  }
  serverPutc('\n', out);
}

void WriteMessage(Globals* G, const MessageRecord* r) {
  WriteMessageParts(G, r->kind, r->code, r->position, r->text, r->info);
}

void ShowMessages(Globals* G) {
  serverPuts("<pre>", G->serverInterface->X_Out);
  for (MessageRecord* r = G->Errors->head; r; r = r->next) {
    if (r->kind >= mkCode && r->kind <= mkTextInfo) WriteMessage(G, r);
  }
  serverPuts("</pre>\n", G->serverInterface->X_Out);
  ClearMessages(G);
}

void WritePageHead(Globals* G) {
  FILE* out = ErrOut(G);
  serverPuts("</table> </table> </table>\n", out);
  serverPuts("<HTML> <head> <title> braxel Message  </title> </head> \n", out);
  serverPuts("<body bgcolor=#ffffff>\n", out);
}

void WritePageTail(Globals* G) {
  FILE* out = ErrOut(G);
  serverPuts("</body>\n", out);
  serverPuts("</html>\n", out);
}

// ---------------------------------------------------------------------------
// Pieces of the error pages
// ---------------------------------------------------------------------------

static bool nonEmpty(const char* s) { return s != nullptr && *s != '\0'; }

static void mailLink(Globals* G, const char* admin) {
  FILE* out = ErrOut(G);
  serverPuts("<a href=\"mailto:", out);
  wwwputs(G, admin);
  serverPuts("\"> ", out);
  wwwputs(G, admin);
  serverPuts(" </a>", out);
}

// The last step of every fatal path: the error-log line, then the exit.
// serverLog keeps the entry on one line (visitor data cannot forge more).
[[noreturn]] static void logAndExit(Globals* G, const char* text, Position pos,
                                    const char* info) {
  char line[2048];
  std::snprintf(line, sizeof line, "braxel error in %s %i/%i %s %s", pos.file ? pos.file : " ",
                pos.line, pos.column, text ? text : "", info ? info : "");
  serverLog(G, line);
  serverExit(G);
}

// The two layouts of the error file: the heading, the date line and the
// texts before the client address and the user.
struct ErrorFileLayout {
  const char* heading;
  const char* dateFormat;
  const char* from;
  const char* asUser;
  bool emptyAddressShown;   // the runtime layout shows any address it has
};

static const ErrorFileLayout kRuntimeFile = {
    "<h1> Braxel detected a runtime error in production mode</h1>\n",
    "on %2i-%2i-%2i at %2i:%2i:%2i", " from ", " as user ", true};
static const ErrorFileLayout kDatabaseFile = {
    "<h1> A database error occurred in production mode</h1>\n",
    "on %i-%i-%i at %i:%i:%i", "from ", "as user ", false};

// Error files of one second share the name of the time; the second and
// later get "-2", "-3", ... before ".htm". Beyond this many the error is
// only logged.
static constexpr int kMaxErrorFilesPerSecond = 1000;

// Creates a new error file in dir for the time and returns it open for
// writing, with its name in name; null when none can be created (the
// reason is on standard error). An existing file is never opened, so
// errors of one second, in this or another process, keep their own files.
static FILE* createErrorFile(const char* dir, const struct tm& tmv, char* name, size_t size) {
  for (int n = 1; n <= kMaxErrorFilesPerSecond; ++n) {
    const int len = std::snprintf(name, size, "%s%cbraxelerr%i.%i.%i.%i.%i.%i", dir, '/',
                                  tmv.tm_year, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour,
                                  tmv.tm_min, tmv.tm_sec);
    const size_t used = len < 0 ? 0 : std::min(static_cast<size_t>(len), size - 1);
    if (n == 1) {
      std::snprintf(name + used, size - used, ".htm");
    } else {
      std::snprintf(name + used, size - used, "-%i.htm", n);
    }
    // "x": created here or not at all (O_EXCL).
    FILE* f = std::fopen(name, "wbx");
    if (f != nullptr) return f;
    if (errno != EEXIST) break;
  }
  std::fprintf(stderr, "braxel: cannot create error file %s: %s\n", name,
               std::strerror(errno));
  return nullptr;
}

// Writes the error file into debugdir (nothing when it is not set or no
// file can be created); details writes the page type's details.
static void writeErrorFile(Globals* G, const ErrorFileLayout& layout,
                           void (*details)(Globals*, void*), void* arg) {
  const char* dir = Cfg(G).debugdir;
  if (!nonEmpty(dir)) return;
  const time_t now = std::time(nullptr);
  struct tm tmv{};
  localtime_r(&now, &tmv);
  const size_t size = std::strlen(dir) + 80;
  char* name = static_cast<char*>(bxAlloc(G, size));
  FILE* f = createErrorFile(dir, tmv, name, size);
  if (f == nullptr) {
    bxFree(name);
    return;
  }
  serverSendOutputToFile(G, f);
  FILE* out = ErrOut(G);
  WritePageHead(G);
  serverPuts(layout.heading, out);
  serverPrintf(out, layout.dateFormat, tmv.tm_year, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour,
               tmv.tm_min, tmv.tm_sec);
  const char* ip = serverRemoteIp();
  const char* user = serverRemoteUser();
  if (layout.emptyAddressShown ? ip != nullptr : nonEmpty(ip)) {
    serverPuts(layout.from, out);
    wwwputs(G, ip);
    serverPuts(" ", out);
  }
  if (nonEmpty(user)) {
    serverPuts(layout.asUser, out);
    wwwputs(G, user);
    serverPuts(" ", out);
  }
  serverPuts("<p>\n", out);
  const char* own = serverOwnLink();
  if (own) {
    serverPuts("called url: <a href=\"", out);
    wwwputs(G, own);
    serverPuts("\"> ", out);
    wwwputs(G, own);
    serverPuts(" </a><p>\n", out);
  }
  details(G, arg);
  const bool failed = std::ferror(f) != 0;
  const int savedErrno = errno;
  if (std::fclose(f) != 0 || failed) {
    std::fprintf(stderr, "braxel: cannot write error file %s: %s\n", name,
                 std::strerror(failed ? savedErrno : errno));
  }
  bxFree(name);
  serverSendOutputToClient();
}

// The report of computed text with syntax errors, up to its messages.
static void writeComputedText(Globals* G, const char* text) {
  FILE* out = ErrOut(G);
  serverPuts("<h1>Syntax errors in computed braxel</h1>\n", out);
  serverPuts("The following text was given to the ? tag with braxel format\n<p>\n", out);
  serverPuts("<pre>\n", out);
  wwwputs(G, text);
  serverPuts("</pre>", out);
  serverPuts("The following errors were detected \n<p>\n", out);
}

// ---------------------------------------------------------------------------
// The frame of the fatal and the database error page
// ---------------------------------------------------------------------------

// What a page type fills into the shared frame. arg is the page's own record.
struct PageType {
  const ErrorFileLayout* file;   // the error file of production mode
  bool computedTextInFile;       // the error file reports kept computed text first
  // The message itself, between the stored messages and the context; inFile
  // when it is written into the error file.
  void (*message)(Globals* G, const void* arg, bool inFile);
  // The text of the production page, between the page head and tail.
  void (*apology)(Globals* G, const void* arg);
  // The information of the error-log line.
  const char* (*logInfo)(Globals* G, const void* arg);
};

struct PageFile {
  const PageType* type;
  const void* arg;
  Position pos;
};

static void pageFileDetails(Globals* G, void* p) {
  const PageFile* f = static_cast<const PageFile*>(p);
  const char* computed = G->Errors->display->computedText;
  if (f->type->computedTextInFile && computed) writeComputedText(G, computed);
  ShowMessages(G);
  f->type->message(G, f->arg, true);
  ShowContext(G, f->pos);
}

// Debug mode: the stored messages, the message and the context. Production
// mode: an apology, and the details in an error file. Then the log line and
// the end of the request. A fatal error while the page is being written
// only logs and ends.
[[noreturn]] static void showErrorPage(Globals* G, const PageType& type, const void* arg,
                                       const char* logText, Position pos) {
  DisplayState* d = G->Errors->display;
  if (d->inFatalPage) logAndExit(G, logText, pos, type.logInfo(G, arg));
  d->inFatalPage = true;
  serverDropCapture();
  const bool debug = IsDebugMode(G);
  WritePageHead(G);
  if (debug) {
    ShowMessages(G);
    type.message(G, arg, false);
    ShowContext(G, pos);
    WritePageTail(G);
  } else {
    type.apology(G, arg);
    WritePageTail(G);
    PageFile file{&type, arg, pos};
    writeErrorFile(G, *type.file, pageFileDetails, &file);
  }
  logAndExit(G, logText, pos, type.logInfo(G, arg));
}

// ---------------------------------------------------------------------------
// The fatal error page
// ---------------------------------------------------------------------------

struct FatalDetails {
  const char* text;
  Position pos;
  const char* info;
};

static void fatalMessage(Globals* G, const void* arg, bool inFile) {
  const FatalDetails* f = static_cast<const FatalDetails*>(arg);
  // The error file always has the information part (empty or not).
  const uint16_t kind = inFile || nonEmpty(f->info) ? mkTextInfo : mkText;
  WriteMessageParts(G, kind, 0, f->pos, f->text, f->info);
}

static void fatalApology(Globals* G, const void* /*arg*/) {
  FILE* out = ErrOut(G);
  serverPuts("<h2> Sorry, a transient error occurred while processing ", out);
  serverPuts("this page. ", out);
  const char* admin = Cfg(G).admin;
  if (nonEmpty(admin)) {
    serverPuts("If the problem persists please report it ", out);
    serverPuts("to ", out);
    mailLink(G, admin);
    serverPuts(".\n ", out);
  }
  serverPuts("</h2>\n", out);
}

static const char* fatalLogInfo(Globals* /*G*/, const void* arg) {
  return static_cast<const FatalDetails*>(arg)->info;
}

static const PageType kFatalPage = {&kRuntimeFile, true, fatalMessage, fatalApology,
                                    fatalLogInfo};

void HandleFatalMessage(Globals* G, const char* text, int cls, Position pos, const char* info) {
  (void)cls;
  const FatalDetails details{text, pos, info};
  showErrorPage(G, kFatalPage, &details, text, pos);
}

// ---------------------------------------------------------------------------
// The database error page
// ---------------------------------------------------------------------------

struct DatabaseDetails {
  const char* operation;
  Position pos;
};

static void databaseMessage(Globals* G, const void* arg, bool /*inFile*/) {
  const DatabaseDetails* dd = static_cast<const DatabaseDetails*>(arg);
  dbDispWWWError(G, dd->operation, dd->pos);
}

static void databaseApology(Globals* G, const void* /*arg*/) {
  FILE* out = ErrOut(G);
  const char* admin = Cfg(G).admin;
  const bool offline = !dbIsConnected(G);
  serverPuts(offline ? "<h2> Sorry, the database is currently offline </h2> "
                     : "<h2> Sorry an error occurred while accessing the database  </h2> ",
             out);
  if (nonEmpty(admin)) {
    serverPuts(offline ? "You can contact  " : "If the problem persists, you can contact  ",
               out);
    mailLink(G, admin);
    serverPuts(" for more information.\n ", out);
  }
  serverPuts("</h2>\n", out);
}

static const char* databaseLogInfo(Globals* G, const void* /*arg*/) { return dbCharError(G); }

static const PageType kDatabasePage = {&kDatabaseFile, false, databaseMessage, databaseApology,
                                       databaseLogInfo};

void dbhDatabaseError(Globals* G, const char* operation, Position pos) {
  // A statement that failed because the time limit interrupted it.
  if (os_TimeLimitSpent()) TimeLimitExceeded(G, pos);
  HttpErrorStatus(dbIsConnected(G) ? 500 : 503);
  const DatabaseDetails details{operation, pos};
  showErrorPage(G, kDatabasePage, &details, "DB-Error", pos);
}

// ---------------------------------------------------------------------------
// The syntax-error page
// ---------------------------------------------------------------------------

// Reads a file again with markers and shows it with its messages.
static void showFileWithMessages(Globals* G, const char* file) {
  DisplayState* d = G->Errors->display;
  ClearMessages(G);
  d->arrowLine = 0;
  d->arrowColumn = 0;
  DropDefinitionsOfFile(G, file);
  SetMarkerRecording(G, true);
  Token* tree = dbhReadFile(G, file, "", true);
  SetMarkerRecording(G, false);
  SortMessages(G);
  BraxelPrettyPrint(G, tree, file);
}

// The production log line of a template with syntax errors: the template
// and where its first error stands (which may be in an included file).
static void logSyntaxErrors(Globals* G, const char* fileName) {
  Position first = NoPosition;
  for (const MessageRecord* r = G->Errors->head; r; r = r->next) {
    if (r->kind >= mkCode && r->kind <= mkTextInfo) {
      first = r->position;
      break;
    }
  }
  char line[2048];
  std::snprintf(line, sizeof line,
                "braxel detected syntax errors. Template %s, first error in %s %i/%i",
                nonEmpty(fileName) ? fileName : " ", first.file ? first.file : " ", first.line,
                first.column);
  serverLog(G, line);
}

void ShowSyntaxErrors(Globals* G, Token* tree, const char* fileName) {
  (void)tree;
  ErrorsRec* e = G->Errors;
  DisplayState* d = e->display;
  SetMarkerRecording(G, true);
  d->fileName = fileName;
  HttpErrorStatus(503);
  serverDropCapture();
  FILE* out = ErrOut(G);
  if (!IsDebugMode(G)) {
    WritePageHead(G);
    serverPuts("<h2> Sorry, this page is temporarly offline\n", out);
    serverPuts("while it is being updated. </h2>\n", out);
    WritePageTail(G);
    logSyntaxErrors(G, fileName);
    serverExit(G);
  }
  d->inFatalPage = true;

  // The sources to show: the file itself, then every other file that has a
  // record, in list order.
  int count = 0;
  int capacity = 8;
  const char** files = static_cast<const char**>(bxAlloc(G, capacity * sizeof(char*)));
  for (MessageRecord* r = e->head; r; r = r->next) {
    const char* f = r->position.file;
    if (f == nullptr || SameFile(f, fileName) || f[0] == '*') continue;
    bool seen = false;
    for (int i = 0; i < count && !seen; ++i) seen = SameFile(files[i], f);
    if (seen) continue;
    if (count == capacity) {
      const char** bigger =
          static_cast<const char**>(bxAlloc(G, 2 * capacity * sizeof(char*)));
      std::memcpy(bigger, files, count * sizeof(char*));
      bxFree(files);
      files = bigger;
      capacity *= 2;
    }
    files[count++] = STRDUP(G, f);
  }
  const char* mainFile = STRDUP(G, fileName);

  serverPuts("<html></table></table></table>", out);
  serverPuts("<title>braxel - Source ", out);
  wwwputs(G, mainFile);
  serverPuts(" </title>\n", out);
  serverPuts("<body bgcolor=#ffffff>\n", out);
  serverPuts("<h1> b<i>ra</i>xel Syntax Errors Found</h1>\n", out);
  e->messageCounter = 0;
  serverPuts("<a href=\"#msg1\"><i><font color=\"green\">First Error Message</font></i></a><p>\n",
             out);
  showFileWithMessages(G, mainFile);
  for (int i = 0; i < count; ++i) showFileWithMessages(G, files[i]);
  ++e->messageCounter;
  serverPrintf(out, "<a name=\"msg%i\">", e->messageCounter);
  serverPuts("<i><font color=\"green\">No More Error Messages</font></i></a><p>\n", out);
  serverExit(G);
}

void ShowStringSyntaxErrors(Globals* G, Token* tree, const char* text) {
  (void)tree;
  if (!IsDebugMode(G)) {
    // A visitor never sees template text: the error file keeps the report.
    DisplayState* d = G->Errors->display;
    bxFree(const_cast<char*>(d->computedText));
    d->computedText = STRDUP(G, text ? text : "");
    return;
  }
  serverDropCapture();
  WritePageHead(G);
  writeComputedText(G, text ? text : "");
  ShowMessages(G);
}

