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

# ---- Database example (examples/shop; maintained with the database code) ----
# Builds the shop's SQLite database in a scratch copy of the site and renders
# its pages as CGI requests, as a web server starts the program: the program
# is installed under the name "shop" next to .braxel, and the form field
# braxel names the template in hf/.
shop_demo() {
  if ! command -v sqlite3 >/dev/null; then
    echo "demo: the sqlite3 tool is missing (scripts/setup installs it)" >&2
    return 1
  fi
  local site
  site="$(mktemp -d)"
  cp -r "$here/shop/." "$site/"
  sqlite3 "$site/shop.db" < "$here/shop/schema.sql"
  sqlite3 "$site/shop.db" < "$here/shop/seed.sql"
  ln -s "$binary" "$site/shop"

  # a sanitizer build's settings pass through the clean environment
  local keep=() v
  for v in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
    if [ -n "${!v-}" ]; then keep+=("$v=${!v}"); fi
  done

  # shop_request METHOD QUERY-OR-BODY: one request as a web server makes it,
  # with the cookies that the shop set so far (kept in $site/cookies).
  shop_request() {
    local status=0 cookies
    cookies="$(paste -sd';' "$site/cookies" 2>/dev/null || true)"
    banner "shop: $1 ${2//&/ & }"
    local env=(env -i PATH="$PATH" "${keep[@]}" REQUEST_METHOD="$1" SCRIPT_NAME=/cgi-bin/shop
               REMOTE_ADDR=127.0.0.1 HTTP_COOKIE="$cookies")
    if [ "$1" = GET ]; then
      (cd "$site" && "${env[@]}" QUERY_STRING="$2" ./shop </dev/null) > "$site/response" || status=$?
    else
      (cd "$site" && printf '%s' "$2" | "${env[@]}" ./shop) > "$site/response" || status=$?
    fi
    cat "$site/response"
    sed -n 's/^Set-Cookie: \([^;]*\);.*/\1/p' "$site/response" >> "$site/cookies"
    [ "$status" -eq 0 ] || echo "(exit status $status)"
  }
  # follow: the GET request that the Location of the last response names.
  follow() {
    local location
    location="$(sed -n 's/^Location: [^?]*?//p' "$site/response")"
    shop_request GET "$location"
  }
  shop_request GET "braxel=list.brx"
  shop_request GET "braxel=list.brx&q=AP"
  shop_request GET "braxel=list.brx&q=%27%3B+drop+table+product%3B+--"
  shop_request GET "braxel=detail.brx&id=1"
  shop_request GET "braxel=entry.brx&product=6"
  shop_request POST "braxel=save.brx&product=6&author=Eve+O%27Hara&rating=5&body=Sweet+%26+juicy+%3Cyes%3E"
  follow
  shop_request GET "braxel=visits.brx"
  shop_request GET "braxel=visits.brx"
  rm -rf "$site"
}
shop_demo

# ---- Language examples (examples/language; maintained with the README's
# "Template language" section) ----
# The loop above renders every template of examples/language once from the
# command line, without form arguments. The form example is shown again as
# a CGI request whose form arguments fill the tuple ff.
run "$here/language" form.brx "name=Ada+%3CL%3E&topics=engines,+notes,,poetry"
