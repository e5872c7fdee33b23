#!/usr/bin/env bash
# run.sh: runs every benchmark against the build in the given folder.
# Every script takes the build folder as its first argument.
# Usage: bench/run.sh [build-folder]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-build}")
for script in "$here"/*.sh; do
  name=$(basename "$script")
  [ "$name" = run.sh ] && continue
  echo "== $name"
  bash "$script" "$build" || echo "($name failed)"
  echo
done
