"""The example shop in headless Chromium (browser.js, puppeteer-core over the
system's Chromium) through a private lighttpd with the deploy/ files. The
screenshots are left in the work folder's screenshots/."""

import os
import subprocess

import common
import lighttpd

PUPPETEER = "puppeteer-core@24.43.1"   # the last line that runs on Node 20


def install_puppeteer(folder):
    """Installs puppeteer-core once into the build tree (never committed); it
    drives the system's Chromium and downloads no browser of its own."""
    if os.path.isdir(os.path.join(folder, "node_modules", "puppeteer-core")):
        return
    os.makedirs(folder, exist_ok=True)
    result = subprocess.run(["npm", "install", "--no-audit", "--no-fund", "--loglevel=error",
                             "--prefix", folder, PUPPETEER], capture_output=True, text=True)
    common.check(result.returncode == 0, f"npm install {PUPPETEER} failed:\n{result.stdout}{result.stderr}")


def body(site, servers, args):
    node = os.path.join(os.path.dirname(os.path.abspath(args.work)), "node")
    install_puppeteer(node)
    port = common.free_port()
    servers.start("lighttpd", ["lighttpd", "-D", "-f", lighttpd.whole_server(site, port)], port=port)
    shots = os.path.join(site.work, "screenshots")
    profile = os.path.join(site.work, "chromium-profile")
    os.makedirs(shots)
    os.makedirs(profile)
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser.js")
    env = dict(os.environ, NODE_PATH=os.path.join(node, "node_modules"))
    # No time limit of its own: every wait of puppeteer ends with an error
    # after 30 seconds, and the browser is closed on every way out.
    result = subprocess.run(["node", script, f"http://127.0.0.1:{port}", shots, profile],
                            env=env, capture_output=True, text=True, preexec_fn=common.die_with_parent)
    print(result.stdout, end="")
    common.check(result.returncode == 0, f"browser.js: {result.stderr}")
    print(f"screenshots: {shots}")


if __name__ == "__main__":
    common.run(__doc__, body)
