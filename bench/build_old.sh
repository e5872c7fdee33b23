#!/usr/bin/env bash
# build_old.sh: builds braxel and the scanner and parser benchmarks of an
# earlier commit from `git archive` into a folder of its own, for
# bench/compare.sh to set beside the current build.
# Usage: bench/build_old.sh COMMIT [folder]   (prints the build folder)
set -euo pipefail
commit=$1
folder=${2:-/tmp/braxel-$(git rev-parse --short "$commit")}
mkdir -p "$folder/src"
git archive "$commit" | tar -x -C "$folder/src"
cmake -S "$folder/src" -B "$folder/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$folder/build" --target braxel bench_scan bench_parse -j 2 > /dev/null
echo "$folder/build"
