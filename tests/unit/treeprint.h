// treeprint.h: compact printed forms of syntax trees and of the stored
// messages, for the front-end unit tests.
//
// Lists print as [a b c]; statements and expressions as (head parts...);
// texts in double quotes, string constants in single quotes, names bare.
// With positions, every node that has one prints it as @line:column after
// its head.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

#include "diag/messages.h"
#include "frontend/tree.h"
#include "support/idents.h"
#include "values/value.h"

namespace treeprint {

// Text with newlines and tabs shown as \n and \t.
inline std::string escaped(const char* s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; i++) out += s[i] == '\n' ? "\\n" : s[i] == '\t' ? "\\t" : std::string(1, s[i]);
  return out;
}

inline const char* operatorName(int op) {
  static constexpr std::pair<int, const char*> kNames[] = {
      {opPlus, "+"},  {opMinus, "-"}, {opTimes, "*"}, {opDiv, "/"},      {opMod, "%"},
      {opLess, "<"},  {opLessEq, "<="}, {opGreaterEq, ">="}, {opEq, "=="}, {opNotEq, "!="},
      {opAnd, "&&"}, {opOr, "||"},    {opSeq, ","},   {opNeg, "neg"},    {opNot, "!"},
      {opAssign, "="}};
  for (const auto& [code, name] : kNames) {
    if (code == op) return name;
  }
  return "op?";
}

// The head and the parts of each kind, one letter per part: n name, q
// qualifier.name, L left, R right, c cond, C cond list, t then list, e else
// list (when present), b body list, p params list, x expr (when present), f
// format code, B "builtin" (when bound), S the filled section slots.
struct Shape { uint16_t kind; const char* head; const char* parts; };
inline constexpr Shape kShapes[] = {
    {TKexprbin, nullptr, "LR"}, {TKexprun, nullptr, "L"},     {TKexprassign, "=", "LR"},
    {TKexprindex, "idx", "LR"}, {TKselektor, ".", "Ln"},      {TKfuncall, "call", "nBp"},
    {TKexprformat, "fmt", "Lf"}, {TKexprformatstr, "fmtx", "LR"}, {TKlet, "let", "x"},
    {TKreturn, "return", "x"},  {TKbreak, "break", ""},       {TKdefbody, "defbody", ""},
    {TKifbool, "if", "cte"},    {TKifempty, "ifempty", "Cte"}, {TKwhile, "while", "cb"},
    {TKassign, "assign", "xb"}, {TKdef, "def", "npb"},        {TKdefenv, "defenv", "npb"},
    {TKcall, "tag", "np"},      {TKcallenv, "env", "npb"},    {TKquery, "query", "nbS"},
    {TKupdate, "update", "b"},  {TKstamp, "stamp", "b"},      {TKdatabase, "database", "b"},
    {TKinclude, "include", "b"}, {TKshell, "shell", "b"},     {TKmail, "mail", "pb"},
};

struct Printer {
  Globals* G;
  bool positions;
  std::string out;

  void ident(Ident id) { out += id == 0 ? "#0" : GetStringIdent(G, id); }

  void at(const Token* t) {
    if (positions) out += "@" + std::to_string(t->position.line) + ":" + std::to_string(t->position.column);
  }

  void quoted(const char* s, int32_t n, char quote) {
    out += quote + escaped(s, static_cast<size_t>(n)) + quote;
  }

  void list(const Token* l) {
    out += "[";
    for (const Token* t = l; t != nullptr; t = t->next) {
      if (t != l) out += " ";
      node(t);
    }
    out += "]";
  }

  void constant(const Token* t) {
    const Value& v = t->constant;
    char buf[64];
    switch (v.type) {
      case tInteger: out += std::to_string(v.val.Integer); break;
      case tReal: std::snprintf(buf, sizeof buf, "r%g", v.val.Real); out += buf; break;
      case tString: quoted(v.val.str != nullptr ? v.val.str : "", v.size, '\''); break;
      case tBoolean: out += v.val.Boolean ? "true" : "false"; break;
      case tNull: out += "null"; break;
      case tTuple: out += "emptytuple"; break;
      default: out += "const?"; break;
    }
    at(t);
  }

  // An argument or parameter entry: name=expression, positional or *out.
  void tuple(const Token* t) {
    if (t->kind == TKtupleout) out += "*";
    if (t->name != 0 || t->kind == TKtupleout) ident(t->name);
    at(t);
    if (t->name != 0 && t->expr != nullptr) out += "=";
    if (t->expr != nullptr) node(t->expr);
    if (t->name == 0 && t->expr == nullptr) out += "_";
  }

  void part(char p, const Token* t) {
    const bool absent = (p == 'e' && t->elsePart == nullptr) || (p == 'x' && t->expr == nullptr) ||
                        (p == 'B' && t->builtin == nullptr);
    if (absent) return;
    out += " ";
    switch (p) {
      case 'n': ident(t->name); break;
      case 'q':
        if (t->qualifier != 0) { ident(t->qualifier); out += "."; }
        ident(t->name);
        break;
      case 'L': node(t->left); break;
      case 'R': node(t->right); break;
      case 'c': node(t->cond); break;
      case 'C': list(t->cond); break;
      case 't': list(t->thenPart); break;
      case 'e': list(t->elsePart); break;
      case 'b': list(t->body); break;
      case 'p': list(t->params); break;
      case 'x': node(t->expr); break;
      case 'f': out += std::to_string(t->format); break;
      case 'B': out += "builtin"; break;
      case 'S': {
        static const char* const names[SecCount] = {"top", "head", "body", "rowbegin", "column",
                                                   "rowend", "foot", "sep", "empty"};
        out.pop_back();   // each filled slot brings its own blank
        for (int s = 0; s < SecCount; s++) {
          if (t->sections[s] == nullptr) continue;
          out += std::string(" ") + names[s] + "=";
          list(t->sections[s]);
        }
        break;
      }
      default: break;
    }
  }

  void node(const Token* t) {
    if (t == nullptr) {
      out += "nil";
      return;
    }
    switch (t->kind) {
      case TKtext: quoted(t->text, t->textLength, '"'); return;
      case TKName: ident(t->name); at(t); return;
      case TKconst: constant(t); return;
      case TKtuple: case TKtupleout: tuple(t); return;
      case TKexprcopy: out += "(copy "; node(t->left); out += ")"; return;
      default: break;
    }
    std::string head = "kind" + std::to_string(t->kind);
    const char* parts = "q";   // field outputs and anything else
    for (const Shape& s : kShapes) {
      if (s.kind != t->kind) continue;
      head = s.head != nullptr ? s.head : operatorName(t->op);
      parts = s.parts;
    }
    out += "(" + head;
    at(t);
    for (const char* p = parts; *p != 0; p++) part(*p, t);
    out += ")";
  }
};

}  // namespace treeprint

// The statement list, printed.
inline std::string PrintTree(Globals* G, const Token* list, bool positions = false) {
  treeprint::Printer p{G, positions, {}};
  p.list(list);
  return p.out;
}

// One node (an expression or a statement), printed.
inline std::string PrintNode(Globals* G, const Token* node, bool positions = false) {
  treeprint::Printer p{G, positions, {}};
  p.node(node);
  return p.out;
}

// The stored messages, one per line: "line:column c<class> text [info]", with
// "#code" for coded messages; source markers as "line:column m<kind>" when
// asked for, else left out.
inline std::string PrintMessages(Globals* G, bool markers) {
  std::string out;
  for (const MessageRecord* m = G->Errors->head; m != nullptr; m = m->next) {
    if (m->kind >= mkKeyword && !markers) continue;
    out += std::to_string(m->position.line) + ":" + std::to_string(m->position.column) + " ";
    if (m->kind >= mkKeyword) {
      out += "m" + std::to_string(m->kind) + "\n";
      continue;
    }
    out += "c" + std::to_string(m->errorClass) + " " +
           (m->kind <= mkCodeInfo ? "#" + std::to_string(m->code) : std::string(m->text));
    if (m->info != nullptr) out += std::string(" [") + m->info + "]";
    out += "\n";
  }
  return out;
}
