// sourcedisplay.cpp: the annotated source display ($debug=pp): coloured
// tags, comments and strings, messages under their lines, the position
// arrow, and links between definitions, calls and included files.
#include "diag/sourcedisplay.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <strings.h>

#include "diag/debug.h"
#include "diag/display.h"
#include "driver/globals.h"
#include "driver/output.h"
#include "frontend/reader.h"
#include "frontend/tree.h"
#include "support/idents.h"
#include "support/memory.h"

// The display copies files up to this line.
static constexpr int kLastLine = 32767;
// Tree nesting deeper than this is not walked (its text is still copied).
static constexpr int kMaxWalkDepth = 5000;

// ---------------------------------------------------------------------------
// Styles
// ---------------------------------------------------------------------------

struct Style {
  const char* open;
  const char* close;
};

// The font of each DisplayStyle (ORDER DisplayStyle, display.h).
static const Style kStyles[] = {
    {"", ""},                                                        // dsPlain
    {"<font color=\"#0000C0\">", "</font>"},                          // dsInTag
    {"<font color=\"#0000ff\"><b>", "</b></font>"},                   // dsKeyword
    {"", ""},                                                        // dsUnused
    {"<font size=+1 color=\"#0000ff\"><b>", "</a></b></font>"},       // dsDefinition
    {"<font color=\"blue\"><b>", "</b></font></a>"},                  // dsCall
    {"<font color=\"red\"><i>", "</i></font>"},                       // dsComment
    {"<font color=\"#808080\">", "</font>"},                          // dsString
    {"<font color=\"orange\"><b>", "</b></font>"},                    // dsMessagePosition
    {"<font color=\"red\"><b>", "</b></font>"},                       // dsSyntaxError
    {"<font color=\"green\"><i>", "</i></font>"},                     // dsMessageLines
    {"<font color=\"#c0c000\">", "</a></font>"},                      // dsInclude
    {"<font color=\"#008000\"><b><blink>", "</blink></b></font>"},    // dsInsertedToken
};
static_assert(std::size(kStyles) == dsStyleCount, "one style per DisplayStyle");

static void switchStyle(Globals* G, DisplayStyle style) {
  DisplayState* d = G->Errors->display;
  if (style == d->style) return;
  FILE* out = ErrOut(G);
  serverPuts(kStyles[d->style].close, out);
  serverPuts(kStyles[style].open, out);
  d->style = style;
}

static bool isStrongStyle(DisplayStyle style) {
  return style == dsKeyword || style == dsDefinition || style == dsCall;
}

static void rememberUnlessError(DisplayState* d) {
  if (d->style != dsMessagePosition && d->style != dsSyntaxError) d->rememberedStyle = d->style;
}

// ---------------------------------------------------------------------------
// Form variables of a display request
// ---------------------------------------------------------------------------

static Value* formField(Globals* G, const char* name) {
  if (G->value == nullptr || G->value->ff.type != tTuple) return nullptr;
  return vGetField(G->value->ff, MakeIdent(G, name));
}

// A request variable by its name with the dollar sign, or, when that is
// absent, with the dollar sign percent-encoded (form names are not decoded).
static const char* requestString(Globals* G, const char* bare) {
  char name[32];
  std::snprintf(name, sizeof name, "$%s", bare);
  if (formField(G, name)) return GetFormString(G, name);
  std::snprintf(name, sizeof name, "%%24%s", bare);
  return GetFormString(G, name);
}

static bool requestPresent(Globals* G, const char* bare) {
  char name[32];
  std::snprintf(name, sizeof name, "$%s", bare);
  if (formField(G, name)) return true;
  std::snprintf(name, sizeof name, "%%24%s", bare);
  return formField(G, name) != nullptr;
}

static int requestNumber(Globals* G, const char* bare) {
  const char* s = requestString(G, bare);
  if (s == nullptr) return 0;
  const long n = std::strtol(s, nullptr, 10);
  return n < 0 ? 0 : (n > 65535 ? 65535 : static_cast<int>(n));
}

const char* GetFormString(Globals* G, const char* name) {
  const Value* v = formField(G, name);
  if (v == nullptr || v->type != tString) return nullptr;
  return v->val.str;
}

// ---------------------------------------------------------------------------
// Pending messages
// ---------------------------------------------------------------------------

// Lists the pending messages of the line that ends, then the line feed.
static void listPending(Globals* G) {
  ErrorsRec* e = G->Errors;
  DisplayState* d = e->display;
  FILE* out = ErrOut(G);
  if (d->pendingMsgCount > 0) {
    ++e->messageCounter;
    serverPrintf(out, "<a name=\"msg%i\">", e->messageCounter);
    const DisplayStyle noted = d->style;
    switchStyle(G, dsPlain);
    serverPutc('\n', out);
    switchStyle(G, dsMessageLines);
    for (int i = 0; i < d->pendingMsgCount; ++i) WriteMessage(G, d->pendingMsgs[i]);
    d->pendingMsgCount = 0;
    serverPrintf(out, "<a href=\"#msg%i\"><font color=\"green\">Next Error</font></a><br>",
                 e->messageCounter + 1);
    switchStyle(G, dsPlain);
    switchStyle(G, noted);
  }
  serverPutc('\n', out);
}

// ---------------------------------------------------------------------------
// Copying the file
// ---------------------------------------------------------------------------

static void writeArrowIfDue(Globals* G) {
  DisplayState* d = G->Errors->display;
  if (d->arrowWritten || d->arrowLine == 0) return;
  if (d->line == d->arrowLine && d->column == d->arrowColumn) {
    serverPuts("<a name=\"here\"><font color=\"ff0000\"><blink><b>-></b></blink></font></a>",
               ErrOut(G));
    d->arrowWritten = true;
  }
}

// Copies characters until the current line and column reach the target.
static void copyTo(Globals* G, int targetLine, int targetColumn) {
  DisplayState* d = G->Errors->display;
  FILE* out = ErrOut(G);
  if (d->file == nullptr) return;
  while (d->line < targetLine || (d->line == targetLine && d->column < targetColumn)) {
    writeArrowIfDue(G);
    const int c = std::getc(d->file);
    if (c == EOF) return;
    switch (c) {
      case '\t': {
        if (isStrongStyle(d->style)) switchStyle(G, dsInTag);
        const int next = ((d->column - 1) / 8 + 1) * 8 + 1;
        for (; d->column < next; ++d->column) serverPutc(' ', out);
        break;
      }
      case ' ':
        if (isStrongStyle(d->style)) switchStyle(G, dsInTag);
        serverPutc(' ', out);
        ++d->column;
        break;
      case ';':
        serverPutc(';', out);
        ++d->column;
        if (isStrongStyle(d->style)) switchStyle(G, dsInTag);
        break;
      case '>':
        serverPutc('>', out);
        ++d->column;
        if (isStrongStyle(d->style)) switchStyle(G, dsPlain);
        break;
      case '\n':
        if (isStrongStyle(d->style)) switchStyle(G, dsInTag);
        if (d->line == targetLine) {
          std::ungetc(c, d->file);
          return;
        }
        ++d->line;
        d->column = 1;
        listPending(G);
        break;
      default: {
        const char ch = static_cast<char>(c);
        wwwputn(G, &ch, 1, true);
        ++d->column;
        break;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Replaying the records
// ---------------------------------------------------------------------------

static MessageRecord* firstOfFile(MessageRecord* r, const char* file) {
  while (r && !SameFile(r->position.file, file)) r = r->next;
  return r;
}

static bool isCode(const MessageRecord* r, int code) {
  return (r->kind == mkCode || r->kind == mkCodeInfo) && r->code == code;
}

static bool recordBefore(const MessageRecord* r, const Position& p) {
  if (r->position.line != p.line) return r->position.line < p.line;
  return r->position.column < p.column;
}

static void addPending(DisplayState* d, MessageRecord* r) {
  if (d->pendingMsgCount < kMaxPendingMessages) d->pendingMsgs[d->pendingMsgCount++] = r;
}

static void writeIncludeLink(Globals* G, const char* included) {
  FILE* out = ErrOut(G);
  WriteSourceLinkStart(G);
  wwwputurl(G, included);
  serverPuts("#", out);
  wwwputurl(G, included);
  serverPuts("\">", out);
}

// Applies the record under the cursor and moves the cursor on.
static void applyRecord(Globals* G) {
  DisplayState* d = G->Errors->display;
  MessageRecord* r = d->cursor;
  if (d->rawMarkers) {
    serverPrintf(ErrOut(G), "[%i:%i,m%i]", r->position.line, r->position.column, r->kind);
  }
  switch (r->kind) {
    case mkKeyword: switchStyle(G, dsKeyword); break;
    case mkTagEnd: switchStyle(G, dsPlain); break;
    case mkInclude:
      switchStyle(G, dsInclude);
      writeIncludeLink(G, r->info ? r->info : "");
      break;
    case mkCommentStart:
      if (d->style != dsComment) d->rememberedStyle = d->style;
      switchStyle(G, dsComment);
      break;
    case mkCommentEnd: switchStyle(G, d->rememberedStyle); break;
    case mkStringStart: switchStyle(G, dsString); break;
    case mkStringEnd: switchStyle(G, dsInTag); break;
    case mkCode:
    case mkCodeInfo:
    case mkText:
    case mkTextInfo:
      if (isCode(r, ecSyntax) || isCode(r, ecExpectedTokens)) {
        rememberUnlessError(d);
        switchStyle(G, dsSyntaxError);
      } else if (isCode(r, ecRestartPoint)) {
        switchStyle(G, d->rememberedStyle);
      } else if (isCode(r, ecIllegalCharacter)) {
        rememberUnlessError(d);
        switchStyle(G, dsSyntaxError);
        copyTo(G, d->line, d->column + 1);
        switchStyle(G, d->rememberedStyle);
      } else if (isCode(r, ecTokenInserted)) {
        rememberUnlessError(d);
        switchStyle(G, dsInsertedToken);
        const char* token = r->info ? r->info : "";
        if (std::strncmp(token, ": ", 2) == 0) token += 2;
        wwwputs(G, token);
        switchStyle(G, d->rememberedStyle);
      } else {
        rememberUnlessError(d);
        switchStyle(G, dsMessagePosition);
      }
      if (!isCode(r, ecSyntax) && !isCode(r, ecRestartPoint)) addPending(d, r);
      break;
    default:
      break;
  }
  MessageRecord* next = firstOfFile(r->next, d->fileName);
  if (isCode(r, ecIllegalCharacter)) {
    // a run of illegal characters is marked once
    int column = r->position.column;
    while (next && isCode(next, ecIllegalCharacter) && next->position.line == r->position.line &&
           next->position.column == column + 1) {
      column = next->position.column;
      next = firstOfFile(next->next, d->fileName);
    }
  } else if (isCode(r, ecTokenInserted)) {
    while (next && isCode(next, ecTokenInserted) && next->position.line == r->position.line &&
           next->position.column == r->position.column) {
      next = firstOfFile(next->next, d->fileName);
    }
  }
  d->cursor = next;
}

// Applies the records before the position, copies the text up to it and
// switches to the style. False when the position lies in another file.
static bool advance(Globals* G, const Position& pos, DisplayStyle style) {
  DisplayState* d = G->Errors->display;
  if (!SameFile(pos.file, d->fileName)) return false;
  while (d->cursor && recordBefore(d->cursor, pos)) {
    copyTo(G, d->cursor->position.line, d->cursor->position.column);
    applyRecord(G);
  }
  copyTo(G, pos.line, pos.column);
  switchStyle(G, style);
  d->rememberedStyle = style;
  return true;
}

// ---------------------------------------------------------------------------
// Walking the tree
// ---------------------------------------------------------------------------

static void writeCallLink(Globals* G, const Token* call) {
  DisplayState* d = G->Errors->display;
  const Token* def = LookupDefinition(G, call->name);
  if (def == nullptr) return;
  FILE* out = ErrOut(G);
  if (SameFile(def->position.file, d->fileName)) {
    serverPuts("<a href=\"#UT", out);
  } else {
    WriteSourceLinkStart(G);
    wwwputurl(G, def->position.file ? def->position.file : "");
    serverPuts("#UT", out);
  }
  wwwputs(G, GetStringIdent(G, call->name));
  serverPuts("\">", out);
}

static void walk(Globals* G, Token* list, int depth) {
  if (depth > kMaxWalkDepth) return;
  FILE* out = ErrOut(G);
  for (Token* t = list; t; t = t->next) {
    switch (t->kind) {
      case TKdef:
      case TKdefenv:
        // def -> "<def" name params ">" body "</def>"
        if (advance(G, t->position, dsDefinition)) {
          serverPuts("<a name=\"UT", out);
          wwwputs(G, GetStringIdent(G, t->name));
          serverPuts("\">", out);
        }
        walk(G, t->body, depth + 1);
        break;
      case TKcall:
      case TKcallenv:
        // call -> "<" name args ">" [ body "</" name ">" ]
        if (advance(G, t->position, dsCall)) writeCallLink(G, t);
        if (t->kind == TKcallenv) walk(G, t->body, depth + 1);
        break;
      case TKquery:
        walk(G, t->body, depth + 1);
        for (Token* s = t->sectionList; s; s = s->next) walk(G, s->body, depth + 1);
        break;
      case TKifbool:
        walk(G, t->thenPart, depth + 1);
        walk(G, t->elsePart, depth + 1);
        break;
      case TKwhile:
        walk(G, t->body, depth + 1);
        break;
      default:
        break;
    }
  }
}

// ---------------------------------------------------------------------------
// Displaying one file
// ---------------------------------------------------------------------------

void BraxelPrettyPrint(Globals* G, Token* tree, const char* fileName) {
  DisplayState* d = G->Errors->display;
  d->rawMarkers = requestPresent(G, "ppdebug");
  serverDropCapture();
  FILE* f = fileName ? std::fopen(fileName, "rb") : nullptr;
  if (f == nullptr) Message(G, "Can not read file for pretty print", xxFatal, NoPosition);
  FILE* out = ErrOut(G);
  d->file = f;
  d->fileName = fileName;
  d->line = 1;
  d->column = 1;
  d->style = dsPlain;
  d->rememberedStyle = dsPlain;
  d->arrowWritten = false;
  d->cursor = firstOfFile(G->Errors->head, fileName);
  d->pendingMsgCount = 0;

  serverPuts("<a name=\"", out);
  wwwputurl(G, fileName);
  serverPuts("\">\n", out);
  serverPuts("<h2> File: ", out);
  wwwputs(G, fileName);
  serverPuts(" </h2>\n", out);
  serverPuts("<pre>", out);

  walk(G, tree, 0);
  advance(G, Position{kLastLine, 1, fileName}, dsPlain);
  listPending(G);
  switchStyle(G, dsPlain);
  serverPuts("</pre>", out);
  std::fclose(f);
  d->file = nullptr;
  d->cursor = nullptr;
}

// ---------------------------------------------------------------------------
// Answering a display request
// ---------------------------------------------------------------------------

// Files read on their own for the display must be templates; never the
// configuration file or any other file of the machine.
static bool displayableName(const char* name) {
  const char* slash = std::strrchr(name, '/');
  const char* base = slash ? slash + 1 : name;
  if (std::strcmp(base, ".braxel") == 0) return false;
  const char* dot = std::strrchr(base, '.');
  if (dot == nullptr) return false;
  return strcasecmp(dot, ".brx") == 0 || strcasecmp(dot, ".dbh") == 0 ||
         strcasecmp(dot, ".braxel") == 0;
}

bool BraxelDebug(Globals* G, const char* templateName, int mode) {
  (void)mode;
  if (!IsDebugMode(G)) return false;
  const char* request = requestString(G, "debug");
  if (request == nullptr || std::strcmp(request, "pp") != 0) return false;

  SetMarkerRecording(G, true);
  Token* tree = dbhReadFileHandle(G, templateName, "", true);
  SetMarkerRecording(G, false);
  const char* found = dbhLastFoundFile(G);
  if (found == nullptr) return false;
  const char* shown = STRDUP(G, found);

  if (const char* file = requestString(G, "file")) {
    bool read = false;
    for (MessageRecord* r = G->Errors->head; r && !read; r = r->next) {
      read = SameFile(r->position.file, file);
    }
    if (read) {
      shown = file;
    } else {
      ClearMessages(G);
      if (!displayableName(file)) return true;
      const char* path = G->serverInterface->X_IncludePath;
      SetMarkerRecording(G, true);
      tree = dbhReadFileHandle(G, file, path ? path : "", true);
      if (dbhLastFoundFile(G) == nullptr) {
        SetMarkerRecording(G, true);
        tree = dbhReadFileHandle(G, file, "", true);
      }
      SetMarkerRecording(G, false);
      found = dbhLastFoundFile(G);
      if (found == nullptr) return true;
      shown = STRDUP(G, found);
    }
  }

  DisplayState* d = G->Errors->display;
  d->arrowLine = requestNumber(G, "line");
  d->arrowColumn = requestNumber(G, "column");

  serverDropCapture();
  FILE* out = ErrOut(G);
  serverPuts("<html><title>braxel - Source ", out);
  wwwputs(G, templateName);
  serverPuts(" </title>\n", out);
  serverPuts("<body bgcolor=#ffffff>\n", out);
  serverPuts("<h1> b<i>ra</i>xel Source Display</h1>\n", out);
  BraxelPrettyPrint(G, tree, shown);
  return true;
}
