#!/usr/bin/env python3
"""The Cockpit page in a real browser: pxraidd over a virtual scenario on a
private system bus, cockpit-ws with its bridge on that bus and the page
linked in as a user's package, and headless Chromium driven through its
DevTools protocol. Each scenario's page is checked against what
`pxraid --virtual S status --json` says, and kept as a screenshot; an event
the service raises after the page was opened must appear without a reload.

Usage: run_cockpit_test.py --pxraidd EXE --pxraid EXE --pxraid-test EXE --page DIR --out DIR

The page runs --pxraid as users would; the service's firmware jobs run
--pxraid-test, the tests' build of it, which takes the simulated time the
service hands on.
"""

import argparse
import base64
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

# Only keeps a broken set-up from hanging the run.
PATIENCE = 60.0
START_TIME = "2024-03-01T09:00:00"
COCKPIT_WS = "/usr/lib/cockpit/cockpit-ws"
NOT_RUNNING = "The pxraidd service is not running."
HEALTH_WORDS = {"ok": "OK", "warning": "Warning", "critical": "Critical", "unknown": "Unknown"}


class Failure(Exception):
    pass


def wait_for(what, probe, patience=PATIENCE):
    """probe() until it returns something other than a string or None; a
    string says what was seen instead, and is in the failure, so that a wrong
    page says what it showed."""
    give_up = time.monotonic() + patience
    last = None
    while time.monotonic() < give_up:
        last = probe()
        if last is not None and last is not False and not isinstance(last, str):
            return last
        time.sleep(0.2)
    raise Failure(f"gave up waiting for {what}; last seen: {last}")


class DevTools:
    """Just enough of a WebSocket client for Chromium's DevTools protocol:
    text frames, masked as a client must, no extensions."""

    def __init__(self, url):
        hostport, path = url[len("ws://"):].split("/", 1)
        host, port = hostport.rsplit(":", 1)
        self.sock = socket.create_connection((host, int(port)), timeout=PATIENCE)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET /{path} HTTP/1.1\r\nHost: {hostport}\r\n"
                           "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                           f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            byte = self.sock.recv(1)
            if not byte:
                raise Failure("DevTools closed the connection during the handshake")
            head += byte
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise Failure(f"DevTools refused the WebSocket: {head!r}")
        self.last_id = 0

    def _exact(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise Failure("DevTools closed the connection")
            data += chunk
        return data

    def _receive(self):
        payload = b""
        while True:
            first, second = self._exact(2)
            length = second & 0x7F
            if length == 126:
                length = struct.unpack(">H", self._exact(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", self._exact(8))[0]
            payload += self._exact(length)
            if first & 0x80:
                return payload

    def _send(self, text):
        data = text.encode()
        mask = os.urandom(4)
        length = len(data)
        if length < 126:
            head = bytes([0x81, 0x80 | length])
        elif length < 65536:
            head = bytes([0x81, 0x80 | 126]) + struct.pack(">H", length)
        else:
            head = bytes([0x81, 0x80 | 127]) + struct.pack(">Q", length)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def call(self, method, **params):
        self.last_id += 1
        self._send(json.dumps({"id": self.last_id, "method": method, "params": params}))
        while True:
            message = json.loads(self._receive())
            if message.get("id") == self.last_id:
                if "error" in message:
                    raise Failure(f"{method}: {message['error']}")
                return message["result"]

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise Failure(f"the page's script failed: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))
        print(f"screenshot: {path}")


# What the page shows, read back as a person would read it.
READ_PAGE = """(() => {
  if (!document.getElementById("service-state") || !document.getElementById("overall"))
    return { loading: location.href + ": " + (document.body ? document.body.innerText.slice(0, 200) : ""),
             notice: null, overall: null, enclosures: [], history: [], events: [] };
  const text = node => node ? node.textContent.trim() : null;
  return {
    notice: document.getElementById("service-state").hidden ? "" : text(document.getElementById("service-state")),
    overall: document.getElementById("overall").hidden ? null : text(document.getElementById("overall")),
    enclosures: [...document.querySelectorAll(".px-enclosure")].map(card => ({
      id: card.getAttribute("data-id"),
      title: text(card.querySelector("h3")),
      badge: text(card.querySelector(".px-badge")),
      summary: text(card.querySelector(".px-summary")),
      members: [...card.querySelectorAll("tbody tr")].map(row => [...row.cells].map(text)),
    })),
    history: [...document.querySelectorAll(".px-past")].map(block => ({
      id: block.getAttribute("data-id"),
      events: [...block.querySelectorAll(".px-past-event .px-event-name")].map(text),
      rebuilds: [...block.querySelectorAll(".px-rebuild")].map(text),
    })),
    events: [...document.querySelectorAll("#events li")].map(item => ({
      name: text(item.querySelector(".px-event-name")),
      enclosure: text(item.querySelector(".px-event-enclosure")),
      message: text(item.querySelector(".px-event-message")),
    })),
  };
})()"""


# What each scenario's page must say beyond every enclosure's health and
# members, from status --json's enclosure.
def expect_failed(enclosure):
    return [(f"{m['port']} failed", m["serial"]) for m in enclosure["members"] if m["state"] == "failed"]


def expect_rebuild(enclosure):
    rebuild = enclosure["rebuild"]
    return [(f"{rebuild['percent']}%", None)] if rebuild["running"] else []


def expect_silent(enclosure):
    return [] if enclosure["status_read"] else [("Does not answer", None)]


SCENARIOS = [
    # scenario, what its page must show beyond every enclosure's health and members
    ("two-enclosures", None),
    ("failed-member", expect_failed),
    ("rebuilding-mirror", expect_rebuild),
    ("silent-enclosure", expect_silent),
]


class Run:
    def __init__(self, args):
        self.args = args
        self.folder = tempfile.mkdtemp(prefix="pxraid-cockpit-")
        self.children = []
        self.service = None

    # --- processes -------------------------------------------------------
    def start(self, name, argv, env=None):
        out = open(os.path.join(self.folder, name + ".out"), "w")
        child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                 env=env, start_new_session=True)
        self.children.append(child)
        return child

    def stop(self, child):
        if child.poll() is None:
            try:
                os.killpg(child.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                child.wait(timeout=PATIENCE / 4)
            except subprocess.TimeoutExpired:
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()

    def output(self, name):
        try:
            with open(os.path.join(self.folder, name + ".out")) as text:
                return text.read()
        except OSError:
            return ""

    def close(self):
        for child in reversed(self.children):
            self.stop(child)
        shutil.rmtree(self.folder, ignore_errors=True)

    # --- set-up ----------------------------------------------------------
    def start_bus(self):
        config = os.path.join(self.folder, "bus.conf")
        with open(config, "w") as out:
            out.write(f"""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:dir={self.folder}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
""")
        self.start("bus", ["dbus-daemon", f"--config-file={config}", "--nofork", "--print-address"])
        self.bus = wait_for("the bus's address", lambda: [self.output("bus").split("\n")[0]]
                            if "\n" in self.output("bus") else None)[0]

    def start_cockpit(self):
        # The page as a user's package: the bridge reads $XDG_DATA_HOME/cockpit.
        data = os.path.join(self.folder, "data")
        os.makedirs(os.path.join(data, "cockpit"))
        os.symlink(os.path.abspath(self.args.page), os.path.join(data, "cockpit", "pxraid"))
        home = os.path.join(self.folder, "home")
        os.makedirs(home)
        # The page's firmware work runs the pxraid under test.
        path = os.path.dirname(os.path.abspath(self.args.pxraid)) + os.pathsep + os.environ.get("PATH", "")
        env = dict(os.environ, XDG_DATA_HOME=data, HOME=home, DBUS_SYSTEM_BUS_ADDRESS=self.bus, PATH=path)
        listing = subprocess.run(["cockpit-bridge", "--packages"], env=env, capture_output=True,
                                 text=True, timeout=PATIENCE)
        if "RAID enclosures" not in listing.stdout:
            raise Failure(f"cockpit-bridge does not list the page:\n{listing.stdout}{listing.stderr}")
        port = free_port()
        self.start("cockpit-ws", [COCKPIT_WS, "--no-tls", "--address", "127.0.0.1", "--port", str(port),
                                  "--local-session=cockpit-bridge"], env=env)
        self.url = f"http://127.0.0.1:{port}/cockpit/@localhost/pxraid/index.html"

        # Only a connection: with --local-session, the first page fetched
        # takes the one session there is, and it must be the browser's.
        def listens():
            try:
                socket.create_connection(("127.0.0.1", port), timeout=5).close()
                return True
            except OSError:
                return None
        wait_for("cockpit-ws to listen", listens)

    def start_browser(self):
        profile = os.path.join(self.folder, "chromium")
        self.start("chromium", ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                "--no-first-run", "--disable-background-networking",
                                "--disable-component-update", "--disable-sync", f"--user-data-dir={profile}",
                                "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
                                "--window-size=1280,900", "about:blank"],
                   # Its own bus, or it would launch a session bus that outlives the test.
                   env=dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.bus))
        active = os.path.join(profile, "DevToolsActivePort")
        port = wait_for("Chromium's DevTools port",
                        lambda: [open(active).read().split("\n")[0]] if os.path.exists(active) and "\n" in open(active).read() else None)[0]
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=PATIENCE) as reply:
            pages = [t for t in json.load(reply) if t["type"] == "page"]
        if not pages:
            raise Failure("Chromium opened no page")
        self.page = DevTools(pages[0]["webSocketDebuggerUrl"])
        self.page.call("Page.enable")

    # --- pxraidd ---------------------------------------------------------
    def status(self, scenario):
        reply = subprocess.run([self.args.pxraid, "--virtual", scenario, "status", "--json", "--log-dir",
                                os.path.join(self.folder, "status")], capture_output=True, text=True,
                               timeout=PATIENCE)
        return json.loads(reply.stdout)

    def start_service(self, scenario, polls):
        self.service = self.start("pxraidd-" + scenario, [
            self.args.pxraidd, "--bus", self.bus, "--virtual", scenario, "--simulate-time", START_TIME,
            "--pxraid", self.args.pxraid_test,
            "--interval", "1", "--log-dir", os.path.join(self.folder, "log-" + scenario),
            "--polls", str(polls)])

    def stop_service(self):
        self.stop(self.service)
        self.service = None

    def read(self):
        return self.page.evaluate(READ_PAGE)

    def click(self, element):
        self.page.evaluate(f"document.getElementById({json.dumps(element)}).click()")

    def choose_files(self, element, files):
        root = self.page.call("DOM.getDocument")["root"]["nodeId"]
        node = self.page.call("DOM.querySelector", nodeId=root, selector="#" + element)["nodeId"]
        self.page.call("DOM.setFileInputFiles", files=files, nodeId=node)

    def shot(self, name):
        path = os.path.join(self.args.out, name + ".png")
        self.page.screenshot(path)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def mismatches(status, shown, extra):
    """What the page gets wrong of status --json's enclosures; [] when it
    shows them all as status says."""
    wrong = []
    cards = {card["id"]: card for card in shown["enclosures"]}
    for enclosure in status["enclosures"]:
        card = cards.get(enclosure["id"])
        if card is None:
            wrong.append(f"no card for {enclosure['id']}")
            continue
        if enclosure["name"] not in (card["title"] or ""):
            wrong.append(f"{enclosure['id']}: title {card['title']!r}")
        if card["badge"] != HEALTH_WORDS[enclosure["health"]]:
            wrong.append(f"{enclosure['id']}: badge {card['badge']!r} for {enclosure['health']}")
        rows = [row[:4] for row in card["members"]]
        expected = [[m["port"], m["state"], m["model"], m["serial"]] for m in enclosure["members"]]
        if rows != expected:
            wrong.append(f"{enclosure['id']}: members {rows} instead of {expected}")
        for words, serial in (extra(enclosure) if extra else []):
            if words not in (card["summary"] or ""):
                wrong.append(f"{enclosure['id']}: summary {card['summary']!r} lacks {words!r}")
            if serial and not any(serial in row for row in card["members"]):
                wrong.append(f"{enclosure['id']}: no member with serial {serial}")
    if "loading" in shown:
        wrong.append(f"the page is not there: {shown['loading']}")
    if len(cards) != len(status["enclosures"]):
        wrong.append(f"{len(cards)} cards for {len(status['enclosures'])} enclosures")
    if shown["overall"] != HEALTH_WORDS[status["health"]]:
        wrong.append(f"overall {shown['overall']!r} for {status['health']}")
    return wrong


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pxraidd", required=True)
    parser.add_argument("--pxraid", required=True)
    parser.add_argument("--pxraid-test", required=True)
    parser.add_argument("--page", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    missing = [name for name in ("dbus-daemon", "cockpit-bridge", "chromium") if not shutil.which(name)]
    missing += [COCKPIT_WS] if not os.access(COCKPIT_WS, os.X_OK) else []
    if missing:
        print(f"missing: {', '.join(missing)}: run scripts/install-deps.sh", file=sys.stderr)
        return 1
    os.makedirs(args.out, exist_ok=True)

    passed = failed = 0
    run = Run(args)

    def check(name, body):
        nonlocal passed, failed
        try:
            body()
            print(f"ok: {name}")
            passed += 1
        except Failure as failure:
            print(f"FAILED: {name}: {failure}")
            failed += 1

    try:
        run.start_bus()
        run.start_cockpit()
        run.start_browser()
        run.page.call("Page.navigate", url=run.url)

        def not_running():
            wait_for("the page to say the service is not running",
                     lambda: run.read()["notice"] == NOT_RUNNING or json.dumps(run.read()))
            run.shot("not-running")
        check("without pxraidd the page says it is not running", not_running)

        # One page for every scenario: it follows pxraidd as it stops and
        # starts, as it would follow the service restarted.
        for scenario, extra in SCENARIOS:
            def scenario_shown(scenario=scenario, extra=extra):
                status = run.status(scenario)
                run.start_service(scenario, 1)
                try:
                    wait_for(f"the page to show {scenario} as status --json does",
                             lambda: not mismatches(status, run.read(), extra) or
                             "; ".join(mismatches(status, run.read(), extra)))
                    run.shot(scenario)
                finally:
                    run.stop_service()
                wait_for("the page to tell pxraidd stopped",
                         lambda: run.read()["notice"] == NOT_RUNNING or json.dumps(run.read()))
            check(f"{scenario}: the page shows what status --json says", scenario_shown)

        def phone():
            run.page.call("Emulation.setDeviceMetricsOverride", width=390, height=844, deviceScaleFactor=1,
                          mobile=True)
            status = run.status("failed-member")
            run.start_service("failed-member", 1)
            try:
                wait_for("the page at a phone's width", lambda: not mismatches(status, run.read(), expect_failed)
                         or "; ".join(mismatches(status, run.read(), expect_failed)))
                overflow = run.page.evaluate("document.documentElement.scrollWidth - window.innerWidth")
                if overflow > 0:
                    raise Failure(f"the page is {overflow} px wider than a phone's screen")
                run.shot("failed-member-phone")
            finally:
                run.stop_service()
                run.page.call("Emulation.clearDeviceMetricsOverride")
        check("failed-member fits a phone's width", phone)

        def live_event():
            # The page stays as it is: a mark set now would be gone after a reload.
            run.page.evaluate("window.pxTestMark = 'still here'")
            status = run.status("member-replaced")
            enclosure = status["enclosures"][0]
            pulled = next(m for m in enclosure["members"] if m["port"] == "P1")
            run.start_service("member-replaced", 16)

            def removed_shown():
                events = run.read()["events"]
                for event in events:
                    if (event["name"] == "MemberRemoved" and event["enclosure"] == enclosure["id"]
                            and pulled["serial"] in (event["message"] or "")):
                        return True
                return json.dumps(events)
            wait_for("the MemberRemoved event on the page", removed_shown)
            # Newest first: the rebuild's end comes after the member was pulled.
            wait_for("the rebuild's end on the page", lambda: [e["name"] for e in run.read()["events"]][:1]
                     == ["RebuildFinished"] or json.dumps([e["name"] for e in run.read()["events"]]))
            names = [e["name"] for e in run.read()["events"]]
            if names.index("RebuildFinished") > names.index("MemberRemoved"):
                raise Failure(f"events not newest first: {names}")
            if run.page.evaluate("window.pxTestMark") != "still here":
                raise Failure("the page was reloaded")

            # The service's member history, read again after the events: the
            # rebuild is there, ended, and so are the story's events.
            def history_shown():
                past = [b for b in run.read()["history"] if b["id"] == enclosure["id"]]
                if (past and any("completed" in r for r in past[0]["rebuilds"])
                        and "MemberRemoved" in past[0]["events"]):
                    return True
                return json.dumps(run.read()["history"])
            wait_for("the rebuild and the events in the page's history", history_shown)
            run.shot("member-replaced-events")
            run.stop_service()
        check("member-replaced: events raised after the page opened appear without a reload", live_event)

        def firmware():
            status = run.status("healthy-mirror")
            enclosure = status["enclosures"][0]
            run.start_service("healthy-mirror", 1)
            read_work = """(() => ({
              options: [...document.querySelectorAll("#fw-enclosure option")].map(o => o.value),
              state: document.getElementById("fw-state").textContent,
              output: document.getElementById("fw-output").textContent,
              downloads: [...document.querySelectorAll("#fw-downloads a")].map(a => [a.download, a.getAttribute("data-bytes")]),
              question: document.getElementById("fw-confirm").hidden ? null : document.getElementById("fw-question").textContent,
              log: document.getElementById("log").textContent,
            }))()"""

            def work():
                return run.page.evaluate(read_work)
            try:
                wait_for("the enclosure to choose", lambda: work()["options"] == [enclosure["id"]] or json.dumps(work()))
                # A backup made on the page is offered for download with its checksum file.
                run.click("fw-backup")
                wait_for("the backup to end", lambda: work()["state"].startswith("Backup: done") or json.dumps(work()))
                name = f"flash-{enclosure['id']}.bin"
                offered = dict(work()["downloads"])
                if offered.get(name) != "61440" or name + ".sha256" not in offered:
                    raise Failure(f"offered for download: {offered}")
                # A backup restored from the page, its checksum file beside it.
                saved = os.path.join(run.folder, "page-restore", "flash.bin")
                os.makedirs(os.path.dirname(saved))
                made = subprocess.run([run.args.pxraid, "--virtual", "healthy-mirror", "firmware", "backup", saved,
                                       "--log-dir", os.path.join(run.folder, "restore-log")],
                                      capture_output=True, text=True, timeout=PATIENCE)
                if made.returncode != 0:
                    raise Failure(f"pxraid firmware backup: {made.stderr}")
                run.choose_files("fw-restore-file", [saved, saved + ".sha256"])
                run.click("fw-restore")
                wait_for("the page to ask first", lambda: (work()["question"] or "").startswith("Erase and reprogram")
                         or json.dumps(work()))
                run.shot("firmware-question")
                run.click("fw-go")
                wait_for("the restore to end", lambda: work()["state"].startswith("Restore: done") or json.dumps(work()))
                if "SPI Verify OK" not in work()["output"]:
                    raise Failure(f"the restore's output: {work()['output']}")
                wait_for("the restore in today's log", lambda: "Firmware restore ended" in work()["log"]
                         or work()["log"][-300:])
                run.shot("firmware")
            finally:
                run.stop_service()
        check("healthy-mirror: the page backs up and restores the flash through pxraidd", firmware)
    except Failure as failure:
        print(f"FAILED: set-up: {failure}")
        failed += 1
    finally:
        if failed:
            for name in sorted(os.listdir(run.folder)):
                if name.endswith(".out"):
                    print(f"--- {name}\n{run.output(name[:-4])[-3000:]}")
        run.close()
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
