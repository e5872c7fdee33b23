#!/usr/bin/env python3
"""End-to-end runner: runs the braxel binary on the cases of one .case file
and compares the whole standard output and the exit status.

Case file format (text before the first case is ignored):

    === case: a short name
    --- file: NAME (noeol,escapes)  a file written into the case's folder; noeol: no final
                                    line feed; escapes: \\xNN \\n \\t \\r \\0 \\\\
    --- env                         KEY=VALUE lines added to a clean environment
    --- args                        one argument per line (default: page.brx)
    --- stdin                       standard input (default: empty)
    --- setup / --- check           bash -e scripts run in the folder before and after the
                                    binary; a check must exit 0 (bash -e does not stop at a
                                    failing `! cmd` or `a` in `a && b`: one assertion per
                                    line); in them `exits N CMD...` runs CMD, which must end
                                    with status N
    --- stdout                      the expected standard output, exactly
    --- stdout (re)                 each line a regular expression for the whole actual
                                    line; a line ... matches any lines
    --- stderr                      expected standard error (compared when given)
    --- status                      expected exit status (default 0)
    --- option: noconfig            no empty .braxel is written
    --- option: program NAME        the binary's name in the folder (default braxel)
    --- run                         a further run of the binary: the env, stdin, stdout,
                                    stderr, status and file sections after it are its own
                                    (files written just before it)

With --fastcgi each case is served by one worker started in its folder on a
listening socket, and each run is a request sent with cgi-fcgi; it must give
what the CGI run gives. A case without setup and check scripts and with a
single run is asked twice (a worker keeps nothing of a request). The worker
must stop at SIGTERM with status 0 and write nothing itself. Check scripts
run the binary as CGI.

The binary is linked into the case's folder and run as ./NAME from there.
@@NAME@@ is replaced by --define NAME=VALUE values, @@DIR@@ (the case's
folder) and @@CASES@@ (the folder of the case file).
"""
import argparse
import functools
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HEADER = re.compile(r'^--- (\w+)(?::\s*(.*?))?\s*(?:\(([\w,]+)\))?\s*$')


def decode_escapes(text):
    simple = {b'n': b'\n', b't': b'\t', b'r': b'\r', b'0': b'\0', b'\\': b'\\'}
    return re.sub(rb'\\(x[0-9a-fA-F]{2}|[ntr0\\])',
                  lambda m: bytes([int(m.group(1)[1:], 16)]) if m.group(1)[:1] == b'x'
                  else simple[m.group(1)], text.encode('latin-1'))


def lines_match(expected, actual):
    """Matches expected regex lines against actual lines; '...' is a wildcard
    for zero or more lines."""
    @functools.lru_cache(maxsize=None)
    def match(i, j):
        if i == len(expected):
            return j == len(actual)
        if expected[i] == '...':
            return any(match(i + 1, k) for k in range(j, len(actual) + 1))
        return j < len(actual) and re.fullmatch(expected[i], actual[j]) is not None and match(i + 1, j + 1)
    return match(0, 0)


def parse_cases(path):
    with open(path, 'rb') as f:
        data = f.read().decode('latin-1')
    lines = data.split('\n')
    if lines and lines[-1] == '':
        lines.pop()
    cases, case, section = [], None, None
    for line in lines:
        if line.startswith('=== case:'):
            case = {'name': line[len('=== case:'):].strip(), 'sections': []}
            cases.append(case)
            section = None
            continue
        if case is None:
            continue
        m = HEADER.match(line) if line.startswith('--- ') else None
        if m:
            section = {'kind': m.group(1), 'arg': m.group(2) or '',
                       'opts': set((m.group(3) or '').split(',')) - {''}, 'lines': []}
            case['sections'].append(section)
            continue
        if section is not None:
            section['lines'].append(line)
    return cases


def content_of(section, defines):
    text = '\n'.join(section['lines'])
    if 'noeol' not in section['opts'] and section['lines']:
        text += '\n'
    for k, v in defines.items():
        text = text.replace('@@' + k + '@@', v)
    if 'escapes' in section['opts']:
        return decode_escapes(text)
    return text.encode('latin-1')


# Case files are dated an hour back, a second apart in the order they are
# written: a worker's template cache keeps only files that have settled, and
# a file written again gets a time of its own.
file_clock = [time.time() - 3600]


def write_file(folder, name, content):
    target = os.path.join(folder, name)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, 'wb') as f:
        f.write(content)
    file_clock[0] += 1
    os.utime(target, (file_clock[0], file_clock[0]))


class Run:
    """One run of the binary: its environment, input and expectations."""

    def __init__(self, env):
        self.env, self.files, self.stdin, self.status = env, [], b'', 0
        self.expected_out, self.out_regex, self.expected_err = None, False, None


def compare(run, returncode, stdout, stderr, label):
    problems = []
    if returncode != run.status and not (run.status == 255 and returncode == -1):
        problems.append('%sexit status %d, expected %d' % (label, returncode, run.status))
    if run.expected_out is not None:
        if run.out_regex:
            ok = lines_match(run.expected_out.decode('latin-1').split('\n'),
                             stdout.decode('latin-1').split('\n'))
        else:
            ok = stdout == run.expected_out
        if not ok:
            problems.append('%sstdout differs\n--- expected\n%s\n--- actual\n%s' % (
                label, run.expected_out.decode('latin-1'), stdout.decode('latin-1')))
    if run.expected_err is not None and stderr != run.expected_err:
        problems.append('%sstderr differs\n--- expected\n%s\n--- actual\n%s' % (
            label, run.expected_err.decode('latin-1'), stderr.decode('latin-1')))
    if b'AddressSanitizer' in stderr or b'runtime error:' in stderr:
        problems.append('%ssanitizer report:\n%s' % (label, stderr.decode('latin-1')))
    return problems


class CgiRunner:
    """Each run is a process of its own."""

    def __init__(self, folder, command, env):
        self.folder, self.command = folder, command

    def request(self, run):
        r = subprocess.run(self.command, cwd=self.folder, env=run.env, input=run.stdin,
                           capture_output=True, timeout=60)
        return r.returncode, r.stdout, r.stderr

    def stop(self):
        return []


class FastCgiRunner:
    """Every run is a request to one worker, started on a listening socket."""

    def __init__(self, folder, command, env):
        self.place = tempfile.mkdtemp(prefix='braxel-fcgi-')
        self.socket_path = os.path.join(self.place, 'socket')
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(self.socket_path)
        listener.listen(64)
        self.log = open(os.path.join(self.place, 'worker.err'), 'w+b')
        try:
            self.worker = subprocess.Popen(command, cwd=folder, env=env, stdin=listener,
                                           stdout=self.log, stderr=self.log)
        finally:
            listener.close()

    def request(self, run):
        # cgi-fcgi sends CONTENT_LENGTH bytes of its input as the body, and
        # none without it; a web server always says how long a body is.
        env = dict(run.env)
        if run.stdin and 'CONTENT_LENGTH' not in env:
            env['CONTENT_LENGTH'] = str(len(run.stdin))
        r = subprocess.run(['cgi-fcgi', '-bind', '-connect', self.socket_path], env=env,
                           input=run.stdin, capture_output=True, timeout=60)
        return r.returncode, r.stdout, r.stderr

    def stop(self):
        problems = []
        self.worker.terminate()
        try:
            status = self.worker.wait(timeout=30)
            if status != 0:
                problems.append('worker ended with status %d' % status)
        except subprocess.TimeoutExpired:
            self.worker.kill()
            self.worker.wait()
            problems.append('worker did not stop at SIGTERM')
        self.log.seek(0)
        output = self.log.read()
        self.log.close()
        if output:
            problems.append('worker wrote to its standard error:\n' + output.decode('latin-1'))
        shutil.rmtree(self.place, ignore_errors=True)
        return problems


EXITS = 'exits() { local want=$1 status=0; shift; "$@" || status=$?; test $status = $want; }\n'


def bash(script, folder, env):
    """Runs a setup or check script; None when it succeeds, else its output."""
    r = subprocess.run(['bash', '-e', '-c', EXITS + script], cwd=folder, env=env, capture_output=True,
                       timeout=120)
    return None if r.returncode == 0 else r.stdout.decode('latin-1') + r.stderr.decode('latin-1')


def run_case(case, binary, defines, fastcgi=False):
    folder = tempfile.mkdtemp(prefix='braxel-e2e-')
    try:
        defines = dict(defines)
        defines['DIR'] = folder
        clean = {'PATH': os.environ.get('PATH', '/usr/bin:/bin'), 'LANG': 'C',
                 'HOME': folder, 'TZ': 'UTC'}
        for key in ('ASAN_OPTIONS', 'UBSAN_OPTIONS', 'LSAN_OPTIONS'):
            if key in os.environ:
                clean[key] = os.environ[key]
        run = Run(dict(clean))
        runs, args, program, scripts = [run], None, 'braxel', {'setup': [], 'check': []}
        config_written = noconfig = False
        for s in case['sections']:
            kind = s['kind']
            if kind == 'run':
                run = Run(dict(clean))
                runs.append(run)
            elif kind == 'file' and len(runs) > 1:
                run.files.append((s['arg'], content_of(s, defines)))
            elif kind == 'file':
                write_file(folder, s['arg'], content_of(s, defines))
                if s['arg'] == '.braxel':
                    config_written = True
            elif kind == 'env':
                for line in content_of(s, defines).decode('latin-1').splitlines():
                    if '=' in line:
                        k, v = line.split('=', 1)
                        run.env[k] = v
            elif kind == 'args':
                args = content_of(s, defines).decode('latin-1').splitlines()
            elif kind == 'stdin':
                run.stdin = content_of(s, defines)
            elif kind == 'stdout':
                run.expected_out = content_of(s, defines)
                run.out_regex = 're' in s['opts']
            elif kind == 'stderr':
                run.expected_err = content_of(s, defines)
            elif kind == 'status':
                run.status = int(content_of(s, defines).decode().strip())
            elif kind in scripts:
                scripts[kind].append(content_of(s, defines).decode('latin-1'))
            elif kind == 'option':
                words = s['arg'].split()
                if words and words[0] == 'noconfig':
                    noconfig = True
                elif len(words) == 2 and words[0] == 'program':
                    program = words[1]
            else:
                return 'unknown section --- %s' % kind
        if not config_written and not noconfig:
            open(os.path.join(folder, '.braxel'), 'wb').close()
        os.symlink(os.path.abspath(binary), os.path.join(folder, program))
        env = runs[0].env
        for script in scripts['setup']:
            failed = bash(script, folder, env)
            if failed is not None:
                return 'setup failed:\n' + failed
        command = ['./' + program] + (args if args is not None else ['page.brx'])
        runner = (FastCgiRunner if fastcgi else CgiRunner)(folder, command, clean)
        problems = []
        try:
            # A pure case is asked twice of the same worker.
            again = fastcgi and len(runs) == 1 and not scripts['setup'] and not scripts['check']
            for i, run in enumerate(runs + runs[:1] if again else runs):
                label = 'run %d: ' % (i + 1) if len(runs) > 1 or again else ''
                for name, content in run.files:
                    write_file(folder, name, content)
                returncode, stdout, stderr = runner.request(run)
                problems += compare(run, returncode, stdout, stderr, label)
        except subprocess.TimeoutExpired:
            problems.append('timed out')
        finally:
            problems += runner.stop()
        for script in scripts['check']:
            failed = bash(script, folder, env)
            if failed is not None:
                problems.append('check failed:\n' + failed)
        return '\n'.join(problems) if problems else None
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--binary', required=True)
    ap.add_argument('--define', action='append', default=[])
    ap.add_argument('--fastcgi', action='store_true',
                    help='run the binary as a FastCGI worker and send each run as a request')
    ap.add_argument('cases', nargs='+')
    opts = ap.parse_args()
    defines = dict(d.split('=', 1) for d in opts.define)
    passed = failed = 0
    for path in opts.cases:
        for case in parse_cases(path):
            problem = run_case(case, opts.binary,
                               dict(defines, CASES=os.path.dirname(os.path.abspath(path))),
                               opts.fastcgi)
            if problem:
                failed += 1
                print('FAIL %s: %s\n%s\n' % (os.path.basename(path), case['name'], problem))
            else:
                passed += 1
    print('%d passed, %d failed' % (passed, failed))
    sys.exit(1 if failed or passed == 0 else 0)


if __name__ == '__main__':
    main()
