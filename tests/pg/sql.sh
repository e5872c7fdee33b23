#!/usr/bin/env bash
# Runs SQL from standard input (or -c TEXT) on the test server, printing rows
# as sqlite3 does: unaligned, no headers, fields separated by "|".
#   sql.sh SOCKETDIR [psql arguments]
set -euo pipefail
sock=${1:?usage: sql.sh SOCKETDIR}
shift
exec psql -q -X -A -t -h "$sock" -U braxel -d braxel_test -v ON_ERROR_STOP=1 "$@"
