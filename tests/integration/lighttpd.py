"""The example shop under lighttpd, with deploy/lighttpd.conf in three
places: under deploy/lighttpd-server.conf (a whole server), in the
conf-enabled folder of Debian's stock lighttpd.conf, and appended to the end
of the stock file (after mod_staticfile is loaded). Then the local server of
`make serve` (scripts/serve)."""

import os
import pathlib
import re

import common

STOCK = "/etc/lighttpd/lighttpd.conf"


def drop_in(site, target):
    return common.fill("lighttpd.conf", target, [('"/srv/braxel/shop"', f'"{site.app}"')])


def whole_server(site, port):
    folder = os.path.join(site.work, "whole")
    os.makedirs(folder)
    drop_in(site, os.path.join(folder, "lighttpd.conf"))
    return common.fill("lighttpd-server.conf", os.path.join(folder, "server.conf"), [
        ("= 8080", f"= {port}"),
        ('"/var/www/html"', f'"{site.www}"'),
        ('"/var/log/lighttpd/braxel-error.log"', f'"{site.logs}/whole-error.log"'),
        ('"/run/lighttpd-braxel.pid"', f'"{site.logs}/whole.pid"'),
    ])


def stock_server(site, port, appended):
    """Debian's lighttpd.conf with its own paths and port replaced, bound to
    the loopback address only (its IPv6 line would listen everywhere)."""
    name = "stock-appended" if appended else "stock-enabled"
    folder = os.path.join(site.work, name)
    enabled = os.path.join(folder, "conf-enabled")
    os.makedirs(enabled)
    text = pathlib.Path(STOCK).read_text()
    settings = {
        "server.document-root": f'"{site.www}"',
        "server.upload-dirs": f'( "{site.logs}" )',
        "server.errorlog": f'"{site.logs}/{name}-error.log"',
        "server.pid-file": f'"{site.logs}/{name}.pid"',
        "server.port": f'{port}\nserver.bind = "127.0.0.1"',
    }
    for key, value in settings.items():
        text, n = re.subn(rf"^{re.escape(key)}\s*=.*$", f"{key} = {value}", text, flags=re.M)
        common.check(n == 1, f"{STOCK}: no line {key}")
    text, n = re.subn(r"^include_shell \"/usr/share/lighttpd/use-ipv6.pl.*$", "", text, flags=re.M)
    common.check(n == 1, f"{STOCK}: no use-ipv6 line")
    text = text.replace('"/etc/lighttpd/conf-enabled/', f'"{enabled}/')
    for stock in os.listdir("/etc/lighttpd/conf-enabled"):
        pathlib.Path(enabled, stock).write_text(pathlib.Path("/etc/lighttpd/conf-enabled", stock).read_text())
    if appended:
        text += "\n" + pathlib.Path(drop_in(site, os.path.join(folder, "braxel.conf"))).read_text()
    else:
        drop_in(site, os.path.join(enabled, "50-braxel.conf"))
    config = os.path.join(folder, "lighttpd.conf")
    pathlib.Path(config).write_text(text)
    return config


def body(site, servers, args):
    for name, make in (("whole", whole_server),
                       ("stock-enabled", lambda s, p: stock_server(s, p, False)),
                       ("stock-appended", lambda s, p: stock_server(s, p, True))):
        port = common.free_port()
        config = make(site, port)
        servers.start(f"lighttpd-{name}", ["lighttpd", "-D", "-f", config], port=port)
        try:
            common.check_private(port, site)
            common.check_shop(port)
        except common.Failure as failure:
            raise common.Failure(f"[{name}] {failure}") from None
        servers.stop()
    check_serve(site, servers, args)


def check_serve(site, servers, args):
    """scripts/serve over the example shop: the URL it prints answers, the
    configuration is not served, debugging output reaches this machine."""
    port = common.free_port()
    env = dict(os.environ, PORT=str(port), SERVE_DIR=os.path.join(site.work, "serve"))
    servers.start("serve", ["bash", os.path.join(common.SOURCE, "scripts", "serve"), args.binary],
                  port=port, env=env)
    common.check(f"http://127.0.0.1:{port}/" in servers.output("serve"), "serve: no URL printed")
    client = common.Client(port)
    status, _, page = client.get("/")
    common.check(status == 200 and b"?braxel=list.brx" in page, "serve: no start page", page)
    status, _, page = client.get(common.URL + "?braxel=list.brx")
    common.check(status == 200 and b"Pineapple" in page, f"serve: list: status {status}", page)
    status, _, page = client.get("/cgi-bin/.braxel")
    common.check(status >= 400 and b"dbname" not in page, f"serve: .braxel sent (status {status})", page)
    status, _, page = client.get(common.URL + "?braxel=list.brx&$debug=pp")
    common.check(b"Source Display" in page, "serve: no debugging output for the local browser", page)


if __name__ == "__main__":
    common.run(__doc__, body)
