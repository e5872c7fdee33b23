#!/usr/bin/env bash
# demo.sh: renders the example templates with the given braxel binary and
# prints the pages. Usage: bash examples/demo.sh build/braxel
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: bash examples/demo.sh path/to/braxel" >&2
  exit 2
fi
binary="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
[ -x "$binary" ] || { echo "demo: $1 is not an executable" >&2; exit 2; }
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

banner() { printf '\n==== %s ====\n' "$*"; }

# run FOLDER TEMPLATE [FORM]: renders TEMPLATE inside FOLDER; with FORM, as a
# CGI request whose form arguments are FORM.
run() {
  local folder="$1" template="$2" form="${3-}" status=0
  if [ -n "$form" ]; then
    banner "${folder#"$here"/}/$template  (CGI request, form: $form)"
    (cd "$folder" && printf '%s' "$form" | "$binary" -C "$template") || status=$?
  else
    banner "${folder#"$here"/}/$template"
    (cd "$folder" && "$binary" "$template" </dev/null) || status=$?
  fi
  [ "$status" -eq 0 ] || echo "(exit status $status)"
}

# Every template directly inside an example folder is rendered once from
# the command line; hello.brx is also shown as a CGI request with a form.
for folder in "$here"/*/; do
  folder="${folder%/}"
  for template in "$folder"/*.brx; do
    [ -e "$template" ] || continue
    run "$folder" "$(basename "$template")"
  done
done
run "$here/hello" hello.brx "name=braxel+user"
