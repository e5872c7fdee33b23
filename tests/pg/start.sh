#!/usr/bin/env bash
# Starts a private PostgreSQL server for the database tests:
#   start.sh DIR     a fresh cluster in DIR/data, listening only on the Unix
#                    socket in DIR/sock, with the superuser "braxel" (trust
#                    authentication) and the empty database "braxel_test".
# The server refuses to run as root, so under root (as in CI) it runs as the
# unprivileged user "nobody". A missing PostgreSQL installation is an error.
set -euo pipefail
dir=${1:?usage: start.sh DIR}

bin=""
for d in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
  if [ -x "$d/initdb" ] && [ -x "$d/pg_ctl" ]; then bin=$d; break; fi
done
if [ -z "$bin" ]; then
  echo "start.sh: no PostgreSQL server found (install the Debian package postgresql)" >&2
  exit 1
fi

as_server() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u nobody -- "$@"; else "$@"; fi
}

# A server left over from an interrupted run is stopped first.
if [ -f "$dir/data/postmaster.pid" ]; then
  as_server "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
fi
rm -rf "$dir"
mkdir -p "$dir/sock"
chmod 755 "$dir"
if [ "$(id -u)" -eq 0 ]; then chown nobody "$dir" "$dir/sock"; fi

as_server "$bin/initdb" -D "$dir/data" -U braxel --auth=trust -E UTF8 --no-locale \
  >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
as_server "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
  -o "-c listen_addresses='' -k $dir/sock -c fsync=off -c synchronous_commit=off -c full_page_writes=off" \
  start >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
psql -q -X -h "$dir/sock" -U braxel -d postgres -v ON_ERROR_STOP=1 \
  -c "create database braxel_test" >/dev/null
echo "start.sh: PostgreSQL $("$bin/pg_ctl" --version | awk '{print $3}') on $dir/sock"
