#!/usr/bin/env python3
"""paired.py: runs several commands in interleaved rounds (one run of each
per round, so that a change of machine load hits all of them alike) and
prints, per command, the median wall time and the median CPU time (user +
system of the child, which waiting for a busy processor does not inflate).

Usage: paired.py RUNS NAME=COMMAND [NAME=COMMAND ...]
Each COMMAND is split on spaces and started with posix_spawn, standard
output to /dev/null; the environment is the caller's. Prints one line per
command: NAME wall_us cpu_us
"""
import os
import statistics
import sys
import time


def run_once(argv, devnull):
    start = time.perf_counter_ns()
    pid = os.posix_spawnp(argv[0], argv, os.environ,
                          file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1)])
    _, status, usage = os.wait4(pid, 0)
    wall = (time.perf_counter_ns() - start) / 1000.0
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit('paired.py: %s failed' % ' '.join(argv))
    return wall, (usage.ru_utime + usage.ru_stime) * 1e6


def main():
    runs = int(sys.argv[1])
    commands = []
    for spec in sys.argv[2:]:
        name, _, command = spec.partition('=')
        commands.append((name, command.split()))
    devnull = os.open(os.devnull, os.O_WRONLY)
    walls = {name: [] for name, _ in commands}
    cpus = {name: [] for name, _ in commands}
    for name, argv in commands:   # warm the caches once
        run_once(argv, devnull)
    for _ in range(runs):
        for name, argv in commands:
            wall, cpu = run_once(argv, devnull)
            walls[name].append(wall)
            cpus[name].append(cpu)
    for name, _ in commands:
        print('%s %.0f %.0f' % (name, statistics.median(walls[name]), statistics.median(cpus[name])))


main()
