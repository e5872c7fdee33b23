#!/usr/bin/env bash
# parse.sh: parser throughput (scanner included). Builds bench_parse, generates
# a template of several MB with every kind of tag, parses it three times and
# reports MB/s, each run's and the median; then the same for a template with
# a syntax error every few lines inside nested tags, which measures the error
# recovery. With PARSE_INSTRUCTIONS=1 it also counts each template's
# instructions once under callgrind (a figure that holds on a busy machine).
# Usage: bench/parse.sh [build-folder] [megabytes] [runs]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
megabytes=${2:-5}
runs=${3:-7}

cmake --build "$build" --target bench_parse -j 2 > /dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work" "$megabytes" <<'PY'
import random, sys
folder, megabytes = sys.argv[1], int(sys.argv[2])
random.seed(11)
pieces = [
    '<table class="list">\n  <tr><td>Some plain text of a page, with words 12345.</td></tr>\n',
    '<? name html> and <? price * 1.25, furl> <? len(s) + f(1, 2)>\n',
    '<if count < 10>few<else>many</if>\n',
    '<let i = i + 1; s = s + \'item \' + i; t.a[2] = "x\\ty">\n',
    '<dbf t.name html> <ff city quoted> <dbf total>\n',
    '<while i < 3><? i><let i = i + 1></while>\n',
    '<dbquery q>select a, b from t where c = <? c quoted><db head><h1>Head</h1>'
    '<db row><li><dbf a><db foot></ul><db empty>none</db>\n',
    '<box w=2 h=3><greet who="you"> inside</box>\n',
    '<ifempty><dbf name><then>no name<else>has a name</if>\n',
]
head = '<def greet who="world">Hello <? who></def>\n' \
       '<defenv box w=1 h=1><table border=<? w>><defbody></table></defenv>\n' \
       '<def f a b><return a * b></def>\n'
broken = [
    '<if x>text</while>\n',          # wrong closer: skip to a restart point
    '<? a b c> more text\n',          # unexpected token: ">" inserted
    'text </if> text\n',              # stray closer
]
target = megabytes * 1024 * 1024
for name, extra in (('clean.brx', []), ('errors.brx', broken)):
    out, size = [head], len(head)
    opened = 0
    while size < target:
        p = random.choice(pieces + extra * 3)
        if extra and opened < 200 and random.random() < 0.05:
            p = '<if depth>\n'          # keep some nesting open around the errors
            opened += 1
        out.append(p)
        size += len(p)
    out.append('</if>' * opened)
    open('%s/%s' % (folder, name), 'w').write(''.join(out))
PY

for name in clean errors; do
  for run in $(seq "$runs"); do
    line=$("$build/bench_parse" "$work/$name.brx")
    echo "$name run $run: $line"
    echo "$line" | sed 's/.*: \([0-9.]*\) MB\/s.*/\1/' >> "$work/$name.mbs"
  done
  echo "$name median: $(sort -n "$work/$name.mbs" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }') MB/s"
  if [ "${PARSE_INSTRUCTIONS:-0}" = 1 ]; then
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$build/bench_parse" "$work/$name.brx" \
      2>&1 >/dev/null | sed -n "s/.*Collected : \([0-9]*\)/$name instructions: \1/p"
  fi
done
