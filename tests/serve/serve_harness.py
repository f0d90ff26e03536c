"""Runs `selvarn-sms serve` against simulated modems, as an operator would: simulators on a
private port folder, a configuration file, the HTTP API, and a webhook receiver that checks
every signature. Shared by the end-to-end test beside it and by bench/serve_targets.py.

Standard library only."""

import hashlib
import hmac
import http.client
import http.server
import json
import os
import re
import signal
import socket
import subprocess
import threading
import time


def free_port():
    """A TCP port nothing listens on now (the configuration file cannot say "any")."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---- The simulators and what they saw on the wire -------------------------------------

class Sim:
    """One simulated modem; `lines` are scenario lines (`set ...`, `at <ms> message ...`)."""

    def __init__(self, program, folder, number, lines=()):
        args = [program, "--ports", folder, "--port", str(number), "--transcript"]
        for line in lines:
            args += ["--do", line]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True, errors="replace")
        first = self.proc.stdout.readline()
        # The transcript counts from the simulator's start, which is just before this line.
        self.started = time.monotonic()
        if first.split() != ["port", str(number)]:
            self.proc.kill()
            raise RuntimeError(f"simulator {number} did not start: {first!r}")
        self.device = os.path.join(folder, f"com{number}")
        self.transcript = None

    def stop(self):
        """Stops it (its device goes away) and returns its transcript."""
        if self.transcript is None:
            self.proc.send_signal(signal.SIGTERM)
            self.transcript, _ = self.proc.communicate(timeout=30)
        return self.transcript


_ENTRY = re.compile(r"^\s*(\d+) ms (host |modem) (.*)$")
_SUBMITTED = re.compile(r"([0-9A-Fa-f]+)<\^Z>")


def host_bytes(transcript):
    """What the host wrote, as the transcript prints it, with the time of each character:
    (text, [ms per character])."""
    text, times = [], []
    for line in transcript.splitlines():
        m = _ENTRY.match(line)
        if m and m.group(2) == "host ":
            text.append(m.group(3))
            times += [int(m.group(1))] * len(m.group(3))
    return "".join(text), times


def submissions(transcript):
    """Every PDU written after AT+CMGS and ended with Ctrl-Z: [(ms, pdu hex)]."""
    text, times = host_bytes(transcript)
    return [(times[m.start()], m.group(1).upper()) for m in _SUBMITTED.finditer(text)]


def command_times(transcript, prefix):
    """When the host began each command line starting with `prefix` (ms)."""
    text, times = host_bytes(transcript)
    return [times[m.start()] for m in re.finditer(re.escape(prefix), text)]


def read_submit(pdu):
    """(destination, part number, parts) of an SMS-SUBMIT PDU with its service-centre field."""
    b = bytes.fromhex(pdu)
    at = 1 + b[0]
    first = b[at]
    vpf, udhi = (first >> 3) & 3, bool(first & 0x40)
    digits = b[at + 2]
    kind = b[at + 3]
    number_octets = (digits + 1) // 2
    semi = "".join(f"{o & 0xF:X}{o >> 4:X}" for o in b[at + 4:at + 4 + number_octets])
    number = ("+" if kind == 0x91 else "") + semi[:digits]
    at += 4 + number_octets + 2  # PID and DCS
    at += {0: 0, 2: 1}.get(vpf, 7)
    at += 1  # UDL
    part, parts = 1, 1
    if udhi:
        end = at + 1 + b[at]
        i = at + 1
        while i + 1 < end:
            ie, size = b[i], b[i + 1]
            if ie == 0x00 and size == 3:
                parts, part = b[i + 3], b[i + 4]
            elif ie == 0x08 and size == 4:
                parts, part = b[i + 4], b[i + 5]
            i += 2 + size
    return number, part, parts


# ---- The daemon --------------------------------------------------------------------------

def write_config(path, *, store, port, modems, hook_url=None, secret=None, retry=None):
    """A configuration file: `modems` is [(name, device)], `retry` a dict of [retry] keys."""
    out = [f'store = "{store}"', "", "[http]", 'address = "127.0.0.1"', f"port = {port}", ""]
    for name, device in modems:
        out += ["[[modem]]", f'name = "{name}"', f'device = "{device}"', ""]
    if hook_url:
        for section in ("received", "reports"):
            out += [f"[[{section}.webhook]]", f'url = "{hook_url}/{section}"',
                    f'secret = "{secret}"', ""]
    if retry:
        out.append("[retry]")
        for key, value in retry.items():
            out.append(f"{key} = {json.dumps(value)}")
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        f.write("\n".join(out) + "\n")


class Daemon:
    """`selvarn-sms serve --config FILE`, its output appended to `log`."""

    def __init__(self, program, config, log, env):
        self.program, self.config, self.log, self.env = program, config, log, env
        self.proc = None

    def start(self):
        with open(self.log, "a") as log:
            self.proc = subprocess.Popen([self.program, "serve", "--config", self.config],
                                         stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT, env=self.env)

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=10)

    def stop(self, timeout=30):
        """SIGTERM: the part in flight is finished; returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(timeout=timeout)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def cpu_seconds(self):
        """User and system time so far, from /proc."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def log_tail(self, lines=40):
        try:
            with open(self.log, errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""


class Api:
    """The HTTP API; one connection, kept open while it works. Raises OSError (or
    http.client's errors) when the daemon is not there."""

    def __init__(self, port, timeout=5):
        self.port, self.timeout, self.conn = port, timeout, None

    def call(self, method, path, body=None):
        """(status, decoded JSON or text)."""
        data = None if body is None else json.dumps(body).encode()
        headers = {"Content-Type": "application/json"} if data is not None else {}
        for attempt in (1, 2):
            reused = self.conn is not None
            if not reused:
                self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=self.timeout)
            try:
                self.conn.request(method, path, body=data, headers=headers)
                reply = self.conn.getresponse()
                raw = reply.read()
                break
            except (OSError, http.client.HTTPException) as e:
                self.close()
                # A connection the server closed while it lay idle: it read nothing of this.
                stale = isinstance(e, (http.client.RemoteDisconnected, BrokenPipeError,
                                       ConnectionResetError))
                if not (reused and stale and attempt == 1):
                    raise
        if reply.getheader("Content-Type", "").startswith("application/json"):
            return reply.status, json.loads(raw)
        return reply.status, raw.decode(errors="replace")

    def close(self):
        if self.conn is not None:
            self.conn.close()
            self.conn = None

    def wait_ready(self, daemon, timeout=15):
        """Until the API answers (/healthz says 503 while a modem has not yet been up, and
        POSTs are taken by then); raises if the daemon ends or the time runs out."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if not daemon.running():
                raise RuntimeError("the daemon ended:\n" + daemon.log_tail())
            try:
                if self.call("GET", "/healthz")[0] in (200, 503):
                    return
            except (OSError, http.client.HTTPException):
                pass
            time.sleep(0.01)
        raise RuntimeError("no /healthz answer:\n" + daemon.log_tail())

    def listing(self, path):
        """Every item of /v1/inbox or /v1/reports, following the `since` cursor."""
        items, since = [], 0
        while True:
            status, page = self.call("GET", f"{path}?since={since}")
            if status != 200:
                raise RuntimeError(f"{path}: {status} {page}")
            items += page[path.rsplit("/", 1)[1].replace("inbox", "messages")]
            if page["next"] == since:
                return items
            since = page["next"]


def state_of(reply):
    """The state named by a message's JSON."""
    return reply.get("state") or reply.get("message", {}).get("state")


# ---- The webhook receiver ------------------------------------------------------------------

class Receiver:
    """Records every webhook delivery: its path, event id, body and whether its signature is
    right. `refuse(event_id, nth)` chooses deliveries to answer 503, to be tried again."""

    def __init__(self, secret, refuse=lambda event, nth: False):
        self.secret = secret.encode()
        self.deliveries = []
        self.lock = threading.Lock()
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                event = self.headers.get("X-Selvarn-Event", "")
                signed = hmac.compare_digest(
                    self.headers.get("X-Selvarn-Signature", ""),
                    "sha256=" + hmac.new(receiver.secret, body, hashlib.sha256).hexdigest())
                with receiver.lock:
                    nth = sum(1 for d in receiver.deliveries if d["event"] == event)
                    refused = refuse(event, nth)
                    receiver.deliveries.append({"path": self.path, "event": event, "body": body,
                                                "signed": signed, "refused": refused})
                self.send_response(503 if refused else 200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def events(self):
        """Event id -> its deliveries answered 200."""
        with self.lock:
            out = {}
            for d in self.deliveries:
                if not d["refused"]:
                    out.setdefault(d["event"], []).append(d)
            return out

    def close(self):
        self.server.shutdown()
        self.server.server_close()
