"""The example shop under nginx with fcgiwrap: deploy/nginx.conf (a server
block) inside a private nginx main configuration, a private fcgiwrap on a
socket of its own."""

import os

import common


def body(site, servers, args):
    folder, socket_path, port = common.nginx_site(
        site, "nginx.conf", ("unix:/run/fcgiwrap.socket", "fcgiwrap.socket"),
        [("/srv/braxel/shop/", site.app + "/")])
    as_root = os.getuid() == 0

    # fcgiwrap runs the program as the server's user, as Debian's service does.
    user = ["setpriv", f"--reuid={common.SERVER_USER}", f"--regid={common.SERVER_USER}",
            "--init-groups"] if as_root else []
    servers.start("fcgiwrap", user + ["fcgiwrap", "-s", f"unix:{socket_path}"], socket_path=socket_path)
    common.start_nginx(servers, folder, site, port)
    common.check_private(port, site)
    common.check_shop(port)


if __name__ == "__main__":
    common.run(__doc__, body)
