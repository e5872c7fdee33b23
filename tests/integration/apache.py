"""The example shop under Apache 2.4 with mod_cgid: deploy/apache.conf (a
site) inside a private main configuration that loads only the modules the
site needs."""

import os
import pathlib

import common

MODULES = "/usr/lib/apache2/modules"


def body(site, servers, args):
    folder = os.path.join(site.work, "apache")
    os.makedirs(folder)
    port = common.free_port()
    common.fill("apache.conf", os.path.join(folder, "braxel.conf"), [
        ("<VirtualHost *:80>", f"<VirtualHost 127.0.0.1:{port}>"),
        ("/var/www/html", site.www),
        ("/srv/braxel/shop", site.app),
    ])
    modules = "".join(f"LoadModule {name}_module {MODULES}/mod_{name}.so\n"
                      for name in ("mpm_event", "authz_core", "alias", "cgid", "mime", "dir"))
    main = os.path.join(folder, "apache2.conf")
    pathlib.Path(main).write_text(
        f"ServerRoot {folder}\nDefaultRuntimeDir {folder}\nPidFile {folder}/apache2.pid\n"
        f"ScriptSock {folder}/cgid.sock\nErrorLog {site.logs}/apache-error.log\n"
        f"ServerName localhost\nTypesConfig /etc/mime.types\nListen 127.0.0.1:{port}\n" + modules
        + f"User {common.SERVER_USER}\nGroup {common.SERVER_USER}\n"
        "<Directory />\n    Require all denied\n</Directory>\n"
        f"<Directory {site.www}>\n    Require all granted\n</Directory>\n"
        f"Include {folder}/braxel.conf\n")
    servers.start("apache2", ["apache2", "-f", main, "-DFOREGROUND"], port=port)
    common.check_private(port, site)
    common.check_shop(port)


if __name__ == "__main__":
    common.run(__doc__, body)
