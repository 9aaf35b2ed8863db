#!/usr/bin/python3
"""The account page in a real browser (Debian's headless Chromium, driven over its DevTools pipe) against a
provider serving HTTPS: sign in, make a token, update its host with curl, see the address and its history,
revoke the token, forms without their token refused, the cookies' flags, the Chinese page; /metrics read by
the Prometheus client's own text parser. Runs in a network namespace of its own (loopback only), so
neither the browser nor anything else here can reach another machine.
Usage: account_page_test.py PROVIDER-PROGRAM   (exit 77: skipped)"""

import fcntl, http.client, json, os, ssl, re, shutil, subprocess, sys, tempfile, time, urllib.parse

SKIP = 77
CHROMIUM = shutil.which("chromium")


def require(cond, what):
    if not cond:
        print("FAIL:", what)
        sys.exit(1)


class Browser:
    """A headless Chromium page, commands over --remote-debugging-pipe (NUL-separated JSON)."""

    def __init__(self, profile):
        to_chrome, self.out = os.pipe()
        self.inp, from_chrome = os.pipe()
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--user-data-dir=" + profile, "--ignore-certificate-errors", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-extensions", "--disable-dev-shm-usage", "about:blank"],
            pass_fds=(3, 4), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=lambda: self.fds(to_chrome, from_chrome))
        os.close(to_chrome)
        os.close(from_chrome)
        self.buf, self.next, self.session = b"", 0, None
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]

    @staticmethod
    def fds(commands, answers):  # the pipe's ends on 3 and 4 in the child, wherever they were
        high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (commands, answers)]
        os.dup2(high[0], 3)
        os.dup2(high[1], 4)

    def call(self, method, **params):
        self.next += 1
        msg = {"id": self.next, "method": method, "params": params}
        if self.session:
            msg["sessionId"] = self.session
        os.write(self.out, json.dumps(msg).encode() + b"\0")
        deadline = time.time() + 20
        while time.time() < deadline:
            while b"\0" not in self.buf:
                chunk = os.read(self.inp, 65536)
                require(chunk, "Chromium went away")
                self.buf += chunk
            line, self.buf = self.buf.split(b"\0", 1)
            answer = json.loads(line)
            if answer.get("id") == self.next:
                require("error" not in answer, f"{method}: {answer.get('error')}")
                return answer["result"]
        require(False, f"{method}: no answer")

    def js(self, expression):
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        return r["result"].get("value")

    def wait(self, expression, what):
        deadline = time.time() + 15
        while time.time() < deadline:
            if self.js(f"document.readyState == 'complete' && !!({expression})"):
                return
            time.sleep(0.05)
        require(False, what + ": " + str(self.js("document.body && document.body.innerText")))

    def go(self, url):
        self.call("Page.navigate", url=url)
        self.wait("location.href == " + json.dumps(url), "navigation to " + url)

    # Fills the named fields of the form whose action ends with `action` (within the section naming `near`)
    # and submits it as a user would; waits for the next page.
    def submit(self, action, fields=None, near=""):
        self.js("window.__old = true")
        self.js(f"""(() => {{
            const f = [...document.querySelectorAll('form')].find(f => f.action.endsWith({json.dumps(action)}) &&
                f.closest('section,header').innerText.includes({json.dumps(near)}));
            for (const [k, v] of Object.entries({json.dumps(fields or {})})) f.elements[k].value = v;
            f.requestSubmit(); }})()""")
        self.wait("!window.__old", "the page after " + action)

    def close(self):
        self.proc.kill()
        self.proc.wait()


def curl(*args):
    return subprocess.run(["curl", "-sk", "--max-time", "10", *args], capture_output=True, text=True).stdout


def main():
    program = os.path.abspath(sys.argv[1])
    if not CHROMIUM:
        print("SKIP: no chromium (package chromium; scripts/setup-deps.sh installs it)")
        return SKIP
    try:
        from prometheus_client.parser import text_string_to_metric_families
    except ImportError:
        print("SKIP: no prometheus_client (package python3-prometheus-client)")
        return SKIP
    if os.environ.get("MORVANE_PAGE_TEST_NS") != "1":
        # Loopback only: a namespace of its own, when we may make one.
        if os.geteuid() == 0 and shutil.which("unshare"):
            env = dict(os.environ, MORVANE_PAGE_TEST_NS="1")
            return subprocess.run(["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$0" "$@"',
                                   sys.executable, *sys.argv], env=env).returncode
        print("SKIP: needs root for a network namespace of its own")
        return SKIP

    d = tempfile.mkdtemp(prefix="morvane-page-")
    server = browser = None
    try:
        db = d + "/p.db"
        require(subprocess.run(["openssl", "req", "-x509", "-nodes", "-newkey", "ec", "-pkeyopt",
                                "ec_paramgen_curve:P-256", "-subj", "/CN=127.0.0.1", "-days", "2", "-keyout",
                                d + "/key.pem", "-out", d + "/cert.pem"], capture_output=True).returncode == 0,
                "a certificate")
        require(subprocess.run([program, "--db", db, "seed-demo"], capture_output=True).returncode == 0, "seed-demo")
        server = subprocess.Popen([program, "--db", db, "serve", "--port", "0", "--tls-cert", d + "/cert.pem",
                                   "--tls-key", d + "/key.pem"], stdout=subprocess.PIPE, text=True)
        port = re.search(r":(\d+) \(TLS\)", server.stdout.readline()).group(1)
        base = f"https://127.0.0.1:{port}"
        browser = Browser(d + "/profile")
        b = browser
        b.call("Page.enable")

        b.go(base + "/account?lang=en")
        b.submit("/account/login", {"name": "demo", "password": "demo"})
        require("demo1.example.net" in b.js("document.body.innerText"), "signed in: the hosts listed")
        cookies = {c["name"]: c for c in b.call("Network.getCookies", urls=[base + "/account"])["cookies"]}
        s = cookies.get("morvane_session")
        require(s and s["httpOnly"] and s["secure"] and s["sameSite"] == "Strict", f"session cookie flags: {s}")
        require("morvane_session" not in b.js("document.cookie"), "the session cookie hidden from scripts")

        b.submit("/account/token", near="demo1.example.net")
        token = b.js("document.getElementById('new-token').textContent")
        require(token, "a new token shown")
        update = f"{base}/nic/update?hostname=demo1.example.net&myip=192.0.2.77"
        require(curl("-u", "demo1.example.net:" + token, update) == "good 192.0.2.77\n", "update with the token")
        b.go(base + "/account")
        host = b.js("[...document.querySelectorAll('section.host')].find(s => s.innerText.includes("
                    "'demo1.example.net')).innerText")
        require(host.count("192.0.2.77") >= 2, "address and history shown: " + host)

        # Forms without the session's token (or with another) change nothing, even with the cookie.
        jar = f"morvane_session={s['value']}"
        hostid = b.js("document.querySelector('form[action$=\"/account/token\"] [name=host]').value")
        for form in (f"host={hostid}", f"host={hostid}&csrf=" + "0" * 32):
            r = curl("-o", "/dev/null", "-w", "%{http_code}", "-b", jar, "-d", form, base + "/account/token")
            require(r == "403", f"token form without its csrf token: {r}")
        require(b.js("document.querySelectorAll('form[action$=\"/account/revoke\"]').length") == 1,
                "no token made by forms without it")

        b.submit("/account/revoke", near="demo1.example.net")
        require(curl("-u", "demo1.example.net:" + token, update) == "badauth\n", "revoked token refused")

        b.go(base + "/account?lang=zh")
        require(b.js("document.documentElement.lang").startswith("zh") and
                re.search("[\u4e00-\u9fff]", b.js("document.body.innerText")), "the Chinese page")

        # How long a signed-in page takes the server, and the browser from request to loaded page.
        tls = ssl._create_unverified_context()
        t0 = time.time()
        for _ in range(50):
            c = http.client.HTTPSConnection("127.0.0.1", int(port), context=tls, timeout=10)
            c.request("GET", "/account", headers={"Cookie": jar})
            require(c.getresponse().status == 200, "the signed-in page")
            c.close()
        server_ms = (time.time() - t0) * 1000 / 50
        b.go(base + "/account?lang=en")
        load_ms = b.js("performance.getEntriesByType('navigation')[0].loadEventEnd")
        print(f"account page: {server_ms:.1f} ms per request (a new TLS connection each), "
              f"{load_ms:.0f} ms to loaded in Chromium")

        families = {f.name: f for f in text_string_to_metric_families(curl(base + "/metrics"))}
        for name in ("morvane_provider_updates", "morvane_provider_publications",
                     "morvane_provider_publication_latency_seconds", "morvane_provider_connections",
                     "morvane_provider_tls_handshakes", "morvane_provider_logins"):
            require(name in families, "metric family " + name)
        good = [x for x in families["morvane_provider_updates"].samples
                if x.labels.get("protocol") == "dyndns2" and x.labels.get("result") == "good"]
        require(good and good[0].value == 1, f"one good dyndns2 update counted: {good}")
        ok = [x.value for x in families["morvane_provider_tls_handshakes"].samples if x.labels.get("result") == "ok"]
        require(ok and ok[0] >= 5, f"handshakes counted: {ok}")
        print("PASS")
        return 0
    finally:
        if browser:
            browser.close()
        if server:
            server.terminate()
            server.wait()
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
