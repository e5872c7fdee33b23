// check.cpp: braxel-check, the template checker. It reads each template named
// on the command line with its parse-time includes, exactly as the
// interpreter's front end does, and reports every syntax error as
// "file:line:column: error: message" on standard error (or as a JSON array
// on standard output). It runs no template code and opens no database.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "diag/display.h"
#include "diag/messages.h"
#include "driver/config.h"
#include "driver/globals.h"
#include "driver/output.h"
#include "driver/predefined.h"
#include "driver/request.h"
#include "frontend/reader.h"
#include "support/filesearch.h"
#include "support/memory.h"

// ---------------------------------------------------------------------------
// Findings

// One reported line: a stored message of the front end, or the fatal
// message that ended the reading of a file.
struct Finding {
  std::string file;
  int line;
  int column;
  const char* severity;   // "error", "warning" or "note"
  std::string message;
};

// The state of one check run. The fatal handler has no other way to it
// than the one pointer below (a handler receives only G).
struct CheckRun {
  std::vector<Finding> findings;
  const char* template_;   // the file being read
  FILE* capture;           // the driver's own error texts while it is read
  char* captureText;
  size_t captureSize;
};

static CheckRun* currentRun = nullptr;

// Thrown by the fatal handler: the reading of one file ends, and the
// checker goes on with the next one.
struct FileAbandoned {};

// Message texts are written on one line: runs of blanks, tabs and line
// feeds become one blank, and the ends are trimmed.
static std::string oneLine(std::string_view text) {
  std::string out;
  bool blank = false;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      blank = !out.empty();
    } else {
      if (blank) out += ' ';
      blank = false;
      out += c;
    }
  }
  return out;
}

// The driver's error texts are HTML: the last non-empty line without its
// tags is the message (the format description comes before it).
static std::string lastTextLine(std::string_view html) {
  std::string text;
  bool inTag = false;
  for (const char c : html) {
    if (c == '<') inTag = true;
    else if (c == '>') inTag = false;
    else if (!inTag) text += c;
  }
  std::string last;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = oneLine(std::string_view(text).substr(start, end - start));
    if (!line.empty()) last = std::move(line);
    start = end + 1;
  }
  return last;
}

static const char* codeText(int code) {
  switch (code) {
    case ecSyntax: return "syntax error";
    case ecExpectedTokens: return "Syntax error, expected tokens";
    case ecIllegalCharacter: return "illegal character";
    default: return nullptr;
  }
}

// The severity of a stored message, or null for one that is not reported:
// the parser's repair notes (restart points, inserted tokens) and the
// source markers of the debugging display.
static const char* severityOf(const MessageRecord& r) {
  if (r.kind < mkCode || r.kind > mkTextInfo) return nullptr;
  if (r.kind <= mkCodeInfo && (r.code == ecRestartPoint || r.code == ecTokenInserted)) return nullptr;
  switch (r.errorClass) {
    case xxRepair: return nullptr;
    case xxWarning: return "warning";
    case xxNote:
    case xxInformation: return "note";
    default: return "error";
  }
}

static std::string messageText(const MessageRecord& r) {
  std::string text;
  if (r.kind <= mkCodeInfo) {
    const char* t = codeText(r.code);
    text = t != nullptr ? t : "error code " + std::to_string(r.code);
  } else if (r.text != nullptr) {
    text = r.text;
  }
  if (r.info != nullptr && r.info[0] != '\0') {
    // Texts with information end in a blank ("Include Path is "); the
    // expected-token list comes without its colon.
    while (!text.empty() && text.back() == ' ') text.pop_back();
    text += r.info[0] == ':' ? "" : ": ";
    text += r.info;
  }
  return oneLine(text);
}

static void addFinding(CheckRun* run, Position pos, const char* severity, std::string message) {
  run->findings.push_back(Finding{pos.file != nullptr ? pos.file : run->template_, pos.line,
                                  pos.column, severity, std::move(message)});
}

static bool samePlace(const MessageRecord& a, const MessageRecord& b) {
  return a.position.line == b.position.line && a.position.column == b.position.column &&
         SameFile(a.position.file, b.position.file);
}

// One line per error: the parser stores a syntax error and then, at the
// same place, the tokens it expected; the two become one finding. A note
// without information ("Include Path is" for an empty path) says nothing.
static void collectStored(Globals* G, CheckRun* run) {
  for (const MessageRecord* r = G->Errors->head; r != nullptr; r = r->next) {
    const char* severity = severityOf(*r);
    if (severity == nullptr) continue;
    const MessageRecord* next = r->next;
    if (r->kind == mkCode && r->code == ecSyntax && next != nullptr && next->kind == mkCodeInfo &&
        next->code == ecExpectedTokens && samePlace(*r, *next)) {
      r = next;   // the error, told with the expected tokens
    } else if (std::strcmp(severity, "note") == 0 &&
               (r->info == nullptr || oneLine(r->info).find_first_not_of(':') == std::string::npos)) {
      continue;
    }
    addFinding(run, r->position, severity, messageText(*r));
  }
  ClearMessages(G);
}

// The fatal handler while a file is read: what the front end stored so
// far, then the fatal message itself (or the driver's own text, for a
// configuration file that cannot be read), and the file is given up.
static void abandonFile(Globals* G, const FatalEvent& event) {
  CheckRun* run = currentRun;
  if (run == nullptr || G == nullptr) {
    std::fputs("braxel-check: fatal error outside a file\n", stderr);
    std::exit(1);
  }
  collectStored(G, run);
  std::string text;
  if (event.text != nullptr) {
    text = oneLine(std::string(event.text) + (event.info != nullptr ? event.info : ""));
  } else {
    std::fflush(run->capture);
    text = lastTextLine(std::string_view(run->captureText, run->captureSize));
    if (text.empty()) text = "reading ended";
  }
  addFinding(run, event.pos, "error", std::move(text));
  throw FileAbandoned{};
}

// ---------------------------------------------------------------------------
// One file

// The folder of the .braxel that a deployed program would read: in the
// template's folder, in the current folder (where a web server starts the
// program), then in the folder of the checker; empty when there is none.
static std::string configurationFolder(const char* program, const char* file) {
  const std::string path = os_dirname(file) + ":./:" + os_dirname(program);
  char found[kFoundFileSize];
  if (os_search(path.c_str(), ".braxel", found, sizeof found) != kFound) return {};
  return os_dirname(found);
}

static void checkFile(CheckRun* run, const char* program, const char* file) {
  Globals* G = InitializeAllGV(0);
  InitIdentifiers(G);
  ServerInterface* si = G->serverInterface;
  si->X_Out = run->capture;
  si->X_ErrOut = run->capture;
  run->template_ = file;
  try {
    const std::string folder = configurationFolder(program, file);
    if (!folder.empty()) {
      // readResourceFile searches the template's folder, then the folder of
      // the program: a program in the folder found stands for it.
      ResourceConfig* cfg = readResourceFile(G, (folder + "braxel").c_str(), file);
      si->X_Resource = cfg;
      ConvertIncludePath(G, &cfg->include, cfg->fileName);
      si->X_IncludePath = STRDUP(G, cfg->include);
    }
    dbhReadFile(G, file, ".", true);
    if (dbhLastFoundFile(G) == nullptr && G->Errors->X_NoErrors) {
      addFinding(run, NoPosition, "error", "braxel file not found");
    }
    collectStored(G, run);
  } catch (const FileAbandoned&) {
    // reported by the handler
  }
  FinalizeAllGV(G);
}

// ---------------------------------------------------------------------------
// Output

// The length of the well-formed UTF-8 sequence at s[i] (0 when it is not
// one): JSON texts are UTF-8, templates and file names need not be.
static size_t utf8Length(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  const size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  return n;
}

static void writeJsonString(const std::string& s) {
  std::putchar('"');
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = utf8Length(s, i);
    if (n == 0) {
      std::fputs("\\ufffd", stdout);   // a byte that is not UTF-8
      ++i;
      continue;
    }
    switch (c) {
      case '"': std::fputs("\\\"", stdout); break;
      case '\\': std::fputs("\\\\", stdout); break;
      case '\n': std::fputs("\\n", stdout); break;
      case '\t': std::fputs("\\t", stdout); break;
      default:
        if (c < 0x20) std::printf("\\u%04x", c);
        else std::fwrite(s.data() + i, 1, n, stdout);
    }
    i += n;
  }
  std::putchar('"');
}

static void writeJson(const std::vector<Finding>& findings) {
  std::putchar('[');
  const char* separator = "\n";
  for (const Finding& f : findings) {
    std::fputs(separator, stdout);
    std::fputs("  {\"file\": ", stdout);
    writeJsonString(f.file);
    std::printf(", \"line\": %d, \"column\": %d, \"severity\": \"%s\", \"message\": ", f.line,
                f.column, f.severity);
    writeJsonString(f.message);
    std::putchar('}');
    separator = ",\n";
  }
  std::fputs(findings.empty() ? "]\n" : "\n]\n", stdout);
}

static void writeLines(const std::vector<Finding>& findings) {
  for (const Finding& f : findings) {
    // A finding about the whole file (it was not found) has no place.
    if (f.line > 0) {
      std::fprintf(stderr, "%s:%d:%d: %s: %s\n", f.file.c_str(), f.line, f.column, f.severity,
                   f.message.c_str());
    } else {
      std::fprintf(stderr, "%s: %s: %s\n", f.file.c_str(), f.severity, f.message.c_str());
    }
  }
}

static const char kCheckUsage[] =
    "usage: braxel-check [--json] FILE...\n"
    "       reports the syntax errors of each template and of its parse-time includes\n"
    "       as file:line:column: error: message lines on standard error (--json: a JSON\n"
    "       array on standard output); exit status 1 when there was an error, else 0\n";

int main(int argc, char** argv) {
  InstallUpperHooks();
  serverSetFatalHandler(abandonFile);
  const char* program = argc > 0 ? argv[0] : "braxel-check";

  bool json = false;
  std::vector<const char*> files;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && arg == "--json") {
      json = true;
    } else if (options && (arg == "-h" || arg == "--help")) {
      std::fputs(kCheckUsage, stdout);
      return 0;
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "braxel-check: unknown option %s\n%s", argv[i], kCheckUsage);
      return 2;
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fputs(kCheckUsage, stderr);
    return 2;
  }

  CheckRun run{};
  run.capture = open_memstream(&run.captureText, &run.captureSize);
  if (run.capture == nullptr) {
    std::perror("braxel-check");
    return 2;
  }
  currentRun = &run;
  for (const char* file : files) {
    checkFile(&run, program, file);
    std::fflush(run.capture);
    std::rewind(run.capture);
  }
  currentRun = nullptr;
  std::fclose(run.capture);
  std::free(run.captureText);

  if (json) writeJson(run.findings);
  else writeLines(run.findings);
  bool failed = false;
  for (const Finding& f : run.findings) failed = failed || std::strcmp(f.severity, "error") == 0;
  return failed ? 1 : 0;
}
