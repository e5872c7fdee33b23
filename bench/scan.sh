#!/usr/bin/env bash
# scan.sh: scanner throughput. Builds bench_scan, generates a 10 MB template of
# mixed HTML text and template tags, scans it several times and reports MB/s,
# each run's and the median (a busy machine spreads them widely).
# Usage: bench/scan.sh [build-folder] [megabytes] [runs]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
megabytes=${2:-10}
runs=${3:-7}

cmake --build "$build" --target bench_scan -j 2 > /dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work/big.brx" "$megabytes" <<'PY'
import random, sys
path, megabytes = sys.argv[1], int(sys.argv[2])
random.seed(7)
pieces = [
    '<table class="list">\n',
    '  <tr><td>Some plain text of a page, with words and numbers 12345.</td></tr>\n',
    '<? name html> and <? price * 1.25, furl>\n',
    '<if count < 10>few<else>many</if>\n',
    '<let i = i + 1; s = s + \'item \' + i; t.a = "x\\ty">\n',
    '<dbf t.name html> <ff city quoted> <dbf total>\n',
    '/* a block comment\n   over two lines */ text // a line comment\n',
    '\t<a href="http://example.com/path/page.brx?x=1">link</a>\n',
    '<while i < 3><? i></while><db head><h1>Head</h1><db row><li><dbf name>\n',
    '<!-- an html comment --> <br> <p>paragraph</p>\n',
]
target = megabytes * 1024 * 1024
out, size = [], 0
while size < target:
    p = random.choice(pieces)
    out.append(p)
    size += len(p)
open(path, 'w').write(''.join(out))
PY

for run in $(seq "$runs"); do
  line=$("$build/bench_scan" "$work/big.brx")
  echo "run $run: $line"
  echo "$line" | sed 's/.*: \([0-9.]*\) MB\/s.*/\1/' >> "$work/mbs"
done
echo "median: $(sort -n "$work/mbs" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }') MB/s"
