#!/usr/bin/env bash
# run.sh: runs every benchmark against the build in the given folder.
# Every script takes the build folder as its first argument, except the
# set-up, the old-build helper and the two-build comparison (compare.sh).
# Usage: bench/run.sh [build-folder]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-build}")
for script in "$here"/*.sh; do
  name=$(basename "$script")
  case "$name" in run.sh | setup.sh | build_old.sh | compare.sh) continue ;; esac
  echo "== $name"
  bash "$script" "$build" || echo "($name failed)"
  echo
done
