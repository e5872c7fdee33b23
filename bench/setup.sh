#!/usr/bin/env bash
# setup.sh: the programs the benchmarks compare against (not needed by the
# build or the tests): php-cgi and PHP CLI with SQLite, Lua 5.4, valgrind
# for instruction counts, hyperfine for bench/startup.sh users who prefer it;
# php-fpm and wrk for bench/fastcgi.sh.
set -euo pipefail
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
$sudo apt-get install -y php-cgi php-cli php-sqlite3 lua5.4 valgrind hyperfine sqlite3 \
  php8.2-fpm php8.2-opcache wrk
