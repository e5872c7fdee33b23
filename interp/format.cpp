// format.cpp: output formats: the named formats (html, quoted, furl, dbhtml,
// hstv) and the format-string language for values and whole tuples.
#include "interp/format.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "diag/debug.h"
#include "diag/messages.h"
#include "driver/globals.h"
#include "driver/output.h"
#include "frontend/tree.h"
#include "interp/builtins.h"
#include "interp/eval.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "support/memory.h"
#include "values/strings.h"

// ---- Named formats ------------------------------------------------------

namespace {

FILE* out(Globals* G) { return G->serverInterface->X_Out; }

// The capturing forms: the expression's text appended by the given writer.
void appendText(Globals* G, Token* expr, void (*append)(CaptureBuffer*, const char*)) {
  char* text = evalexpr(G, expr);
  if (text != nullptr) append(PQTBuffer, text);
  bxFree(text);
}

}  // namespace

void FormatNamed(Globals* G, Token* node, Value hostTuple) {
  const bool capturing = PQTBuffer != nullptr;
  Token* expr = node->left;
  switch (node->format) {
    case fmtHtml: {   // html: unescaped
      if (capturing) {
        appendText(G, expr, appends);
        return;
      }
      Value v = eval(G, expr);
      WriteValue(G, v, omHtml);
      ReleaseIfTemp(G, &v);
      return;
    }
    case fmtQuoted: {   // quoted: in double quotes, or as an SQL literal
      if (capturing) {
        char* text = evalexpr(G, expr);
        appendquoted(PQTBuffer, text);
        bxFree(text);
        return;
      }
      Value v = eval(G, expr);
      serverPutc('"', out(G));
      WriteValue(G, v, omEscaped);
      serverPutc('"', out(G));
      ReleaseIfTemp(G, &v);
      return;
    }
    case fmtFurl: {   // furl: URL-encoded
      if (capturing) {
        appendText(G, expr, appendurl);
        return;
      }
      WriteValueAsUrl(G, eval(G, expr));   // releases a temporary itself
      return;
    }
    case fmtDbhtml: {   // dbhtml: the value run as template text
      G->dbhtml->X_MsgPos = node->position;
      Value v = eval(G, expr);
      InterpretValue(G, v, hostTuple);
      ReleaseIfTemp(G, &v);
      return;
    }
    case fmtHstv: {   // hstv: bound as an SQL host variable
      if (!capturing) FatalMessage(G, "Invalid format specification", node->position);
      if (hostTuple.type != tTuple)
        FatalMessage(G, "hstv format specification must be used inside a dbquer or dbupdate",
                     node->position);
      Value v = eval(G, expr);
      Value* slot = vAddField(G, hostTuple, 0);
      if (v.type == tString) {
        StoreValue(G, slot, v);
      } else {
        ReleaseIfTemp(G, &v);
      }
      appendc(PQTBuffer, '?');
      return;
    }
    default:
      FatalMessage(G, "Invalid format specification", node->position);
  }
}

// ---- Format strings -----------------------------------------------------

namespace {

enum class Mode { A, H, P, U, Q, F, T, TableInput };

// Bounds of the numbers an author may write into a conversion, so that no
// format can make the formatted number outgrow its buffer.
constexpr int kMaxWidth = 4096;
constexpr int kMaxPrecision = 400;
constexpr size_t kNumberBuffer = 8192;

struct FormatSpec {
  const char* lead = "";    // lead text (not zero-terminated at leadLength)
  size_t leadLength = 0;
  const char* spec = "";    // the conversion part, from the "%" on
  int width = 0;
  int precision = -1;       // -1: none written
  bool left = false;
  bool zero = false, plus = false, space = false, alt = false;
  char intLetter = 'i';
  char realLetter = 'f';
  Mode mode = Mode::H;
  char nullRule = 'v';
  bool nameDisplay = false;
  bool fieldMode = false;
  bool noError = false;
  bool hidden = false;
  bool prefixWithName = false;
};

FormatSpec parseFormat(const char* format) {
  FormatSpec f;
  const char* percent = std::strchr(format, '%');
  if (percent != nullptr) {
    f.lead = format;
    f.leadLength = static_cast<size_t>(percent - format);
    f.spec = percent;
  } else {
    f.spec = format;
  }
  bool afterPoint = false;
  for (const char* p = f.spec; *p != '\0'; ++p) {
    const char c = *p;
    if (c >= '0' && c <= '9') {
      if (afterPoint) {
        if (f.precision < 0) f.precision = 0;
        f.precision = f.precision * 10 + (c - '0');
        if (f.precision > kMaxPrecision) f.precision = kMaxPrecision;
      } else if (c == '0' && f.width == 0) {
        f.zero = true;
      } else {
        f.width = f.width * 10 + (c - '0');
        if (f.width > kMaxWidth) f.width = kMaxWidth;
      }
      continue;
    }
    switch (c) {
      case ' ': f.space = true; break;
      case '+': f.plus = true; break;
      case '#': f.alt = true; break;
      case '-': f.left = true; break;
      case '.':
        afterPoint = true;
        if (f.precision < 0) f.precision = 0;
        break;
      case 'X': case 'c': case 'o': case 'x': f.intLetter = c; break;
      case 'E': case 'e': case 'f': case 'g': f.realLetter = c; break;
      case 'A': f.mode = Mode::A; f.nullRule = 'v'; break;
      case 'H': f.mode = Mode::H; f.nullRule = 'v'; break;
      case 'P': f.mode = Mode::P; f.nullRule = 'v'; break;
      case 'U': f.mode = Mode::U; f.nullRule = 'v'; break;
      case 'Q': f.mode = Mode::Q; f.nullRule = 'N'; break;
      case 'F':
        f.mode = f.mode == Mode::T ? Mode::TableInput : Mode::F;
        f.nullRule = 'e';
        f.fieldMode = true;
        break;
      case 'T':
        if (f.mode == Mode::F) {
          f.mode = Mode::TableInput;
          f.fieldMode = true;
        } else {
          f.mode = Mode::T;
        }
        f.nullRule = 'e';
        break;
      case 'N':
        if (p[1] == '\0') {
          f.nullRule = 'v';
        } else {
          f.nullRule = *++p;
          if (f.nullRule == 'V') {
            f.nameDisplay = true;
            f.mode = Mode::Q;
          }
        }
        break;
      case 'D': f.fieldMode = true; f.noError = true; break;
      case 'n': f.nameDisplay = true; f.fieldMode = true; break;
      case 'h': f.hidden = true; break;
      case 't': f.prefixWithName = true; break;
      default: break;   // anything else, "%" included, is ignored
    }
  }
  return f;
}

// The number formatted by a conversion built from the accepted characters
// only: "%<flags><width>.<precision><letter>".
void formatNumber(const FormatSpec& f, const Value& v, char* buffer) {
  // The plain conversions ("%i", "%d", "%f", "%.2f") without printf.
  const bool plain = !f.left && !f.plus && !f.space && !f.alt && !f.zero && f.width == 0;
  if (plain && v.type == tInteger && f.precision < 0 && (f.intLetter == 'i' || f.intLetter == 'd')) {
    IntegerText(v.val.Integer, buffer);
    return;
  }
  if (plain && v.type == tReal && f.realLetter == 'f' &&
      FixedText(v.val.Real, f.precision < 0 ? 6 : f.precision, buffer) >= 0)
    return;
  char conv[32];
  size_t n = 0;
  conv[n++] = '%';
  if (f.left) conv[n++] = '-';
  if (f.plus) conv[n++] = '+';
  if (f.space) conv[n++] = ' ';
  if (f.alt) conv[n++] = '#';
  if (f.zero) conv[n++] = '0';
  if (f.width > 0) n += static_cast<size_t>(std::snprintf(conv + n, sizeof conv - n, "%d", f.width));
  if (f.precision >= 0)
    n += static_cast<size_t>(std::snprintf(conv + n, sizeof conv - n, ".%d", f.precision));
  conv[n++] = v.type == tInteger ? f.intLetter : f.realLetter;
  conv[n] = '\0';
  if (v.type == tInteger)
    std::snprintf(buffer, kNumberBuffer, conv, v.val.Integer);
  else
    std::snprintf(buffer, kNumberBuffer, conv, v.val.Real);
}

// Letters, digits and '_' (and '.' in a prefix, which joins tuple names).
bool sqlName(const char* text, bool dots) {
  for (const char* p = text; *p != '\0'; ++p)
    if (!std::isalnum(static_cast<unsigned char>(*p)) && *p != '_' && !(dots && *p == '.'))
      return false;
  return true;
}

bool htmlMode(Mode m) {
  return m == Mode::H || m == Mode::P || m == Mode::T || m == Mode::F || m == Mode::TableInput;
}

// Prefix and name, escaped in the HTML modes and URL-encoded in the URL
// mode: a field name (a form field's comes from the visitor) can never
// open markup of its own or break out of a link.
void putName(Globals* G, Mode m, const char* prefix, const char* name) {
  if (m == Mode::U) {
    wwwputurl(G, prefix);
    wwwputurl(G, name);
    return;
  }
  const bool escape = htmlMode(m);
  wwwput(G, prefix, escape, 66666666);
  wwwput(G, name, escape, 66666666);
}

void putText(Globals* G, const char* text) { serverPuts(text, out(G)); }

// "<input type=... name=... value=\"" of the input modes.
void inputOpen(Globals* G, const FormatSpec& f, const char* prefix, const char* name) {
  putText(G, "<input type=\"");
  putText(G, f.hidden ? "hidden" : "text");
  putText(G, "\" name=\"");
  putName(G, f.mode, prefix, name);
  putText(G, "\" value=\"");
}

// The closing double quote and the size attribute of the input modes.
void inputClose(Globals* G, const FormatSpec& f) {
  putText(G, "\"");
  if (f.width != 0) serverPrintf(out(G), " size=\"%i\"", f.width);
  putText(G, ">");
}

void renderNumber(Globals* G, const FormatSpec& f, const Value& v, const char* prefix,
                  const char* name) {
  char c[kNumberBuffer];
  formatNumber(f, v, c);
  switch (f.mode) {
    case Mode::A: case Mode::H: case Mode::Q:
      putText(G, c);
      break;
    case Mode::P:
      putText(G, "\"");
      putText(G, c);
      putText(G, "\"");
      break;
    case Mode::U:
      wwwputurl(G, c);
      break;
    case Mode::T:
      putText(G, "<td ");
      if (!f.left) putText(G, "align=\"right\"");
      putText(G, ">");
      putText(G, c);
      putText(G, "</td>");
      break;
    case Mode::F:
      inputOpen(G, f, prefix, name);
      putText(G, c);
      inputClose(G, f);
      break;
    case Mode::TableInput:
      putText(G, "<td ");
      if (!f.left) putText(G, "align=\"right\"");
      putText(G, ">");
      inputOpen(G, f, prefix, name);
      putText(G, c);
      inputClose(G, f);
      putText(G, "</td>");
      break;
  }
}

void padSpaces(Globals* G, int n) {
  for (int i = 0; i < n; ++i) serverPutc(' ', out(G));
}

void renderString(Globals* G, const FormatSpec& f, const Value& v, const char* prefix,
                  const char* name) {
  const char* text = v.val.str != nullptr ? v.val.str : "";
  const size_t size = v.val.str != nullptr ? static_cast<size_t>(v.size) : 0;
  switch (f.mode) {
    case Mode::A:
    case Mode::H: {
      const int length = static_cast<int>(strnlen(text, size));
      const int fill = f.width > length ? f.width - length : 0;
      if (f.left) padSpaces(G, fill);
      wwwputn(G, text, size, f.mode == Mode::H);
      if (!f.left) padSpaces(G, fill);
      break;
    }
    case Mode::P:
      putText(G, "\"");
      wwwputn(G, text, size, true);
      putText(G, "\"");
      break;
    case Mode::Q:
      if (PQTBuffer != nullptr) {
        appendquoted(PQTBuffer, text);
      } else {
        putText(G, "\"");
        wwwputn(G, text, size, false);
        putText(G, "\"");
      }
      break;
    case Mode::U:
      wwwputurl(G, text);
      break;
    case Mode::T:
      putText(G, "<td");
      if (f.left) putText(G, " align=\"right\"");
      putText(G, ">");
      wwwputn(G, text, size, true);
      putText(G, "</td>");
      break;
    case Mode::F:
      inputOpen(G, f, prefix, name);
      wwwputn(G, text, size, true);
      inputClose(G, f);
      break;
    case Mode::TableInput:
      putText(G, "<td");
      if (f.left) putText(G, " align=\"right\"");
      putText(G, ">");
      inputOpen(G, f, prefix, name);
      wwwputn(G, text, size, true);
      inputClose(G, f);
      putText(G, "</td>");
      break;
  }
}

// A Null value under the null rule: converted (true) or written (false).
bool convertNull(Globals* G, const FormatSpec& f, Value* v) {
  switch (f.nullRule) {
    case '0': *v = MakeInteger(0); return true;
    case 'b': *v = falseValue; return true;
    case 'r': *v = MakeReal(0.0); return true;
    case 'e': *v = MakeStringZ(G, "", VF_TEMP); return true;
    case 's': *v = MakeStringZ(G, " ", VF_TEMP); return true;
    case 'N': putText(G, "NULL"); return false;
    case 'n': putText(G, "null"); return false;
    case 'S':
      putText(G, f.mode == Mode::T || f.mode == Mode::TableInput ? "<td>&nbsp</td>" : "&nbsp;");
      return false;
    default: return false;
  }
}

// The separator between the fields of a tuple, by mode.
const char* modeSeparator(const FormatSpec& f) {
  switch (f.mode) {
    case Mode::T: case Mode::F: case Mode::TableInput: return "\n";
    case Mode::A: return "\t";
    case Mode::P: return " ";
    case Mode::Q: return ",";
    case Mode::U: return "&";
    case Mode::H: return f.prefixWithName ? " " : "";
  }
  return "";
}

void renderTuple(Globals* G, const FormatSpec& f, const Value& v, const char* prefix,
                 const char* name, bool hasName, Position pos, Value hostTuple) {
  if (f.mode == Mode::H && !f.prefixWithName) {
    if (f.nameDisplay) {
      putText(G, "<table><tr><td>");
      putName(G, f.mode, "", name);
      putText(G, "=</td><td>");
    }
    ShowTuple(G, v, hasName ? name : nullptr);
    if (f.nameDisplay) putText(G, "</td></tr></table>");
    return;
  }
  // Field prefix: the tuple's name and a point (flag t), else the prefix given.
  char* fieldPrefix = nullptr;
  if (f.prefixWithName && hasName && f.mode != Mode::H) {
    const size_t n = std::strlen(name);
    fieldPrefix = static_cast<char*>(bxAlloc(G, n + 2));
    std::memcpy(fieldPrefix, name, n);
    fieldPrefix[n] = '.';
    fieldPrefix[n + 1] = '\0';
  }
  const Tuple* t = v.val.tuple.t;
  bool first = true;
  for (int32_t i = 0; i < t->logsize; ++i) {
    Field* field = &t->fields[i];
    if (field->v.type == tNull && f.nullRule == 'v') continue;
    if (!first) {
      if (f.leadLength > 0) wwwputn(G, f.lead, f.leadLength, false);
      else putText(G, modeSeparator(f));
    }
    first = false;
    FormatValue(G, nullptr, f.spec, field, fieldPrefix != nullptr ? fieldPrefix : prefix, pos,
                hostTuple);
  }
  bxFree(fieldPrefix);
}

}  // namespace

void FormatValue(Globals* G, Token* expr, const char* format, Field* field,
                 const char* prefix, Position pos, Value hostTuple) {
  const FormatSpec f = parseFormat(format != nullptr ? format : "");
  if (prefix == nullptr) prefix = "";

  // The value and its name.
  Value v = nullValue;
  Ident nameId = 0;
  FieldRef ref{nullptr, nullValue};   // field mode: the entry, released at the end
  if (expr != nullptr) {
    if (f.fieldMode) {
      ref = EvalFieldRef(G, expr);
      if (ref.field != nullptr) {
        v = ref.field->v;
        nameId = ref.field->name;
      } else if (!f.noError) {
        FatalMessage(G, "Undefined Field or Variable Name", pos);
      }
    } else {
      v = eval(G, expr);
    }
  } else if (field != nullptr) {
    v = field->v;
    nameId = field->name;
  }
  const bool hasName = nameId != 0;
  const char* name = hasName ? GetStringIdent(G, nameId) : "";

  if (!(v.type == tNull && f.nullRule == 'v')) {
    bool render = true;
    if (v.type != tTuple) {
      wwwputn(G, f.lead, f.leadLength, false);
      if (f.nameDisplay && hasName) {
        // The SQL mode writes names as column names: one from a visitor
        // (a form field's) must not carry SQL of its own.
        if (f.mode == Mode::Q && !(sqlName(prefix, true) && sqlName(name, false)))
          FatalMessageI(G, "Field name not allowed in SQL text", pos, InfoText(name));
        if (f.nullRule == 'V') {
          putName(G, f.mode, prefix, name);
          render = false;
        } else if (f.mode == Mode::T || f.mode == Mode::TableInput) {
          putText(G, "<td>");
          putName(G, f.mode, "", name);
          putText(G, "</td>");
        } else {
          putName(G, f.mode, prefix, name);
          putText(G, "=");
        }
      }
    }
    // Rendering, repeated after each conversion.
    Value cur = v;
    bool curOwned = false;   // cur is a conversion's own string
    while (render) {
      render = false;
      switch (cur.type) {
        case tNull:
          if (convertNull(G, f, &cur)) render = true;
          curOwned = cur.type == tString;
          break;
        case tBoolean:
          cur = MakeStringZ(G, cur.val.Boolean != 0 ? "true" : "false", VF_TEMP);
          curOwned = true;
          render = true;
          break;
        case tInteger:
        case tReal:
          renderNumber(G, f, cur, prefix, name);
          break;
        case tString:
          renderString(G, f, cur, prefix, name);
          break;
        case tTuple:
          if (expr != nullptr) renderTuple(G, f, cur, prefix, name, hasName, pos, hostTuple);
          break;
        default:
          break;
      }
    }
    // A conversion's own string (the value itself is released below).
    if (curOwned) ReleaseValue(G, &cur);
  }

  if (f.fieldMode) ReleaseFieldRef(G, &ref);
  else if (expr != nullptr) ReleaseIfTemp(G, &v);
}
