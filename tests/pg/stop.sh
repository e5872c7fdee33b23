#!/usr/bin/env bash
# Stops the private PostgreSQL server of start.sh and removes its folder.
set -uo pipefail
dir=${1:?usage: stop.sh DIR}
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r | head -1)
# The server runs as nobody when the tests run as root (start.sh).
as_server=()
if [ "$(id -u)" -eq 0 ]; then as_server=(runuser -u nobody --); fi
if [ -n "$bin" ] && [ -f "$dir/data/postmaster.pid" ]; then
  "${as_server[@]}" "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
fi
rm -rf "$dir"
