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
#include <string>
#include <vector>

#include "db/query.h"
#include "diag/messages.h"
#include "driver/config.h"
#include "driver/globals.h"
#include "driver/output.h"
#include "frontend/tree.h"
#include "interp/eval.h"
#include "interp/interpret.h"
#include "support/filesearch.h"
#include "support/idents.h"
#include "support/memory.h"
#include "values/strings.h"

namespace {

constexpr size_t kIncludeNameSize = 1000;
constexpr size_t kBodySize = 32767 + 1;

// The body rendered into a fresh buffer of the given size (text plus zero).
std::vector<char> renderBody(Globals* G, Token* body, size_t size) {
  std::vector<char> buffer(size);
  InterpretToBuffer(G, buffer.data(), buffer.size(), body, nullValue);
  return buffer;
}

// Cuts the given characters off the end of a zero-terminated text in place.
void trimTrailing(char* text, const char* chars) {
  size_t n = std::strlen(text);
  while (n > 0 && std::strchr(chars, text[n - 1]) != nullptr) text[--n] = '\0';
}

}  // namespace

// ---------------------------------------------------------------------------
// Include tag: <include>name</include> runs another template file whose name
// is computed at run time, in the current variable scope.

int include_dbh(Globals* G, Token* node) {
  std::vector<char> buffer = renderBody(G, node->body, kIncludeNameSize);
  trimTrailing(buffer.data(), " ");
  const char* name = buffer.data();
  while (*name == ' ') name++;

  dbhCheckIncludeFilename(G, node->position, name);
  const char* path = G->serverInterface->X_IncludePath;
  Token* tree = dbhReadFileHandle(G, name, path != nullptr ? path : "", true);
  if (tree == nullptr) {
    serverSendOutputToClient();
    PQTBuffer = nullptr;
    FILE* out = G->serverInterface->X_Out;
    if (G->Errors->X_NoErrors) {
      serverPuts("Dynamic Include File not found: \"", out);
      wwwputs(G, name);
      wwwputs(G, "\" using path  \"");
      wwwputs(G, path != nullptr ? path : "");
    } else {
      serverPuts("Exit because of syntax errors in include file\n", out);
    }
    serverExit(G);
  }
  EnterNesting(G, node->position);
  const int result = Interpret(G, tree, nullValue);
  LeaveNesting(G);
  return result;
}

// ---------------------------------------------------------------------------
// Shell tag: the rendered body runs through the system shell with its
// standard output sent to a temporary file, which is copied into the page.

int execute_shell(Globals* G, Token* node) {
  if (SwitchNotOff(Cfg(G).secure))
    FatalMessage(G, "Shell Tag not allowed in secure mode", node->position);

  std::vector<char> buffer = renderBody(G, node->body, kBodySize);
  trimTrailing(buffer.data(), "\n\r\t ");

  // A unique file per command (two requests in the same second must not
  // share one), removed afterwards.
  const char* dir = Cfg(G).shelltemp != nullptr ? Cfg(G).shelltemp : "/tmp";
  std::string pattern = std::string(dir) + '/' + std::to_string(time(nullptr)) + "-XXXXXX.brx";
  std::vector<char> tempName(pattern.begin(), pattern.end());
  tempName.push_back('\0');
  const int fd = mkstemps(tempName.data(), 4);
  if (fd >= 0) close(fd);

  std::string command = std::string(buffer.data()) + " > " + tempName.data();
  fflush(stdout);
  const int rc = std::system(command.c_str());
  if (rc == -1) {
    if (fd >= 0) std::remove(tempName.data());
    std::string text = "error during execution of shell command: return code is -1, command='" +
                       command + "'";
    char* message = STRDUP(G, text.c_str());
    FatalMessage(G, message, node->position);
  }

  if (FILE* f = fd >= 0 ? std::fopen(tempName.data(), "rb") : nullptr) {
    char piece[1024];
    size_t n;
    FILE* out = G->serverInterface->X_Out;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0)
      for (size_t i = 0; i < n; i++) serverPutc(static_cast<unsigned char>(piece[i]), out);
    std::fclose(f);
  }
  if (fd >= 0) std::remove(tempName.data());
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

// Splits a text at blanks into words, as a shell would split an unquoted word.
void splitWords(const std::string& text, std::vector<std::string>* words) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) i++;
    size_t j = i;
    while (j < text.size() && text[j] != ' ' && text[j] != '\t' && text[j] != '\n') j++;
    if (j > i) words->push_back(text.substr(i, j - i));
    i = j;
  }
}

// Addresses become program arguments: one that begins with '-' would be read
// as an option.
void checkAddresses(Globals* G, const std::vector<std::string>& words, Position pos) {
  for (const std::string& w : words)
    if (!w.empty() && w[0] == '-')
      FatalMessageI(G, "Mail address must not begin with -", pos, InfoText(STRDUP(G, w.c_str())));
}

// Runs program with args, writing message to its standard input.
void runWithInput(const std::vector<std::string>& args, const std::string& message) {
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
    dup2(pipefd[0], 0);
    close(pipefd[0]);
    close(pipefd[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipefd[0]);
  struct sigaction ignore {}, saved {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &saved);
  size_t done = 0;
  while (done < message.size()) {
    const ssize_t n = write(pipefd[1], message.data() + done, message.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(pipefd[1]);
  sigaction(SIGPIPE, &saved, nullptr);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

int send_mail(Globals* G, Token* node) {
  Ident slotIds[msCount];
  for (int i = 0; i < msCount; i++) slotIds[i] = MakeIdent(G, kMailSlotNames[i]);

  // Attributes by position fill the next slot; by name the slot of the name.
  std::string text[msCount];
  bool given[msCount] = {};
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
    Value v = eval(G, a->expr);
    char* t = Value2Char(G, v);   // releases a temporary value
    if (slot >= 0 && v.type != tNull && v.type != tError) {
      given[slot] = true;
      text[slot] = t != nullptr ? t : "";
    }
    bxFree(t);
  }
  if (!given[msTo]) FatalMessage(G, "Missing address of recipient", node->position);

  std::vector<char> body = renderBody(G, node->body, kBodySize);

  std::vector<std::string> to;
  splitWords(text[msTo], &to);
  checkAddresses(G, to, node->position);

  std::vector<std::string> args;
  std::string message;
  if (given[msFrom]) {
    std::vector<std::string> from;
    splitWords(text[msFrom], &from);
    checkAddresses(G, from, node->position);
    if (given[msSubject]) message += "Subject: " + text[msSubject] + "\n";
    if (given[msCc]) message += "Cc: " + text[msCc] + "\n";
    if (given[msBcc]) message += "Bcc: " + text[msBcc] + "\n";
    message += "\n";
    args = {"sendmail", "-t", "-f"};
    args.insert(args.end(), from.begin(), from.end());
    args.push_back("-i");
  } else {
    args = {"mail"};
    if (given[msSubject]) args.insert(args.end(), {"-s", text[msSubject]});
    if (given[msCc]) args.insert(args.end(), {"-c", text[msCc]});
    if (given[msBcc]) args.insert(args.end(), {"-b", text[msBcc]});
  }
  args.insert(args.end(), to.begin(), to.end());
  message += body.data();
  message += "\n";
  runWithInput(args, message);
  return 0;
}

// ---------------------------------------------------------------------------
// Assign tag: <assign target>text</assign> stores the rendered body.

int perform_assign(Globals* G, Token* node) {
  std::vector<char> buffer = renderBody(G, node->body, kBodySize);
  Value* place = evallvalue(G, node->expr);
  if (place->flags & VF_READONLY)
    FatalMessage(G, "Assignment to read only field/variable", G->dbhtml->X_MsgPos);
  ReleaseValue(G, place);
  *place = MakeString(G, buffer.data(), static_cast<int32_t>(std::strlen(buffer.data())), 0);
  return 0;
}
