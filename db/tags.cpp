// tags.cpp: the include, shell, mail and assign tags, which render their
// body to a text and then use it.
#include "db/tags.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "db/query.h"
#include "diag/debug.h"
#include "diag/messages.h"
#include "driver/config.h"
#include "driver/globals.h"
#include "driver/http.h"
#include "driver/output.h"
#include "frontend/reader.h"
#include "frontend/tree.h"
#include "interp/eval.h"
#include "interp/interpret.h"
#include "support/filesearch.h"
#include "support/idents.h"
#include "support/memory.h"
#include "support/system.h"
#include "values/strings.h"

namespace {

constexpr size_t kIncludeNameSize = 1000;
constexpr size_t kBodySize = 32767 + 1;

// The body rendered into a new buffer of the given size (text plus zero),
// charged to the budget; the caller frees it.
char* renderBody(Globals* G, Token* body, size_t size) {
  char* buffer = static_cast<char*>(bxAlloc(G, size));
  InterpretToBuffer(G, buffer, size, body, nullValue);
  return buffer;
}

// Cuts the given characters off the end of a zero-terminated text in place.
void trimTrailing(char* text, const char* chars) {
  size_t n = std::strlen(text);
  while (n > 0 && std::strchr(chars, text[n - 1]) != nullptr) text[--n] = '\0';
}

// The texts joined into one new zero-terminated allocation.
char* joinTexts(Globals* G, std::initializer_list<const char*> parts) {
  size_t n = 1;
  for (const char* p : parts) n += std::strlen(p);
  char* text = static_cast<char*>(bxAlloc(G, n));
  char* end = text;
  for (const char* p : parts) end = stpcpy(end, p);
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Include tag: <include>name</include> runs another template file whose name
// is computed at run time, in the current variable scope.

int include_dbh(Globals* G, Token* node) {
  char* buffer = renderBody(G, node->body, kIncludeNameSize);
  trimTrailing(buffer, " ");
  const char* name = buffer;
  while (*name == ' ') name++;

  dbhCheckComputedIncludeFilename(G, node->position, name);
  EnterNesting(G, node->position);   // before the parse, which recurses too
  const char* path = G->serverInterface->X_IncludePath;
  Token* tree = dbhReadFileHandle(G, name, path != nullptr ? path : "", true);
  // Not found (a file that was found but is empty has no tree either; it
  // runs and writes nothing).
  if (tree == nullptr && dbhLastFoundFile(G) == nullptr) {
    serverDropCapture();
    FILE* out = G->serverInterface->X_Out;
    if (G->Errors->X_NoErrors && !IsDebugMode(G)) {
      // Visitors see the apology; the error file and the log keep the
      // path, which tells where the application lives.
      char* details = joinTexts(G, {name, " using path ", path != nullptr ? path : ""});
      FatalMessageI(G, "Dynamic Include File not found", node->position, InfoText(details));
    }
    if (G->Errors->X_NoErrors) {
      serverPuts("Dynamic Include File not found: \"", out);
      wwwputs(G, name);
      wwwputs(G, "\" using path  \"");
      wwwputs(G, path != nullptr ? path : "");
    } else {
      HttpErrorStatus(503);
      serverPuts("Exit because of syntax errors in include file\n", out);
    }
    serverExit(G);
  }
  bxFree(buffer);
  const int result = Interpret(G, tree, nullValue);
  LeaveNesting(G);
  return result;
}

// Runs the command through /bin/sh as system() does, but in a child that the
// time limit can kill. -1 when no process could be started.
static int runShell(const char* command) {
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    os_ChildEnterGroup();
    execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    _exit(127);
  }
  return os_WaitChild(pid);
}

// ---------------------------------------------------------------------------
// Shell tag: the rendered body runs through the system shell with its
// standard output sent to a temporary file, which is copied into the page.

int execute_shell(Globals* G, Token* node) {
  if (SwitchNotOff(Cfg(G).secure))
    FatalMessage(G, "Shell Tag not allowed in secure mode", node->position);

  char* body = renderBody(G, node->body, kBodySize);
  trimTrailing(body, "\n\r\t ");

  // A unique file per command (two requests in the same second must not
  // share one), removed afterwards.
  const char* dir = Cfg(G).shelltemp != nullptr ? Cfg(G).shelltemp : "/tmp";
  char seconds[24];
  std::snprintf(seconds, sizeof seconds, "%lld", static_cast<long long>(time(nullptr)));
  char* tempName = joinTexts(G, {dir, "/", seconds, "-XXXXXX.brx"});
  const int fd = mkstemps(tempName, 4);
  if (fd < 0) {
    // Without the file the command's output would be lost without a word.
    char* reason = joinTexts(G, {dir, ": ", std::strerror(errno)});
    std::fprintf(stderr, "braxel: cannot create a shell output file in %s\n", reason);
    FatalMessageI(G, "Cannot create temporary file for shell command", node->position,
                  InfoText(reason));
  }
  close(fd);

  char* command = joinTexts(G, {body, " > ", tempName});
  bxFree(body);
  if (runShell(command) == -1) {
    std::remove(tempName);
    char* message = joinTexts(
        G, {"error during execution of shell command: return code is -1, command='", command, "'"});
    FatalMessage(G, message, node->position);
  }
  if (os_TimeLimitSpent()) {
    std::remove(tempName);
    TimeLimitExceeded(G, node->position);
  }

  if (FILE* f = std::fopen(tempName, "rb")) {
    char piece[1024];
    size_t n;
    FILE* out = G->serverInterface->X_Out;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0)
      for (size_t i = 0; i < n; i++) serverPutc(static_cast<unsigned char>(piece[i]), out);
    std::fclose(f);
  }
  std::remove(tempName);
  bxFree(command);
  bxFree(tempName);
  return 0;
}

// ---------------------------------------------------------------------------
// Mail tag: the rendered body is handed to sendmail (with a sender) or mail
// (without one). The program is started directly with an argument vector and
// the message on its standard input: no shell ever sees the texts.

namespace {

enum MailSlot { msSubject, msFrom, msTo, msCc, msBcc, msService, msProfile, msPassword, msCount };
const char* const kMailSlotNames[msCount] = {"subject", "from",    "to",      "cc",
                                             "bcc",     "service", "profile", "password"};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Splits a text in place at blanks into words, as a shell splits an unquoted
// word, appending them to args. Addresses become program arguments: one that
// begins with '-' would be read as an option, so it ends the request.
void addAddresses(Globals* G, char* text, const char** args, int* argc, Position pos) {
  for (char* p = text; *p != '\0';) {
    while (isBlank(*p)) *p++ = '\0';
    if (*p == '\0') break;
    char* word = p;
    while (*p != '\0' && !isBlank(*p)) p++;
    if (*p != '\0') *p++ = '\0';
    if (*word == '-') FatalMessageI(G, "Mail address must not begin with -", pos, InfoText(word));
    args[(*argc)++] = word;
  }
}

int wordCount(const char* text) {
  int n = 0;
  for (const char* p = text; *p != '\0'; ++p)
    if (!isBlank(*p) && (p == text || isBlank(p[-1]))) n++;
  return n;
}

// The most words that a text of this length can hold.
int wordBound(const char* text) { return static_cast<int>(std::strlen(text) / 2 + 1); }

// Runs the program args[0] with args, writing the message to its standard input.
void runWithInput(const char* const* args, const char* message, size_t length) {
  fflush(stdout);
  fflush(stderr);
  int pipefd[2];
  if (pipe(pipefd) != 0) return;
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipefd[0]);
    close(pipefd[1]);
    return;
  }
  if (pid == 0) {
    os_ChildEnterGroup();
    dup2(pipefd[0], 0);
    close(pipefd[0]);
    close(pipefd[1]);
    execvp(args[0], const_cast<char* const*>(args));
    _exit(127);
  }
  close(pipefd[0]);
  struct sigaction ignore {}, saved {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &saved);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(pipefd[1], message + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(pipefd[1]);
  sigaction(SIGPIPE, &saved, nullptr);
  os_WaitChild(pid);
}

}  // namespace

int send_mail(Globals* G, Token* node) {
  // Attributes by position fill the next slot; by name the slot of the name.
  // A slot not given (or given Null) stays null.
  Ident slotIds[msCount];
  for (int i = 0; i < msCount; i++) slotIds[i] = MakeIdent(G, kMailSlotNames[i]);
  char* text[msCount] = {};
  int nextPositional = 0;
  for (Token* a = node->params; a != nullptr; a = a->next) {
    int slot = -1;
    if (a->name == 0) {
      slot = nextPositional < msCount ? nextPositional : -1;
      nextPositional++;
    } else {
      for (int i = 0; i < msCount; i++)
        if (slotIds[i] == a->name) slot = i;
    }
    const Value v = eval(G, a->expr);
    const bool given = v.type != tNull && v.type != tError;
    char* t = Value2Char(G, v);   // releases a temporary value
    if (slot >= 0 && given) {
      bxFree(text[slot]);
      text[slot] = t != nullptr ? t : STRDUP(G, "");
    } else {
      bxFree(t);
    }
  }
  if (text[msTo] == nullptr) FatalMessage(G, "Missing address of recipient", node->position);
  // Header texts: a line break would start a header line of the visitor's
  // own (Bcc:) or, with sendmail, the body.
  for (int slot : {msSubject, msCc, msBcc})
    if (text[slot] != nullptr && std::strpbrk(text[slot], "\r\n") != nullptr)
      FatalMessageI(G, "Line break in mail header", node->position,
                    InfoText(kMailSlotNames[slot]));

  char* body = renderBody(G, node->body, kBodySize);

  // sendmail -t -f FROM... -i TO...   or   mail [-s S] [-c C] [-b B] TO...
  const int most = 8 + wordBound(text[msTo]) + (text[msFrom] ? wordBound(text[msFrom]) : 0);
  const char** args = static_cast<const char**>(bxAlloc(G, sizeof(char*) * static_cast<size_t>(most)));
  int argc = 0;
  const char* message;
  if (text[msFrom] != nullptr) {
    args[argc++] = "sendmail";
    args[argc++] = "-t";
    args[argc++] = "-f";
    // Exactly one sender: further words would become recipients.
    if (wordCount(text[msFrom]) != 1)
      FatalMessageI(G, "Mail sender must be one address", node->position, InfoText(text[msFrom]));
    addAddresses(G, text[msFrom], args, &argc, node->position);
    args[argc++] = "-i";
    const char* none = "";
    message = joinTexts(G, {text[msSubject] ? "Subject: " : none, text[msSubject] ? text[msSubject] : none,
                            text[msSubject] ? "\n" : none, text[msCc] ? "Cc: " : none,
                            text[msCc] ? text[msCc] : none, text[msCc] ? "\n" : none,
                            text[msBcc] ? "Bcc: " : none, text[msBcc] ? text[msBcc] : none,
                            text[msBcc] ? "\n" : none, "\n", body, "\n"});
  } else {
    args[argc++] = "mail";
    const char* const options[] = {"-s", nullptr, nullptr, "-c", "-b"};
    for (int slot : {msSubject, msCc, msBcc}) {
      if (text[slot] == nullptr) continue;
      args[argc++] = options[slot];
      args[argc++] = text[slot];
    }
    message = joinTexts(G, {body, "\n"});
  }
  addAddresses(G, text[msTo], args, &argc, node->position);
  args[argc] = nullptr;
  runWithInput(args, message, std::strlen(message));
  if (os_TimeLimitSpent()) TimeLimitExceeded(G, node->position);

  bxFree(const_cast<char*>(message));
  bxFree(args);
  bxFree(body);
  for (char* t : text) bxFree(t);
  return 0;
}

// ---------------------------------------------------------------------------
// Assign tag: <assign target>text</assign> stores the rendered body.

int perform_assign(Globals* G, Token* node) {
  char* body = renderBody(G, node->body, kBodySize);
  Value* place = evallvalue(G, node->expr);
  if (place->flags & VF_READONLY)
    FatalMessage(G, "Assignment to read only field/variable", G->dbhtml->X_MsgPos);
  Value old = *place;
  *place = MakeString(G, body, static_cast<int32_t>(std::strlen(body)), 0);
  ReleaseValue(G, &old);
  bxFree(body);
  return 0;
}
