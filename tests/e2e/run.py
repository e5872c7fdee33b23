#!/usr/bin/env python3
"""End-to-end runner: runs the braxel binary on the cases of one .case file
and compares the whole standard output and the exit status.

Case file format (one or more cases per file):

    # free text before the first case is ignored
    === case: a short name
    --- file: page.brx            a file written into the case's folder
    <content>
    --- file: data.bin (noeol,escapes)
    <content>                     noeol: no final line feed; escapes: \\xNN \\n \\t \\\\
    --- env                       KEY=VALUE lines added to a clean environment
    --- args                      one argument per line (default: page.brx)
    --- stdin                     standard input (default: empty)
    --- setup                     a bash script run in the folder before the binary
    --- check                     a bash script run after the binary; must exit 0
                                  (it runs under bash -e, which does not stop at a
                                  failing `! cmd` or a failing `a` in `a && b`
                                  before the last line: write one assertion per line)
    --- stdout                    the expected standard output, exactly
    --- stdout (re)               each expected line is a regular expression
                                  that must match the whole actual line; a line
                                  holding only ... matches any number of lines
    --- stderr                    expected standard error (only compared when given)
    --- status                    expected exit status (default 0)
    --- option: noconfig          do not write an empty .braxel
    --- option: program NAME      the binary's name in the folder (default braxel)

The binary is linked into the case's folder and run as ./NAME from there, so a
`.braxel` written by the case is found next to the program and the template.
Unless the case writes one (or says noconfig), an empty `.braxel` is written.
Texts of the form @@NAME@@ are replaced by --define NAME=VALUE values and by
@@DIR@@ (the case's folder) and @@CASES@@ (the folder of the case file).
Section options go in parentheses after the name.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HEADER = re.compile(r'^--- (\w+)(?::\s*(.*?))?\s*(?:\(([\w,]+)\))?\s*$')


def decode_escapes(text):
    out = bytearray()
    i = 0
    raw = text.encode('latin-1')
    while i < len(raw):
        c = raw[i]
        if c == 0x5C and i + 1 < len(raw):
            n = raw[i + 1]
            if n == ord('x') and i + 3 < len(raw) + 1:
                out.append(int(raw[i + 2:i + 4], 16))
                i += 4
                continue
            mapping = {ord('n'): 10, ord('t'): 9, ord('r'): 13, ord('0'): 0, 0x5C: 0x5C}
            if n in mapping:
                out.append(mapping[n])
                i += 2
                continue
        out.append(c)
        i += 1
    return bytes(out)


def lines_match(expected, actual):
    """Matches expected regex lines against actual lines; '...' is a wildcard
    for zero or more lines."""
    memo = {}

    def match(i, j):
        key = (i, j)
        if key in memo:
            return memo[key]
        if i == len(expected):
            ok = j == len(actual)
        elif expected[i] == '...':
            ok = any(match(i + 1, k) for k in range(j, len(actual) + 1))
        else:
            ok = j < len(actual) and re.fullmatch(expected[i], actual[j]) is not None \
                and match(i + 1, j + 1)
        memo[key] = ok
        return ok
    return match(0, 0)


def parse_cases(path):
    with open(path, 'rb') as f:
        data = f.read().decode('latin-1')
    lines = data.split('\n')
    if lines and lines[-1] == '':
        lines.pop()
    cases = []
    case = None
    section = None
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


def run_case(case, binary, defines):
    folder = tempfile.mkdtemp(prefix='braxel-e2e-')
    try:
        defines = dict(defines)
        defines['DIR'] = folder
        env = {'PATH': os.environ.get('PATH', '/usr/bin:/bin'), 'LANG': 'C',
               'HOME': folder, 'TZ': 'UTC'}
        for key in ('ASAN_OPTIONS', 'UBSAN_OPTIONS', 'LSAN_OPTIONS'):
            if key in os.environ:
                env[key] = os.environ[key]
        args = None
        stdin = b''
        expected_out = None
        out_regex = False
        expected_err = None
        status = 0
        setup = []
        checks = []
        program = 'braxel'
        config_written = False
        noconfig = False
        for s in case['sections']:
            kind = s['kind']
            if kind == 'file':
                name = s['arg']
                target = os.path.join(folder, name)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, 'wb') as f:
                    f.write(content_of(s, defines))
                if name == '.braxel':
                    config_written = True
            elif kind == 'env':
                for line in content_of(s, defines).decode('latin-1').splitlines():
                    if '=' in line:
                        k, v = line.split('=', 1)
                        env[k] = v
            elif kind == 'args':
                args = content_of(s, defines).decode('latin-1').splitlines()
            elif kind == 'stdin':
                stdin = content_of(s, defines)
            elif kind == 'stdout':
                expected_out = content_of(s, defines)
                out_regex = 're' in s['opts']
            elif kind == 'stderr':
                expected_err = content_of(s, defines)
            elif kind == 'status':
                status = int(content_of(s, defines).decode().strip())
            elif kind == 'setup':
                setup.append(content_of(s, defines).decode('latin-1'))
            elif kind == 'check':
                checks.append(content_of(s, defines).decode('latin-1'))
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
        for script in setup:
            r = subprocess.run(['bash', '-e', '-c', script], cwd=folder, env=env,
                               capture_output=True, timeout=120)
            if r.returncode != 0:
                return 'setup failed:\n' + r.stdout.decode('latin-1') + r.stderr.decode('latin-1')
        if args is None:
            args = ['page.brx']
        try:
            r = subprocess.run(['./' + program] + args, cwd=folder, env=env, input=stdin,
                               capture_output=True, timeout=60)
        except subprocess.TimeoutExpired:
            return 'timed out'
        problems = []
        if r.returncode != status and not (status == 255 and r.returncode == -1):
            problems.append('exit status %d, expected %d' % (r.returncode, status))
        if expected_out is not None:
            if out_regex:
                exp_lines = expected_out.decode('latin-1').split('\n')
                act_lines = r.stdout.decode('latin-1').split('\n')
                ok = lines_match(exp_lines, act_lines)
            else:
                ok = r.stdout == expected_out
            if not ok:
                problems.append('stdout differs\n--- expected\n%s\n--- actual\n%s' % (
                    expected_out.decode('latin-1'), r.stdout.decode('latin-1')))
        if expected_err is not None and r.stderr != expected_err:
            problems.append('stderr differs\n--- expected\n%s\n--- actual\n%s' % (
                expected_err.decode('latin-1'), r.stderr.decode('latin-1')))
        if b'AddressSanitizer' in r.stderr or b'runtime error:' in r.stderr:
            problems.append('sanitizer report:\n' + r.stderr.decode('latin-1'))
        for script in checks:
            c = subprocess.run(['bash', '-e', '-c', script], cwd=folder, env=env,
                               capture_output=True, timeout=120)
            if c.returncode != 0:
                problems.append('check failed:\n%s%s' % (c.stdout.decode('latin-1'),
                                                         c.stderr.decode('latin-1')))
        return '\n'.join(problems) if problems else None
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--binary', required=True)
    ap.add_argument('--define', action='append', default=[])
    ap.add_argument('cases', nargs='+')
    opts = ap.parse_args()
    defines = dict(d.split('=', 1) for d in opts.define)
    passed = failed = 0
    for path in opts.cases:
        for case in parse_cases(path):
            problem = run_case(case, opts.binary,
                               dict(defines, CASES=os.path.dirname(os.path.abspath(path))))
            if problem:
                failed += 1
                print('FAIL %s: %s\n%s\n' % (os.path.basename(path), case['name'], problem))
            else:
                passed += 1
    print('%d passed, %d failed' % (passed, failed))
    sys.exit(1 if failed or passed == 0 else 0)


if __name__ == '__main__':
    main()
