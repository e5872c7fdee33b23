"""The example shop under nginx over FastCGI: deploy/nginx-fastcgi.conf (a
server block) inside a private nginx main configuration, and the program's
FastCGI workers started by the spawn-fcgi line of the same file on a socket
of their own."""

import os
import re
import shlex

import common


def spawn_command(site, socket_path):
    """The spawn-fcgi line of deploy/nginx-fastcgi.conf with the test's
    paths, kept in the foreground (-n) so that the test stops it; without
    root, the options that change users go."""
    with open(os.path.join(common.DEPLOY, "nginx-fastcgi.conf")) as f:
        lines = [line[1:].strip() for line in f if "spawn-fcgi -s" in line]
    common.check(len(lines) == 1, "nginx-fastcgi.conf: one spawn-fcgi line")
    words = shlex.split(lines[0].replace("/run/braxel-shop.sock", socket_path)
                        .replace("/srv/braxel/shop/", site.app + "/")
                        .replace("/srv/braxel/shop", site.app))
    env = dict(word.split("=", 1) for word in words if re.match(r"^[A-Z_]+=", word))
    command = [word for word in words if not re.match(r"^[A-Z_]+=", word)]
    command.insert(1, "-n")
    if os.getuid() != 0:
        for option in ("-U", "-u", "-g"):
            at = command.index(option)
            del command[at:at + 2]
    return env, command


def body(site, servers, args):
    folder, socket_path, port = common.nginx_site(
        site, "nginx-fastcgi.conf", ("unix:/run/braxel-shop.sock", "braxel-shop.sock"))

    env, command = spawn_command(site, socket_path)
    os.environ.update(env)
    servers.start("braxel", command, socket_path=socket_path)
    common.start_nginx(servers, folder, site, port)
    common.check_private(port, site)
    common.check_shop(port)
    # The pages came from the workers, not from a program started per request.
    workers = open(f"/proc/{servers.running[0][1].pid}/task/{servers.running[0][1].pid}/children").read().split()
    common.check(len(workers) == int(env["BRAXEL_FCGI_CHILDREN"]),
                 f"{len(workers)} workers, not {env['BRAXEL_FCGI_CHILDREN']}")


if __name__ == "__main__":
    common.run(__doc__, body)
