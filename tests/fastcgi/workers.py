#!/usr/bin/env python3
"""The FastCGI mode's processes.

  workers   BRAXEL_FCGI_CHILDREN workers: BRAXEL_FCGI_MAX_REQUESTS recycles
            them, one killed with SIGKILL is replaced and the next request
            succeeds, SIGTERM lets the request in flight finish and ends them
  memory    one worker serves a mix of pages (form bodies, includes,
            definitions, captures, a query on a kept connection, sessions):
            its resident size after N requests is within 1 MiB of what it was
            after the first ones; it stops at SIGTERM and writes nothing to
            its standard error (under the sanitizer: no leak either)

Every process started here is stopped by its id, also when a check fails."""

import argparse
import collections
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import client  # noqa: E402


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def wait_for(condition, what, seconds=20):
    end = time.time() + seconds
    while time.time() < end:
        if condition():
            return
        time.sleep(0.05)
    raise Failure('timed out waiting until ' + what)


class Worker:
    """braxel started on a listening socket in the application folder."""

    def __init__(self, binary, app, env):
        self.socket = os.path.join(app, 'socket')
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(self.socket)
        listener.listen(64)
        self.log = open(os.path.join(app, 'worker.err'), 'w+b')
        with listener:
            self.process = subprocess.Popen([os.path.join(app, 'braxel')], cwd=app, stdin=listener,
                                            stdout=self.log, stderr=self.log,
                                            env=dict(os.environ, **env))

    def get(self, query):
        return client.request(self.socket, {'REQUEST_METHOD': 'GET', 'QUERY_STRING': query})

    def post(self, body):
        return client.request(self.socket, {'REQUEST_METHOD': 'POST',
                                            'CONTENT_LENGTH': str(len(body))}, body.encode())

    def children(self):
        pid = self.process.pid
        try:
            return [int(p) for p in pathlib.Path(f'/proc/{pid}/task/{pid}/children').read_text().split()]
        except FileNotFoundError:
            return []

    def stop(self):
        """SIGTERM; the exit status and what the process wrote itself."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                raise Failure('the worker did not stop at SIGTERM')
        self.log.seek(0)
        output = self.log.read().decode('latin-1')
        self.log.close()
        return self.process.returncode, output


def make_app(work, binary, config, pages):
    app = os.path.join(work, 'app')
    os.makedirs(os.path.join(app, 'hf'))
    os.symlink(os.path.abspath(binary), os.path.join(app, 'braxel'))
    for name, text in dict(pages, **{'.braxel': config}).items():
        pathlib.Path(app, name).write_text(text)
    return app


def body_of(answer, what):
    status, out, err = answer
    check(status == 0 and not err, f'{what}: status {status}, error output {err!r}\n{out!r}')
    return out.decode('latin-1').split('\n')[-2]


# ---------------------------------------------------------------------------


def workers(binary, work):
    # A shell command's parent is the worker that runs the template.
    app = make_app(work, binary, 'secure=F\n', {
        'hf/pid.brx': '<shell>echo $PPID</shell>',
        'hf/slow.brx': '<shell>touch started; sleep 2; echo slept</shell>',
    })
    worker = Worker(binary, app, {'BRAXEL_FCGI_CHILDREN': '2', 'BRAXEL_FCGI_MAX_REQUESTS': '3'})
    try:
        wait_for(lambda: len(worker.children()) == 2, 'two workers run')
        # recycling: no worker serves more than three requests
        served = collections.Counter(int(body_of(worker.get('braxel=pid.brx'), 'request %d' % i))
                                     for i in range(12))
        check(max(served.values()) <= 3 and len(served) >= 4, f'requests per worker: {served}')

        # a killed worker is replaced, and the next request is served
        before = worker.children()
        os.kill(before[0], signal.SIGKILL)
        wait_for(lambda: len(worker.children()) == 2 and before[0] not in worker.children(),
                 'the killed worker is replaced')
        body_of(worker.get('braxel=pid.brx'), 'the request after the kill')

        # SIGTERM: the request in flight is finished, then everything ends
        answer = {}
        thread = threading.Thread(target=lambda: answer.update(r=worker.get('braxel=slow.brx')))
        thread.start()
        wait_for(lambda: os.path.exists(os.path.join(app, 'started')), 'the slow request runs')
        pids = worker.children()
        worker.process.send_signal(signal.SIGTERM)
        thread.join(60)
        check(body_of(answer['r'], 'the request in flight') == 'slept', 'the request in flight')
        worker.process.wait(timeout=30)
        check(worker.process.returncode == 0, f'exit status {worker.process.returncode}')
        check(not any(os.path.exists(f'/proc/{pid}') for pid in pids), 'workers left running')
    finally:
        status, output = worker.stop()
    # LeakSanitizer, stopping a recycled worker's threads at its exit, may
    # fail to read the registers of the thread the fork left in its records:
    # a note of the sanitizer's runtime, not of braxel; anything else fails.
    output = re.sub(r'==\d+==Unable to get registers from thread \d+\.\n', '', output)
    check(output.strip() == '', 'the workers wrote:\n' + output)


def memory(binary, work, requests, sanitized):
    app = make_app(work, binary, f'dbname=shop.db\noptconn=T\nsessiondir={work}\n', {
        'lib.brx': '<includeonce><def row n name><tr><td><? n></td><td><? name></td></tr></def>\n',
        'hf/page.brx': '<include lib.brx><include lib.brx><let gl.x = ff.a + 1>'
                       '<assign v>captured <? ff.b></assign>\n<table><dbquery q>'
                       'select n, name from t\n<db row><row n=q.n name=q.name></db></table>'
                       '[<? v>][<? gl.x>][<? len(repeat(ff.b, 100))>]\n',
        'hf/session.brx': '<let se.k = ff.a><if sessioniCreate("s" + ff.a, "k") && '
                          'sessioniOpen("s" + ff.a, "k")><? se.k><? sessioniClose("k")></if>\n',
    })
    subprocess.run(['sqlite3', os.path.join(app, 'shop.db'),
                    "create table t(n integer, name text); insert into t values (1, 'a'), (2, 'b');"],
                   check=True)
    worker = Worker(binary, app, {'ASAN_OPTIONS': 'detect_leaks=1'} if sanitized else {})

    def one(i):
        if i % 100 == 0:
            return worker.get('braxel=session.brx&a=%d' % (i % 50))
        # field names of every kind, one new one per request
        return worker.post('braxel=page.brx&a=%d&b=x%d&f%d=%s' % (i % 50, i, i, 'y' * (i % 200)))

    def resident():
        status = pathlib.Path(f'/proc/{worker.process.pid}/status').read_text().splitlines()
        return next(int(line.split()[1]) for line in status if line.startswith('VmRSS'))

    try:
        first = body_of(one(1), 'the first request')
        check(first == '<table><tr><td>1</td><td>a</td></tr><tr><td>2</td><td>b</td></tr></table>'
                       '[captured x1][11][200]', 'the page: ' + first)
        warm = min(2000, requests // 10)
        for i in range(warm):
            body_of(one(i), 'request %d' % i)
        start, begun = resident(), time.time()
        for i in range(requests):
            body_of(one(i), 'request %d' % i)
        grown = resident() - start
        print(f'{requests} requests in {time.time() - begun:.1f} s: resident size '
              f'{start} KiB, then {start + grown} KiB')
        if not sanitized:
            check(grown < 1024, f'the resident size grew by {grown} KiB')
    finally:
        status, output = worker.stop()
    check(status == 0 and output == '', f'exit status {status}, the worker wrote:\n{output}')


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('test', choices=['workers', 'memory'])
    parser.add_argument('--binary', required=True)
    parser.add_argument('--requests', type=int, default=100000)
    parser.add_argument('--sanitized', action='store_true',
                        help='a sanitizer build: leaks are reported at exit, the size is not checked')
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix='braxel-fcgi-')
    try:
        if args.test == 'workers':
            workers(args.binary, work)
        else:
            memory(args.binary, work, args.requests, args.sanitized)
    except Failure as failure:
        print('FAIL', failure)
        sys.exit(1)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print('ok')


if __name__ == '__main__':
    main()
