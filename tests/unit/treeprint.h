// treeprint.h: a compact printed form of syntax trees, for the unit tests.
//
// Lists print as [a b c]; statements and expressions as (head parts...);
// texts in double quotes, string constants in single quotes, names bare.
// With positions, every node that has one prints it as @line:column after
// its head.
#pragma once

#include <string>

#include "frontend/tree.h"
#include "support/idents.h"
#include "values/value.h"

namespace treeprint {

inline const char* operatorName(int op) {
  switch (op) {
    case opPlus: return "+";
    case opMinus: return "-";
    case opTimes: return "*";
    case opDiv: return "/";
    case opMod: return "%";
    case opLess: return "<";
    case opLessEq: return "<=";
    case opGreaterEq: return ">=";
    case opEq: return "==";
    case opNotEq: return "!=";
    case opAnd: return "&&";
    case opOr: return "||";
    case opSeq: return ",";
    case opNeg: return "neg";
    case opNot: return "!";
    case opAssign: return "=";
    default: return "op?";
  }
}

inline const char* sectionName(int slot) {
  static const char* const names[SecCount] = {"top", "head", "body", "rowbegin", "column",
                                             "rowend", "foot", "sep", "empty"};
  return slot >= 0 && slot < SecCount ? names[slot] : "?";
}

struct Printer {
  Globals* G;
  bool positions;
  std::string out;

  void ident(Ident id) {
    if (id == 0) {
      out += "#0";
    } else {
      out += GetStringIdent(G, id);
    }
  }

  void head(const char* name, const Token* t) {
    out += "(";
    out += name;
    at(t);
  }

  void at(const Token* t) {
    if (!positions) return;
    out += "@" + std::to_string(t->position.line) + ":" + std::to_string(t->position.column);
  }

  void quoted(const char* s, int32_t n, char quote) {
    out += quote;
    for (int32_t i = 0; i < n; i++) {
      const char c = s[i];
      if (c == '\n') {
        out += "\\n";
      } else if (c == '\t') {
        out += "\\t";
      } else {
        out += c;
      }
    }
    out += quote;
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
    switch (v.type) {
      case tInteger: out += std::to_string(v.val.Integer); break;
      case tReal: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "r%g", v.val.Real);
        out += buf;
        break;
      }
      case tString:
        quoted(v.val.String.str != nullptr ? v.val.String.str : "", v.val.String.size, '\'');
        break;
      case tBoolean: out += v.val.Boolean ? "true" : "false"; break;
      case tNull: out += "null"; break;
      case tTuple: out += "emptytuple"; break;
      default: out += "const?"; break;
    }
    if (positions) at(t);
  }

  void tuple(const Token* t) {
    if (t->kind == TKtupleout) {
      out += "*";
      ident(t->name);
      at(t);
      return;
    }
    if (t->name != 0) ident(t->name);
    at(t);
    if (t->name != 0 && t->expr != nullptr) out += "=";
    if (t->expr != nullptr) node(t->expr);
    if (t->name == 0 && t->expr == nullptr) out += "_";
  }

  void node(const Token* t) {
    if (t == nullptr) {
      out += "nil";
      return;
    }
    switch (t->kind) {
      case TKtext:
        quoted(t->text, t->textLength, '"');
        return;
      case TKName:
        ident(t->name);
        at(t);
        return;
      case TKconst:
        constant(t);
        return;
      case TKtuple:
      case TKtupleout:
        tuple(t);
        return;
      case TKexprbin:
        head(operatorName(t->op), t);
        out += " ";
        node(t->left);
        out += " ";
        node(t->right);
        break;
      case TKexprun:
        head(operatorName(t->op), t);
        out += " ";
        node(t->left);
        break;
      case TKexprassign:
        head("=", t);
        out += " ";
        node(t->left);
        out += " ";
        node(t->right);
        break;
      case TKexprindex:
        head("idx", t);
        out += " ";
        node(t->left);
        out += " ";
        node(t->right);
        break;
      case TKselektor:
        head(".", t);
        out += " ";
        node(t->left);
        out += " ";
        ident(t->name);
        break;
      case TKexprcopy:
        out += "(copy ";
        node(t->left);
        break;
      case TKfuncall:
        head("call", t);
        out += " ";
        ident(t->name);
        out += t->builtin != nullptr ? " builtin " : " ";
        list(t->params);
        break;
      case TKexprformat:
        head("fmt", t);
        out += " ";
        node(t->left);
        out += " " + std::to_string(t->format);
        break;
      case TKexprformatstr:
        head("fmtx", t);
        out += " ";
        node(t->left);
        out += " ";
        node(t->right);
        break;
      case TKlet:
        head("let", t);
        out += " ";
        node(t->expr);
        break;
      case TKreturn:
        head("return", t);
        if (t->expr != nullptr) {
          out += " ";
          node(t->expr);
        }
        break;
      case TKbreak:
        head("break", t);
        break;
      case TKdefbody:
        head("defbody", t);
        break;
      case TKifbool:
      case TKifempty:
        head(t->kind == TKifbool ? "if" : "ifempty", t);
        out += " ";
        if (t->kind == TKifbool) {
          node(t->cond);
        } else {
          list(t->cond);
        }
        out += " ";
        list(t->thenPart);
        if (t->elsePart != nullptr) {
          out += " ";
          list(t->elsePart);
        }
        break;
      case TKwhile:
        head("while", t);
        out += " ";
        node(t->cond);
        out += " ";
        list(t->body);
        break;
      case TKassign:
        head("assign", t);
        out += " ";
        node(t->expr);
        out += " ";
        list(t->body);
        break;
      case TKdef:
      case TKdefenv:
        head(t->kind == TKdef ? "def" : "defenv", t);
        out += " ";
        ident(t->name);
        out += " ";
        list(t->params);
        out += " ";
        list(t->body);
        break;
      case TKcall:
        head("tag", t);
        out += " ";
        ident(t->name);
        out += " ";
        list(t->params);
        break;
      case TKcallenv:
        head("env", t);
        out += " ";
        ident(t->name);
        out += " ";
        list(t->params);
        out += " ";
        list(t->body);
        break;
      case TKquery:
        head("query", t);
        out += " ";
        ident(t->name);
        out += " ";
        list(t->body);
        for (int s = 0; s < SecCount; s++) {
          if (t->sections[s] == nullptr) continue;
          out += " ";
          out += sectionName(s);
          out += "=";
          list(t->sections[s]);
        }
        break;
      case TKupdate:
      case TKstamp:
      case TKdatabase:
        head(t->kind == TKupdate ? "update" : t->kind == TKstamp ? "stamp" : "database", t);
        out += " ";
        list(t->body);
        break;
      case TKinclude:
      case TKshell:
        head(t->kind == TKinclude ? "include" : "shell", t);
        out += " ";
        list(t->body);
        break;
      case TKmail:
        head("mail", t);
        out += " ";
        list(t->params);
        out += " ";
        list(t->body);
        break;
      default:
        // field outputs and anything else: kind, qualifier and name
        head(("kind" + std::to_string(t->kind)).c_str(), t);
        out += " ";
        if (t->qualifier != 0) {
          ident(t->qualifier);
          out += ".";
        }
        ident(t->name);
        break;
    }
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
