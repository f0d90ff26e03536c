"""Kill and pull: the gateway daemon ($SELVARN_SMS serve) over three simulated modems
($SELVARN_MODEMSIM) takes 500 messages over HTTP while messages arrive on the modems. It is
SIGKILLed at 10 random moments and started again, and one modem's simulator exits half way.
Afterwards every message went out once on the wire (or is uncertain, and then at most once),
none is lost, every arrival is stored once and every webhook event arrived with one id.

The moments come from a seed, printed; SELVARN_SEED=<seed> replays them. SELVARN_KEEP=1
keeps the files (store, log, transcripts) and names their folder."""

import http.client
import json
import os
import random
import shutil
import sys
import tempfile
import threading
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serve_harness import Api, Daemon, Receiver, Sim, free_port, read_submit, state_of  # noqa: E402
from serve_harness import submissions, write_config  # noqa: E402

MESSAGES = 500
KILLS = 10
MODEMS = 3
ARRIVALS = 8  # messages arriving on each modem
FINAL = {"sent", "delivered", "uncertain"}


def destination(i):
    return f"+4477015{i:05d}"


def asked_report(i):
    return i % 20 == 0  # every twentieth: reports are passed on too (each costs the modem ~0.5 s)


def request(i):
    return {"to": destination(i), "text": text_of(i), "report": asked_report(i), "idempotency_key": f"kp-{i}"}


def text_of(i):
    # Every 40th message takes two parts: a kill between them must not send the first again.
    return f"long {i} " * 25 if i % 40 == 7 else f"kill and pull {i}"


class Plan:
    """Every random choice of a run, drawn up front from the seed."""

    def __init__(self, seed):
        rng = random.Random(seed)
        # While messages are posted and sent (a modem takes about 0.2 s a message).
        self.kill_at = sorted(rng.uniform(1, 20) for _ in range(KILLS))  # s after the first start
        self.restart_after = [rng.uniform(0, 0.3) for _ in range(KILLS)]
        self.pulled = rng.randrange(MODEMS)
        self.arrivals = [sorted(rng.randrange(500, 12_000) for _ in range(ARRIVALS))
                         for _ in range(MODEMS)]
        # Some first deliveries of a webhook are refused, to be tried again.
        self.refuse_salt = rng.getrandbits(32)


class KillAndPull(unittest.TestCase):
    def setUp(self):
        self.seed = int(os.environ.get("SELVARN_SEED") or random.randrange(2**32))
        print(f"kill and pull: seed {self.seed} (SELVARN_SEED={self.seed} replays it)", flush=True)
        self.plan = Plan(self.seed)
        self.dir = tempfile.mkdtemp(prefix="selvarn-kill-and-pull-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        ports = os.path.join(self.dir, "ports")
        os.mkdir(ports)
        self.sims = []
        for n in range(MODEMS):
            lines = ["set cnmi 2 1 0 2 0", "set network-delay 20", "set capacity 500"]
            lines += [f"at {t} message from +44770090{n}{k:03d} text arrival {n} {k}"
                      for k, t in enumerate(self.plan.arrivals[n])]
            sim = Sim(os.environ["SELVARN_MODEMSIM"], ports, n + 1, lines)
            self.addCleanup(sim.stop)
            self.sims.append(sim)
        secret = "kill-and-pull-secret"
        salt = self.plan.refuse_salt
        self.receiver = Receiver(secret, lambda event, nth: nth == 0 and zlib.crc32(f"{salt} {event}".encode()) % 10 == 0)
        self.addCleanup(self.receiver.close)
        config = os.path.join(self.dir, "gateway.toml")
        self.port = free_port()
        write_config(config, store=os.path.join(self.dir, "store.db"), port=self.port,
                     modems=[(f"m{n + 1}", s.device) for n, s in enumerate(self.sims)],
                     hook_url=self.receiver.url, secret=secret,
                     retry={"limit": 8, "first_wait": 0.02, "max_wait": 0.2, "jitter": 0.5})
        env = dict(os.environ, SELVARN_SMS_PORTS=ports, SELVARN_SMS_LOG_DIR=self.dir,
                   XDG_CONFIG_HOME=os.path.join(self.dir, "config"))
        self.daemon = Daemon(os.environ["SELVARN_SMS"], config, os.path.join(self.dir, "serve.log"), env)
        self.addCleanup(lambda: self.daemon.running() and self.daemon.kill())

    def post_all(self, accepted, problems):
        """Posts every message, repeating a POST the daemon did not answer (its key makes
        that safe); pulls one modem half way."""
        api = Api(self.port, timeout=3)
        for i in range(MESSAGES):
            body = request(i)
            give_up = time.monotonic() + 20
            while True:
                try:
                    status, reply = api.call("POST", "/v1/messages", body)
                except (OSError, http.client.HTTPException):
                    status, reply = None, None
                if status in (200, 201):
                    accepted[i] = reply["id"]
                    break
                if status not in (None, 503) or time.monotonic() > give_up:
                    problems.append(f"message {i}: {status} {reply}")
                    break
                time.sleep(0.02)
            if i == MESSAGES // 2:
                self.sims[self.plan.pulled].stop()
            time.sleep(0.05)  # about as fast as the modems send: kills cut POSTs too
        api.close()

    def settle(self, api, accepted, deadline):
        """Waits until no message is queued or sending, every arrival on a modem still there
        is stored, and every stored item's webhook was answered; returns the final states,
        the inbox and the reports."""
        states, modems = {}, {}
        wanted = {f"arrival {n} {k}" for n in range(MODEMS) if n != self.plan.pulled
                  for k in range(ARRIVALS)}
        while True:
            for i, id_ in accepted.items():
                if states.get(i) not in FINAL or (asked_report(i) and states[i] == "sent"):
                    status, reply = api.call("GET", f"/v1/messages/{id_}")
                    states[i] = state_of(reply) if status == 200 else f"HTTP {status}"
                    modems[i] = reply.get("modem") if status == 200 else None
            inbox, reports = api.listing("/v1/inbox"), api.listing("/v1/reports")
            events = self.receiver.events()
            settled = (all(s in FINAL for s in states.values())
                       and not any(self.awaits_report(i, s, modems) for i, s in states.items())
                       and wanted <= {m.get("text") for m in inbox}
                       and all(f"message-{m['id']}" in events for m in inbox)
                       and all(f"report-{r['id']}" in events for r in reports))
            if settled or time.monotonic() > deadline:
                return states, modems, inbox, reports
            time.sleep(0.2)

    def awaits_report(self, i, state, modems):
        """Sent, with a report asked, and none yet; the pulled modem's reports never come."""
        return asked_report(i) and state == "sent" and modems.get(i) != f"m{self.plan.pulled + 1}"

    def test_kill_and_pull(self):
        start = time.monotonic()
        accepted, problems = {}, []
        self.daemon.start()
        api = Api(self.port)
        api.wait_ready(self.daemon)
        poster = threading.Thread(target=self.post_all, args=(accepted, problems))
        poster.start()
        for k in range(KILLS):
            time.sleep(max(0.1, start + self.plan.kill_at[k] - time.monotonic()))
            self.daemon.kill()
            time.sleep(self.plan.restart_after[k])
            self.daemon.start()
            api.wait_ready(self.daemon)
        killed = time.monotonic() - start
        poster.join(timeout=60)
        self.assertFalse(poster.is_alive(), "the messages were not all posted")
        posted = time.monotonic() - start

        states, modems, inbox, reports = self.settle(api, accepted, time.monotonic() + 90)
        settled = time.monotonic() - start
        # A key named again gives the same message, and queues nothing new.
        again = {}
        for i in random.Random(self.seed).sample(sorted(accepted), 20):
            status, reply = api.call("POST", "/v1/messages", request(i))
            again[i] = (status in (200, 201) and reply.get("id")) or f"{status} {reply}"
        api.close()
        exit_status = self.daemon.stop()
        wire = {}
        for n, sim in enumerate(self.sims):
            with open(os.path.join(self.dir, f"m{n + 1}.transcript"), "w") as f:
                f.write(sim.stop())
            for _, pdu in submissions(sim.transcript):
                wire.setdefault(read_submit(pdu), 0)
                wire[read_submit(pdu)] += 1

        numbers = {destination(i): i for i in range(MESSAGES)}
        parts = {i: read_parts(text_of(i)) for i in range(MESSAGES)}
        on_wire = {i: {} for i in range(MESSAGES)}
        stray = []
        for (number, part, total), count in wire.items():
            if number in numbers and total == parts[numbers[number]]:
                on_wire[numbers[number]][part] = count
            else:
                stray.append((number, part, total, count))
        uncertain = [i for i, s in states.items() if s == "uncertain"]
        texts = [m.get("text") for m in inbox]
        events = self.receiver.events()
        stored_events = [f"message-{m['id']}" for m in inbox] + [f"report-{r['id']}" for r in reports]

        def arrival_fault(n, k):
            count = texts.count(f"arrival {n} {k}")
            return count != 1 and not (n == self.plan.pulled and count == 0)

        faults = {
            "POST not accepted": problems,
            "a key named again gave another answer": {i: v for i, v in again.items() if v != accepted[i]},
            "not sent, delivered or uncertain": {i: states.get(i) for i in accepted if states.get(i) not in FINAL},
            "sent, but a part not exactly once on the wire": {
                i: on_wire[i] for i in accepted if states.get(i) in ("sent", "delivered")
                and on_wire[i] != {p: 1 for p in range(1, parts[i] + 1)}},
            "sent with a report asked, none came": [
                i for i in accepted if self.awaits_report(i, states.get(i), modems)],
            "uncertain, and a part twice on the wire": {
                i: on_wire[i] for i in uncertain if any(c > 1 for c in on_wire[i].values())},
            "on the wire, never accepted": stray + [i for i in range(MESSAGES) if on_wire[i] and i not in accepted],
            "more uncertain than kills and the pull could cut": uncertain if len(uncertain) > KILLS * MODEMS + 1 else [],
            "an arrival not stored once": [(n, k) for n in range(MODEMS) for k in range(ARRIVALS) if arrival_fault(n, k)],
            "stored, never in a webhook": [e for e in stored_events if e not in events],
            "a webhook badly signed": [d["event"] for d in self.receiver.deliveries if not d["signed"]],
            "a webhook whose id is not its event's": sorted({
                d["event"] for d in self.receiver.deliveries if json.loads(d["body"]).get("id") != d["event"]}),
            "a webhook event with two bodies": sorted(e for e, ds in events.items() if len({d["body"] for d in ds}) > 1),
            "SIGTERM did not end the daemon cleanly": [] if exit_status == 0 else [exit_status],
        }
        print(f"kill and pull: {len(accepted)} accepted, {len(uncertain)} uncertain, {len(inbox)} stored, "
              f"{len(reports)} reports, {len(self.receiver.deliveries)} webhook deliveries, "
              f"{time.monotonic() - start:.1f} s (killed by {killed:.1f} s, posted by {posted:.1f} s, "
              f"settled by {settled:.1f} s)", flush=True)
        found = [f"{name}: {len(items)}, such as {sample(items)}" for name, items in faults.items() if items]
        if os.environ.get("SELVARN_KEEP"):
            print(f"kill and pull: its files stay in {self.dir}", flush=True)
            self._cleanups = [c for c in self._cleanups if c[0] is not shutil.rmtree]
        self.assertEqual(found, [], f"seed {self.seed}; the daemon's last words:\n{self.daemon.log_tail()}")


def sample(items, n=8):
    """The first few of a list or a dict's entries, for a short failure message."""
    seq = list(items.items()) if isinstance(items, dict) else list(items)
    return repr(seq[:n]) + (" ..." if len(seq) > n else "")


def read_parts(text):
    """How many parts a GSM 7-bit text of these plain characters takes."""
    return 1 if len(text) <= 160 else -(-len(text) // 153)


if __name__ == "__main__":
    unittest.main(verbosity=2)
