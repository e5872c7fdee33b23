#!/usr/bin/env python3
"""lalr_tables.py: turns Bison's XML report of frontend/grammar.y into the C++
tables of the parser driver (frontend/parser.cpp).

Usage: lalr_tables.py GRAMMAR.y REPORT.xml OUT_DIR

Writes OUT_DIR/parser_tables.h and OUT_DIR/parser_tables.cpp:
  - the action table (shift, reduce, accept, error) per state and terminal,
  - the goto table per state and nonterminal,
  - rule lengths, left-hand sides and one named constant per rule, and a
    dispatch that hands the parser a rule number as a compile-time constant,
  - the continuation token of every state (for the error repair),
  - the display names of the terminals (Parser_TokenName).

The continuation token of a state is a terminal on a shortest path from the
state to the acceptance of the input; among several, the lowest code. The
path length is measured in shifted terminals, with the context below the
state chosen as favourably as the items of the state allow. The script then
follows the continuation tokens from many reachable parser configurations and
refuses to write tables in which that walk does not end in acceptance.
"""
import random
import re
import sys
import xml.etree.ElementTree as ET

BISON_VERSION = "3.8.2"
TERMINALS = 67            # token codes 0 .. 66
INF = float("inf")


def fail(text):
    sys.stderr.write("lalr_tables.py: %s\n" % text)
    sys.exit(1)


# ---------------------------------------------------------------- reading

def read_token_names(grammar_path):
    """Maps each display name to (enum name, code) from the %token lines."""
    names = {}
    pattern = re.compile(r'^%token\s+(\w+)\s+(\d+)\s+"((?:[^"\\]|\\.)*)"\s*$')
    with open(grammar_path, encoding="utf-8") as f:
        for line in f:
            m = pattern.match(line.strip())
            if m:
                names[m.group(3)] = (m.group(1), int(m.group(2)))
    return names


def unquote(name):
    if len(name) >= 2 and name[0] == '"' and name[-1] == '"':
        return name[1:-1]
    return name


class Grammar:
    pass


def read_report(report_path, token_names):
    root = ET.parse(report_path).getroot()
    if root.get("version") != BISON_VERSION:
        fail("bison %s expected, the report is from %s" % (BISON_VERSION, root.get("version")))
    g = Grammar()
    gram = root.find("grammar")

    # Terminals: symbol name in the report -> token code.
    g.term_code = {}
    g.display = [None] * TERMINALS
    g.enum_name = [None] * TERMINALS
    for t in gram.find("terminals"):
        code = int(t.get("token-number"))
        name = t.get("name")
        if code >= TERMINALS:
            continue          # error and the invalid token: never expected, never inserted
        disp = unquote(name)
        if disp not in token_names:
            fail("terminal %s has no %%token line with a display name" % name)
        enum, declared = token_names[disp]
        if declared != code:
            fail("terminal %s: code %d in the report, %d declared" % (name, code, declared))
        if g.display[code] is not None:
            fail("two terminals with code %d" % code)
        g.term_code[name] = code
        g.display[code] = disp
        g.enum_name[code] = enum
    for code in range(TERMINALS):
        if g.display[code] is None:
            fail("no terminal with code %d" % code)
    if len(set(g.display)) != TERMINALS:
        fail("display names are not unique")

    g.nonterms = [n.get("name") for n in gram.find("nonterminals") if n.get("name") != "$accept"]
    g.nt_index = {n: i for i, n in enumerate(g.nonterms)}

    g.rules = []  # (lhs name, [rhs names])
    for r in gram.find("rules"):
        num = int(r.get("number"))
        if num != len(g.rules):
            fail("rules are not numbered in order")
        if r.get("usefulness") != "useful":
            fail("rule %d is not useful" % num)
        lhs = r.find("lhs").text
        rhs = [s.text for s in r.find("rhs").findall("symbol")]
        g.rules.append((lhs, rhs))
    if g.rules[0][0] != "$accept":
        fail("rule 0 is not the start rule")

    g.states = []
    for s in root.find("automaton"):
        num = int(s.get("number"))
        if num != len(g.states):
            fail("states are not numbered in order")
        st = {"items": [], "shift": {}, "goto": {}, "reduce": {}, "accept": False}
        for it in s.find("itemset"):
            st["items"].append((int(it.get("rule-number")), int(it.get("dot"))))
        actions = s.find("actions")
        for tr in actions.find("transitions"):
            sym, target = tr.get("symbol"), int(tr.get("state"))
            if tr.get("type") == "shift":
                st["shift"][sym] = target
            else:
                st["goto"][sym] = target
        for red in actions.find("reductions"):
            if red.get("enabled") != "true":
                fail("state %d: unresolved conflict on %s" % (num, red.get("symbol")))
            sym, rule = red.get("symbol"), red.get("rule")
            if rule == "accept":
                st["accept"] = True
                continue
            if sym == "$default":
                fail("state %d: default reduction (lr.default-reduction must be accepting)" % num)
            if sym in st["reduce"]:
                fail("state %d: two reductions on %s" % (num, sym))
            st["reduce"][sym] = int(rule)
        g.states.append(st)
    return g


# ------------------------------------------------------------ the tables

def build_tables(g):
    """action[state][code]: ('s', target) | ('r', rule) | ('a',) | None."""
    end_name = [n for n, c in g.term_code.items() if c == 0][0]
    accept_states = {i for i, st in enumerate(g.states) if st["accept"]}
    g.action = []
    for i, st in enumerate(g.states):
        row = [None] * TERMINALS
        for sym, target in st["shift"].items():
            if sym not in g.term_code:
                fail("state %d shifts the unknown symbol %s" % (i, sym))
            code = g.term_code[sym]
            if code == 0:
                if target not in accept_states:
                    fail("state %d shifts the end of input without accepting" % i)
                row[0] = ("a",)   # accepting is halting: the end is never shifted
            else:
                row[code] = ("s", target)
        for sym, rule in st["reduce"].items():
            if sym not in g.term_code:
                continue          # error token
            code = g.term_code[sym]
            if row[code] is not None:
                fail("state %d: shift and reduce on %s" % (i, sym))
            row[code] = ("r", rule)
        g.action.append(row)
    g.goto = []
    for i, st in enumerate(g.states):
        row = [-1] * len(g.nonterms)
        for sym, target in st["goto"].items():
            row[g.nt_index[sym]] = target
        g.goto.append(row)
    g.end_name = end_name


# ------------------------------------------------------ continuation tokens

def is_term(g, sym):
    return sym in g.term_code


def shortest_terminal_strings(g):
    """minlen of every symbol and the first terminals of its shortest strings."""
    minlen = {}
    first = {}
    for sym, code in g.term_code.items():
        minlen[sym] = 1
        first[sym] = {code}
    for n in g.nonterms:
        minlen[n] = INF
        first[n] = set()
    changed = True
    while changed:
        changed = False
        for lhs, rhs in g.rules[1:]:
            length = sum(minlen[s] for s in rhs)
            if length < minlen[lhs]:
                minlen[lhs] = length
                first[lhs] = set()
                changed = True
            if length == minlen[lhs] and length != INF:
                f = seq_first(rhs, minlen, first)
                if not f <= first[lhs]:
                    first[lhs] |= f
                    changed = True
    for n in g.nonterms:
        if minlen[n] == INF:
            fail("nonterminal %s derives no terminal string" % n)
    return minlen, first


def seq_first(seq, minlen, first):
    """First terminals of the shortest strings of a symbol sequence."""
    for s in seq:
        if minlen[s] > 0:
            return set(first[s])
    return set()


def continuation_tokens(g):
    """For every state and nonterminal A, after(o, A) is the length of the
    shortest path to acceptance once an A has been recognised on top of state
    o; the items of o tell where the A belongs, and an item's own origin
    further down is chosen as favourably as possible. The continuation of a
    state follows the item of the state with the shortest path."""
    minlen, first = shortest_terminal_strings(g)
    nstates = len(g.states)
    rev = [[] for _ in range(nstates)]
    for p, st in enumerate(g.states):
        for sym, target in list(st["shift"].items()) + list(st["goto"].items()):
            rev[target].append((p, sym))

    def origins(s, rule, dot):
        """The states where an item of state s had its dot at the start."""
        current = {s}
        for sym in reversed(g.rules[rule][1][:dot]):
            current = {p for q in current for p, via in rev[q] if via == sym}
        return current

    def rest_of(rule, dot):
        rhs = g.rules[rule][1]
        if rule == 0:
            rhs = rhs[:-1]          # the end of input is accepted, not shifted
        return rhs[dot:]

    # where[(o, A)]: the items (rule, dot) of o that expect A, with their origins
    where = {}
    for o in range(nstates):
        for rule, dot in g.states[o]["items"]:
            rhs = rest_of(rule, 0)
            if dot < len(rhs) and rhs[dot] in g.nt_index:
                where.setdefault((o, rhs[dot]), []).append(
                    (rule, dot + 1, origins(o, rule, dot)))
    after = {key: INF for key in where}
    after_first = {key: set() for key in where}

    def item_cost(rule, dot, orig):
        """Shortest path length and its first terminals for an item."""
        rest = rest_of(rule, dot)
        own = sum(minlen[x] for x in rest)
        if rule == 0:
            return own, (seq_first(rest, minlen, first) if own else {0})
        lhs = g.rules[rule][0]
        below = min((after.get((o, lhs), INF) for o in orig), default=INF)
        if own > 0:
            return own + below, seq_first(rest, minlen, first)
        f = set()
        for o in orig:
            if after.get((o, lhs), INF) == below:
                f |= after_first[(o, lhs)]
        return below, f

    changed = True
    while changed:
        changed = False
        for key, items in where.items():
            best, f = INF, set()
            for rule, dot, orig in items:
                c, cf = item_cost(rule, dot, orig)
                if c < best:
                    best, f = c, set(cf)
                elif c == best:
                    f |= cf
            if best < after[key] or (best == after[key] and best != INF and not f <= after_first[key]):
                if best < after[key]:
                    after_first[key] = set()
                after[key] = best
                after_first[key] |= f
                changed = True

    cont = []
    for s in range(nstates):
        if g.states[s]["accept"]:
            cont.append(0)        # after the end of input: never reached by the driver
            continue
        best, candidates = INF, set()
        for rule, dot in g.states[s]["items"]:
            c, cf = item_cost(rule, dot, origins(s, rule, dot))
            if c < best:
                best, candidates = c, set(cf)
            elif c == best:
                candidates |= cf
        if best == INF:
            fail("state %d cannot reach acceptance" % s)
        usable = sorted(t for t in candidates if g.action[s][t] is not None)
        if not usable:
            fail("state %d: no continuation token has an action" % s)
        cont.append(usable[0])
    return cont


def check_continuations(g, cont):
    """Follows the continuation tokens from many reachable configurations; every
    walk must end in acceptance within a number of steps linear in the stack."""
    rng = random.Random(1)

    def step(stack, t):
        """Performs the reductions t triggers and shifts t; False on error."""
        while True:
            act = g.action[stack[-1]][t]
            if act is None:
                return False
            if act[0] == "a":
                return True
            if act[0] == "s":
                stack.append(act[1])
                return True
            lhs, rhs = g.rules[act[1]]
            if rhs:
                del stack[len(stack) - len(rhs):]
            stack.append(g.goto[stack[-1]][g.nt_index[lhs]])

    def finish(stack):
        limit = 200 * len(stack) + 1000
        for _ in range(limit):
            s = stack[-1]
            c = cont[s]
            act = g.action[s][c]
            if act[0] == "a":
                return True
            if act[0] == "s":
                stack.append(act[1])
            else:
                lhs, rhs = g.rules[act[1]]
                if rhs:
                    del stack[len(stack) - len(rhs):]
                stack.append(g.goto[stack[-1]][g.nt_index[lhs]])
        return False

    for walk in range(3000):
        stack = [0]
        length = rng.randint(0, 60)
        for _ in range(length):
            s = stack[-1]
            choices = [t for t in range(1, TERMINALS) if g.action[s][t] is not None]
            if not choices:
                break
            t = rng.choice(choices)
            trial = list(stack)
            if step(trial, t):
                stack = trial
            if not finish(list(stack)):
                fail("following the continuation tokens does not end (walk %d)" % walk)


# ----------------------------------------------------------------- output

def rule_constant(g, number):
    lhs, rhs = g.rules[number]
    parts = []
    for sym in rhs:
        if is_term(g, sym):
            enum = g.enum_name[g.term_code[sym]]
            parts.append(enum[2:] if enum.startswith("tk") else enum)
        else:
            parts.append(sym)
    return "R_%s__%s" % (lhs, "_".join(parts) if parts else "empty")


def rule_text(g, number):
    lhs, rhs = g.rules[number]
    return "%s: %s" % (lhs, " ".join(rhs) if rhs else "%empty")


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def encode(act):
    if act is None:
        return "0"
    if act[0] == "a":
        return "kActionAccept"
    if act[0] == "s":
        return str(act[1] + 1)
    return str(-act[1])


def next_rule(g, nonterm):
    """The one rule by which every goto target on nonterm reduces, if those
    states do nothing else (on any terminal: that rule or an error); else 0."""
    rules = set()
    for st in g.states:
        target = st["goto"].get(nonterm)
        if target is None:
            continue
        for act in g.action[target]:
            if act is None:
                continue
            if act[0] != "r":
                return 0
            rules.add(act[1])
    return rules.pop() if len(rules) == 1 else 0


def write_tables(g, cont, out_dir):
    nstates, nnt, nrules = len(g.states), len(g.nonterms), len(g.rules)
    goto_row = 1
    while goto_row < nnt:
        goto_row *= 2
    h = []
    h.append("// parser_tables.h: generated by scripts/lalr_tables.py from frontend/grammar.y.")
    h.append("// Do not edit; the build regenerates it.")
    h.append("#pragma once")
    h.append("")
    h.append("#include <cstdint>")
    h.append("")
    h.append("inline constexpr int kParserStateCount = %d;" % nstates)
    h.append("inline constexpr int kParserTerminalCount = %d;" % TERMINALS)
    h.append("inline constexpr int kParserNonterminalCount = %d;" % nnt)
    h.append("inline constexpr int kParserRuleCount = %d;" % nrules)
    h.append("inline constexpr int kParserStartState = 0;")
    h.append("// The length of the longest display name (Parser_TokenName).")
    h.append("inline constexpr int kParserLongestTokenName = %d;" % max(len(d) for d in g.display))
    h.append("")
    h.append("// Actions: 0 error, kActionAccept, 1..kParserStateCount shift to the state")
    h.append("// one below the value, a negative value reduces by the rule of that number.")
    h.append("inline constexpr int16_t kActionError = 0;")
    h.append("inline constexpr int16_t kActionAccept = INT16_MAX;")
    h.append("// By terminal, then state: the parser looks up the states met with one")
    h.append("// lookahead in the row of that lookahead.")
    h.append("extern const int16_t ParserActionOn[kParserTerminalCount][kParserStateCount];")
    h.append("// The state after a nonterminal, or -1; rows of kParserGotoRow entries.")
    h.append("inline constexpr int kParserGotoRow = %d;" % goto_row)
    h.append("extern const int16_t ParserGoto[kParserStateCount][kParserGotoRow];")
    h.append("extern const char* const ParserRuleText[kParserRuleCount];")
    h.append("// The terminal that leads each state towards acceptance.")
    h.append("extern const uint8_t ParserContinuation[kParserStateCount];")
    h.append("")
    h.append("enum ParserNonterminal : int {")
    for i, n in enumerate(g.nonterms):
        h.append("  nt%s = %d," % (n, i))
    h.append("};")
    h.append("")
    h.append("enum ParserRule : int {")
    for r in range(1, nrules):
        h.append("  %s = %d,   // %s" % (rule_constant(g, r), r, rule_text(g, r)))
    h.append("};")
    h.append("")
    h.append("inline constexpr uint8_t ParserRuleLength[kParserRuleCount] = {")
    h.append("  " + ", ".join(str(len(g.rules[r][1])) for r in range(nrules)))
    h.append("};")
    h.append("")
    longest = max(len(rhs) for _, rhs in g.rules)
    h.append("// The nonterminal at each place of a rule's right-hand side; -1 for a")
    h.append("// terminal and past the end.")
    h.append("inline constexpr int kParserLongestRule = %d;" % longest)
    h.append("inline constexpr int8_t ParserRuleRhs[kParserRuleCount][kParserLongestRule] = {")
    for r in range(nrules):
        places = [g.nt_index.get(sym, -1) for sym in g.rules[r][1]]
        places += [-1] * (longest - len(places))
        h.append("  {%s}," % ", ".join(str(x) for x in places))
    h.append("};")
    h.append("")
    h.append("inline constexpr uint8_t ParserRuleLhs[kParserRuleCount] = {")
    h.append("  0,   // $accept (never reduced)")
    for r in range(1, nrules):
        h.append("  nt%s," % g.rules[r][0])
    h.append("};")
    h.append("")
    h.append("// The rule that every state after each nonterminal reduces by, if that is")
    h.append("// all such a state does (but for errors); 0 otherwise.")
    h.append("inline constexpr uint8_t ParserNextRule[kParserNonterminalCount] = {")
    for n in g.nonterms:
        h.append("  %d,   // %s" % (next_rule(g, n), n))
    h.append("};")
    h.append("")
    h.append("// Calls visit.template operator()<rule>() with the rule as a constant, so")
    h.append("// that each rule gets code of its own; returns what that returns. The rule")
    h.append("// is one the action table reduces by (1 .. kParserRuleCount - 1): the")
    h.append("// dispatch does not test the range.")
    h.append("template <class Visitor>")
    h.append("[[gnu::always_inline]] inline int ParserVisitRule(int rule, Visitor&& visit) {")
    h.append("  switch (rule) {")
    for r in range(1, nrules):
        h.append("    case %d: return visit.template operator()<%d>();" % (r, r))
    h.append("    default: __builtin_unreachable();")
    h.append("  }")
    h.append("}")
    h.append("")

    c = []
    c.append("// parser_tables.cpp: generated by scripts/lalr_tables.py from frontend/grammar.y.")
    c.append("// Do not edit; the build regenerates it.")
    c.append('#include "parser_tables.h"')
    c.append("")
    c.append('#include "frontend/parser.h"')
    c.append('#include "frontend/scanner.h"')
    c.append("")
    c.append("// The grammar's token codes are the scanner's.")
    for code in range(TERMINALS):
        c.append("static_assert(%s == %d);" % (g.enum_name[code], code))
    c.append("static_assert(kTerminalCount == kParserTerminalCount);")
    c.append("")
    c.append("const char* const Parser_TokenName[%d] = {" % TERMINALS)
    for code in range(TERMINALS):
        c.append("  %s,   // %d" % (c_string(g.display[code]), code))
    c.append("};")
    c.append("")
    c.append("const int16_t ParserActionOn[kParserTerminalCount][kParserStateCount] = {")
    for t in range(TERMINALS):
        row = [encode(g.action[i][t]) for i in range(nstates)]
        c.append("  {%s},   // %s" % (", ".join(row), g.display[t]))
    c.append("};")
    c.append("")
    c.append("const int16_t ParserGoto[kParserStateCount][kParserGotoRow] = {")
    for i in range(nstates):
        row = g.goto[i] + [-1] * (goto_row - nnt)
        c.append("  {%s}," % ", ".join(str(x) for x in row))
    c.append("};")
    c.append("")
    c.append("const char* const ParserRuleText[kParserRuleCount] = {")
    for r in range(nrules):
        c.append("  %s," % c_string(rule_text(g, r)))
    c.append("};")
    c.append("")
    c.append("const uint8_t ParserContinuation[kParserStateCount] = {")
    for i in range(0, nstates, 16):
        c.append("  " + ", ".join(str(x) for x in cont[i:i + 16]) + ",")
    c.append("};")
    c.append("")

    for name, lines in (("parser_tables.h", h), ("parser_tables.cpp", c)):
        path = "%s/%s" % (out_dir, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))


def main():
    if len(sys.argv) != 4:
        fail("usage: lalr_tables.py GRAMMAR.y REPORT.xml OUT_DIR")
    grammar_path, report_path, out_dir = sys.argv[1:]
    g = read_report(report_path, read_token_names(grammar_path))
    if len(g.states) >= 32767 or len(g.rules) > 255 or len(g.nonterms) > 127:
        fail("the automaton does not fit the table types")
    build_tables(g)
    cont = continuation_tokens(g)
    check_continuations(g, cont)
    write_tables(g, cont, out_dir)


if __name__ == "__main__":
    main()
