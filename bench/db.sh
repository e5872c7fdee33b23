#!/usr/bin/env bash
# db.sh: the whole request that prints a 200-row HTML table from a 500-row
# SQLite table (process start to exit), against the sqlite3 tool producing
# the same table, and against php-cgi with PDO when that is installed.
# Prints the mean time per request of each and the ratios, from one run.
# Usage: bench/db.sh [build-folder or path/to/braxel] [requests]
set -euo pipefail

bin=$(realpath "${1:-build}")
[ -d "$bin" ] && bin="$bin/braxel"
runs=${2:-200}
command -v sqlite3 >/dev/null || { echo "db.sh: the sqlite3 tool is needed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
ln -s "$bin" braxel
printf 'dbname=bench.db\n' > .braxel
{
  echo "create table item(id integer primary key, name varchar(40), price real);"
  echo "begin;"
  for i in $(seq 1 500); do echo "insert into item values($i, 'item number $i', $i.25);"; done
  echo "commit;"
} | sqlite3 bench.db

printf '%s' '<dbquery p>select id, name, price from item order by id
<db top><table>
<db row><tr><td><dbf id></td><td><dbf name text></td><td><? p.price "%.2f"></td></tr>
<db foot></table>
</db>' > page.brx
cat > table.sql <<'SQL'
.mode list
.headers off
select '<table>';
select '<tr><td>' || id || '</td><td>' || name || '</td><td>' || printf('%.2f', price) || '</td></tr>'
  from item order by id limit 200;
select '</table>';
SQL

# Both must print the same table (braxel adds its generated-by comment).
./braxel page.brx | tail -n +2 > braxel.out
sqlite3 bench.db < table.sql > sqlite.out
if ! cmp -s braxel.out sqlite.out; then
  echo "db.sh: braxel and sqlite3 print different tables" >&2
  diff braxel.out sqlite.out | head -5 >&2
  exit 1
fi
[ "$(grep -c '<tr>' braxel.out)" -eq 200 ] || { echo "db.sh: expected 200 rows" >&2; exit 1; }

ns() { date +%s%N; }
# mean_us COMMAND...: mean wall time of one run in microseconds.
mean_us() {
  local start end
  start=$(ns)
  for _ in $(seq "$runs"); do "$@" > /dev/null; done
  end=$(ns)
  echo $(( (end - start) / runs / 1000 ))
}
sqlite_table() { sqlite3 bench.db < table.sql; }

t_braxel=$(mean_us ./braxel page.brx)
t_sqlite=$(mean_us sqlite_table)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "200-row table from a 500-row SQLite table, $runs requests each:"
echo "  braxel   ${t_braxel} us per request"
echo "  sqlite3  ${t_sqlite} us per run"
echo "  ratio braxel / sqlite3: $(ratio "$t_braxel" "$t_sqlite")"

if command -v php-cgi >/dev/null && php-cgi -m 2>/dev/null | grep -qi pdo_sqlite; then
  cat > page.php <<'PHP'
<?php
$db = new PDO('sqlite:bench.db');
echo "<table>\n";
foreach ($db->query('select id, name, price from item order by id limit 200') as $r) {
  printf("<tr><td>%d</td><td>%s</td><td>%.2f</td></tr>\n", $r['id'], htmlspecialchars($r['name']), $r['price']);
}
echo "</table>\n";
PHP
  t_php=$(mean_us php-cgi -q page.php)
  echo "  php-cgi  ${t_php} us per request"
  echo "  ratio braxel / php-cgi: $(ratio "$t_braxel" "$t_php")"
else
  echo "  php-cgi with pdo_sqlite not installed: no PHP figure"
fi
