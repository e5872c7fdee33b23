#!/usr/bin/env bash
# form.sh: decoding time of POST bodies with many distinct form fields
# (n1&n2&...), whole request, for growing field counts. Both the decoder's
# field index and the identifier table keep this linear.
# Usage: bench/form.sh [build-folder or path/to/braxel]
set -euo pipefail

bin=$(realpath "${1:-build}")
[ -d "$bin" ] && bin="$bin/braxel"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
ln -s "$bin" braxel
: > .braxel
mkdir hf
printf '<? len(ff)>' > hf/braxel
for n in 25000 50000 100000 200000; do
  python3 -c "import sys; sys.stdout.write('&'.join('n%d' % i for i in range($n)))" > body
  start=$(date +%s.%N)
  REQUEST_METHOD=POST ./braxel < body > /dev/null
  end=$(date +%s.%N)
  awk -v n="$n" -v s="$start" -v e="$end" 'BEGIN { printf "%7d fields  %6.2f s\n", n, e - s }'
done
