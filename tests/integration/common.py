"""Shared part of the web server tests: a private copy of the example shop,
private server instances on free loopback ports that are always stopped, the
deploy/ files with only their paths and port filled in, and the checks that
every server must pass (the shop works, nothing private can be downloaded)."""

import argparse
import ctypes
import html
import http.client
import os
import pathlib
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.parse

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEPLOY = os.path.join(SOURCE, "deploy")
SHOP = os.path.join(SOURCE, "examples", "shop")
# The user a server gives the program to when it starts as root.
SERVER_USER = "www-data"


class Failure(Exception):
    pass


def check(condition, what, page=b""):
    if not condition:
        text = page.decode("utf-8", "replace") if isinstance(page, bytes) else str(page)
        raise Failure(what + ("\n--- page ---\n" + text[:3000] if text else ""))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fill(template, target, replacements):
    """Copies a deploy/ file, replacing each (old, new) text, each of which
    must occur: a renamed path in the file must not go unnoticed."""
    text = pathlib.Path(DEPLOY, template).read_text()
    for old, new in replacements:
        check(old in text, f"{template}: {old!r} not found")
        text = text.replace(old, new)
    pathlib.Path(target).write_text(text)
    return target


def nginx_site(site, template, socket, replacements=()):
    """A private folder for nginx holding the server block `template` of
    deploy/ as braxel.conf, filled in with a free port, the test's web root
    and a socket in the folder; socket is the (placeholder address, file
    name) pair of the block's backend. Returns (folder, socket path, port)."""
    folder = os.path.join(site.work, "nginx")
    os.makedirs(folder)
    give_to_server_user(folder)
    placeholder, name = socket
    socket_path = os.path.join(folder, name)
    port = free_port()
    fill(template, os.path.join(folder, "braxel.conf"), [
        ("listen 80;", f"listen 127.0.0.1:{port};"),
        ("/var/www/html", site.www),
        (placeholder, f"unix:{socket_path}"),
    ] + list(replacements))
    return folder, socket_path, port


def start_nginx(servers, folder, site, port):
    """Starts a private nginx whose main configuration includes the server
    block written to folder/braxel.conf."""
    temp = "".join(f"    {kind}_temp_path {folder}/{kind};\n"
                   for kind in ("client_body", "fastcgi", "proxy", "uwsgi", "scgi"))
    main = os.path.join(folder, "nginx-main.conf")
    pathlib.Path(main).write_text(("user www-data;\n" if os.getuid() == 0 else "")
                                  + f"pid {folder}/nginx.pid;\n"
                                  + f"error_log {site.logs}/nginx-error.log;\n"
                                  + "events { worker_connections 64; }\n"
                                  + "http {\n    access_log off;\n" + temp
                                  + f"    include {folder}/braxel.conf;\n}}\n")
    servers.start("nginx", ["nginx", "-p", folder, "-e", f"{site.logs}/nginx-error.log", "-c", main,
                            "-g", "daemon off;"], port=port)


def give_to_server_user(path):
    """A server started as root runs the program as www-data, which writes
    the database and the session files."""
    if os.getuid() != 0:
        return
    user = pwd.getpwnam(SERVER_USER)
    os.chown(path, user.pw_uid, user.pw_gid)
    for folder, dirs, files in os.walk(path):
        for name in dirs + files:
            os.lchown(os.path.join(folder, name), user.pw_uid, user.pw_gid)


# ---- The site ----------------------------------------------------------------


class Site:
    """The example shop installed as deploy/ describes it: the program under
    the name shop in the application folder, beside .braxel, hf/ and the
    database with the seed data."""

    def __init__(self, work, binary):
        work = os.path.abspath(work)   # the servers' configurations name it
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        os.chmod(work, 0o755)
        self.work = work
        self.app = os.path.join(work, "app")
        shutil.copytree(SHOP, self.app)
        db = os.path.join(self.app, "shop.db")
        for script in ("schema.sql", "seed.sql"):
            with open(os.path.join(SHOP, script)) as sql:
                subprocess.run(["sqlite3", db], stdin=sql, check=True)
        # Only for the REMOTE_USER check: prints the user the server passed on.
        pathlib.Path(self.app, "hf", "whoami.brx").write_text("user=[<? SrvUser>]\n")
        self.program = os.path.join(self.app, "shop")
        shutil.copy(os.path.realpath(binary), self.program)
        self.www = os.path.join(work, "www")
        os.makedirs(self.www)
        pathlib.Path(self.www, "index.html").write_text("<p>static</p>\n")
        self.logs = os.path.join(work, "logs")
        os.makedirs(self.logs)
        give_to_server_user(self.app)
        give_to_server_user(self.logs)

    def private_files(self):
        """(file name relative to the application folder, its bytes)."""
        return [(name, pathlib.Path(self.app, name).read_bytes())
                for name in (".braxel", "shop.db", "hf/list.brx", "shop")]


# ---- Server processes --------------------------------------------------------


def die_with_parent():
    # PR_SET_PDEATHSIG: a server outlives no test, even one that is killed.
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)


class Servers:
    """The processes of one test; stop() ends each one by its id, even when
    the test failed."""

    def __init__(self, site):
        self.site = site
        self.running = []

    def start(self, name, argv, port=None, socket_path=None, env=None):
        log = open(os.path.join(self.site.work, name + ".out"), "wb")
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                   env=env, preexec_fn=die_with_parent)
        self.running.append((name, process, log))
        for _ in range(200):
            if process.poll() is not None:
                break
            if port is not None and _answers(port):
                return process
            if socket_path is not None and os.path.exists(socket_path):
                return process
            time.sleep(0.05)
        raise Failure(f"{name} did not start:\n{self.output(name)}")

    def output(self, name):
        return pathlib.Path(self.site.work, name + ".out").read_text(errors="replace")

    def stop(self):
        for name, process, log in reversed(self.running):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            log.close()
        self.running = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def _answers(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


# ---- HTTP --------------------------------------------------------------------


class Client:
    """Requests with the paths sent as they stand (no normalising), cookies
    kept, redirects not followed."""

    def __init__(self, port):
        self.port = port
        self.cookies = {}

    def request(self, method, path, body=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            sent = dict(headers or {})
            if self.cookies:
                sent["Cookie"] = "; ".join(f"{k}={v}" for k, v in self.cookies.items())
            if body is not None:
                sent["Content-Type"] = "application/x-www-form-urlencoded"
            connection.request(method, path, body=body, headers=sent)
            response = connection.getresponse()
            data = response.read()
            for header, value in response.getheaders():
                if header.lower() == "set-cookie":
                    pair = value.split(";", 1)[0]
                    if "=" in pair:
                        k, v = pair.split("=", 1)
                        self.cookies[k.strip()] = v.strip()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, data
        finally:
            connection.close()

    def get(self, path, **kw):
        return self.request("GET", path, **kw)

    def post(self, path, fields):
        return self.request("POST", path, body=urllib.parse.urlencode(fields))


def local_path(location):
    """The path of a Location header, absolute or not."""
    parts = urllib.parse.urlsplit(location)
    return parts.path + ("?" + parts.query if parts.query else "")


def form_fields(page):
    """The action and the hidden fields of the first form of a page."""
    text = page.decode("utf-8", "replace")
    action = re.search(r'<form action="([^"]*)"', text)
    check(action is not None, "no form on the page", page)
    fields = dict(re.findall(r'<input type="hidden" name="([^"]*)" value="([^"]*)"', text))
    return html.unescape(action.group(1)), {k: html.unescape(v) for k, v in fields.items()}


# ---- The checks --------------------------------------------------------------

URL = "/cgi-bin/shop"


def check_shop(port):
    """The example shop through the server, as a visitor uses it."""
    client = Client(port)

    status, _, page = client.get(URL + "?braxel=list.brx")
    check(status == 200 and b"Apple" in page and b"Pineapple" in page, f"list: status {status}", page)
    check(b"?braxel=detail.brx&amp;id=1" in page, "list: no link to a product", page)

    # A quote must not break the statement, markup must come back as text.
    search = "O'Hara <script>alert(1)</script>"
    status, _, page = client.get(URL + "?" + urllib.parse.urlencode({"braxel": "list.brx", "q": search}))
    check(status == 200 and b"No product matches" in page, f"search: status {status}", page)
    check(b"<script>" not in page and b"&lt;script&gt;alert(1)" in page, "search: markup not escaped", page)

    status, _, page = client.get(URL + "?braxel=detail.brx&id=1")
    check(status == 200 and b"A crisp green apple" in page and b"Crisp, just as promised" in page,
          f"detail: status {status}", page)

    status, _, page = client.get(URL + "?braxel=entry.brx&product=6")
    check(status == 200, f"entry form: status {status}", page)
    action, fields = form_fields(page)
    fields.update(author="Eve O'Hara", rating="5", body="Sweet & juicy <yes>")
    status, headers, page = client.post(action, fields)
    check(status == 303 and "location" in headers, f"saving the review: status {status}, not 303 with Location", page)
    status, _, page = client.get(local_path(headers["location"]))
    check(status == 200 and b"Juicy pears" in page, f"after the redirect: status {status}", page)
    check(b"Sweet &amp; juicy &lt;yes&gt;" in page, "the new review is not listed, escaped", page)

    visits = []
    for _ in range(2):
        status, _, page = client.get(URL + "?braxel=visits.brx")
        number = re.search(rb"visit number (\d+)", page)
        check(status == 200 and number is not None, f"session page: status {status}", page)
        visits.append(int(number.group(1)))
    check(visits[1] == visits[0] + 1, f"the visit counter went {visits}")

    # REMOTE_USER only from the server's own authentication: a visitor's
    # Authorization header names no user.
    status, _, page = client.get(URL + "?braxel=whoami.brx",
                                 headers={"Authorization": "Basic YWRtaW46c2VjcmV0"})  # admin:secret
    check(status == 200 and b"user=[]" in page, "REMOTE_USER taken from an unchecked Authorization header", page)


def check_private(port, site):
    """No request returns the bytes of the configuration, the database, a
    template or the program."""
    client = Client(port)
    secrets = site.private_files()
    for name, content in secrets:
        quoted = urllib.parse.quote(name, safe="/")
        encoded = "".join(f"%{ord(c):02x}" if c in "." else c for c in name)
        for path in (f"/cgi-bin/{quoted}", f"/cgi-bin/{encoded}", f"/cgi-bin//{quoted}",
                     f"/cgi-bin/./{quoted}", f"/cgi-bin/hf/../{quoted}", f"/cgi-bin/shop/{quoted}",
                     f"/{quoted}"):
            status, _, page = client.get(path)
            leaked = status == 200 and content[:4096] in page
            check(not leaked, f"GET {path} sends the bytes of {name}")
    status, _, page = client.get(URL)
    check(not page.startswith(b"\x7fELF"), f"GET {URL} sends the program")


def run(description, body):
    """Runs body(site, servers, args) and reports; exit status 1 on failure."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--binary", required=True, help="the braxel program")
    parser.add_argument("--work", required=True, help="scratch folder (made anew)")
    args = parser.parse_args()
    site = Site(args.work, args.binary)
    try:
        with Servers(site) as servers:
            body(site, servers, args)
    except Failure as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        # the servers' own output and error logs
        for folder in (site.work, site.logs):
            for name in sorted(os.listdir(folder)):
                if name.endswith(".out") or name.endswith(".log"):
                    print(f"--- {name}", file=sys.stderr)
                    text = pathlib.Path(folder, name).read_text(errors="replace")
                    print(text[-3000:], file=sys.stderr)
        sys.exit(1)
    print("passed")
