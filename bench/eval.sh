#!/usr/bin/env bash
# eval.sh: interpreter benchmarks: time per loop iteration (arithmetic, string
# concatenation, tuple field access) and the whole request time of a
# hello-world page (process start to exit).
# Usage: bench/eval.sh [build-folder or path/to/braxel] [iterations] [hello-runs]
set -euo pipefail

bin=$(realpath "${1:-build}")
[ -d "$bin" ] && bin="$bin/braxel"
iterations=${2:-1000000}
runs=${3:-200}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
: > .braxel
ln -s "$bin" braxel

cat > loop.brx <<BRX
<let i = 0; sum = 0; s = ''; t = emptytuple; t.a = 3; t.b = 4>
<while i < $iterations><let sum = sum + t.a * t.b - i % 7; s = 'item ' + i; t.a = t.b; t.b = i % 5; i = i + 1></while>
<? sum> <? s>
BRX
cat > base.brx <<BRX
<let i = 0; sum = 0; s = ''; t = emptytuple; t.a = 3; t.b = 4>
<while i < 0><let sum = sum + t.a * t.b - i % 7; s = 'item ' + i; t.a = t.b; t.b = i % 5; i = i + 1></while>
<? sum> <? s>
BRX
echo 'Hello, world!' > hello.brx

ns() { date +%s%N; }

start=$(ns); ./braxel base.brx > /dev/null; base=$(( $(ns) - start ))
start=$(ns); ./braxel loop.brx > out.txt; loop=$(( $(ns) - start ))
grep -q "item $((iterations - 1))" out.txt || { echo "eval.sh: unexpected loop output"; cat out.txt; exit 1; }
per_iter=$(( (loop - base) / iterations ))
echo "loop: $iterations iterations in $(( loop / 1000000 )) ms, ${per_iter} ns per iteration"

start=$(ns)
for _ in $(seq "$runs"); do ./braxel hello.brx > /dev/null; done
total=$(( $(ns) - start ))
echo "hello world: $runs requests, $(( total / runs / 1000 )) us per request"
