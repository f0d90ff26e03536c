#!/usr/bin/env python3
"""The gateway daemon's targets, measured on simulated modems (run by hand; about 3 minutes):

  latency  POST /v1/messages to AT+CMGS on the wire, idle modem: median under 300 ms
  intake   messages a second the API accepts into the queue: 1,000 or more
  scaling  4 modems whose network answers each submission after 2 s send 200 messages in
           at most 1.15 x the ideal (200 / 4 x 2 s)
  idle     CPU of the daemon with 4 idle modems over 30 s: under 0.5% of a core

  python3 bench/serve_targets.py                  # all four, with build/bin's programs
  python3 bench/serve_targets.py latency idle     # some of them
  python3 bench/serve_targets.py --bin DIR        # selvarn-sms and selvarn-modemsim from DIR
"""

import argparse
import http.client
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "serve"))
from serve_harness import Api, Daemon, Sim, command_times, free_port, state_of, write_config  # noqa: E402

FINAL = {"sent", "delivered", "uncertain", "failed"}


class Rig:
    """A daemon over `modems` simulators, each given `lines`, in a temporary folder."""

    def __init__(self, bin_dir, modems, lines=()):
        self.dir = tempfile.mkdtemp(prefix="selvarn-bench-serve-")
        ports = os.path.join(self.dir, "ports")
        os.mkdir(ports)
        self.sims = [Sim(os.path.join(bin_dir, "selvarn-modemsim"), ports, n + 1, lines)
                     for n in range(modems)]
        self.port = free_port()
        config = os.path.join(self.dir, "gateway.toml")
        write_config(config, store=os.path.join(self.dir, "store.db"), port=self.port,
                     modems=[(f"m{n + 1}", s.device) for n, s in enumerate(self.sims)])
        env = dict(os.environ, SELVARN_SMS_PORTS=ports, SELVARN_SMS_LOG_DIR=self.dir,
                   XDG_CONFIG_HOME=os.path.join(self.dir, "config"))
        self.daemon = Daemon(os.path.join(bin_dir, "selvarn-sms"), config,
                             os.path.join(self.dir, "serve.log"), env)
        self.api = Api(self.port, timeout=30)
        try:
            self.daemon.start()
            self.api.wait_ready(self.daemon)
            self.wait_modems_up()
        except (RuntimeError, OSError):
            self.close()
            raise

    def wait_modems_up(self, timeout=30):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            status, reply = self.api.call("GET", "/v1/modems")
            modems = reply.get("modems", []) if isinstance(reply, dict) else reply
            if status == 200 and len(modems) == len(self.sims) and \
                    all(m.get("state") == "up" for m in modems):
                return
            time.sleep(0.05)
        raise RuntimeError("the modems did not come up:\n" + self.daemon.log_tail())

    def post(self, api, i):
        status, reply = api.call("POST", "/v1/messages",
                                 {"to": f"+4477016{i:05d}", "text": f"bench {i}", "report": False})
        if status not in (200, 201):
            raise RuntimeError(f"POST: {status} {reply}")
        return reply["id"]

    def close(self):
        self.api.close()
        if self.daemon.running():
            self.daemon.stop()
        for s in self.sims:
            s.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def latency(bin_dir):
    rig = Rig(bin_dir, 1)
    try:
        posted = []
        for i in range(20):
            time.sleep(0.5)  # idle again: nothing in flight, the session waiting
            posted.append(time.monotonic())
            id_ = rig.post(rig.api, i)
            end = time.monotonic() + 10
            while state_of(rig.api.call("GET", f"/v1/messages/{id_}")[1]) not in FINAL:
                if time.monotonic() > end:
                    raise RuntimeError(f"message {id_} not sent in 10 s")
                time.sleep(0.01)
    finally:
        rig.close()
    sim = rig.sims[0]
    on_wire = [sim.started + ms / 1000 for ms in command_times(sim.transcript, "AT+CMGS=")]
    if len(on_wire) != len(posted):
        raise RuntimeError(f"{len(posted)} posted, {len(on_wire)} AT+CMGS on the wire")
    ms = [1000 * (w - p) for w, p in zip(on_wire, posted)]
    median = statistics.median(ms)
    return (f"latency: POST to AT+CMGS median {median:.1f} ms (min {min(ms):.1f}, max {max(ms):.1f}, "
            f"20 messages); target < 300 ms: {'met' if median < 300 else 'MISSED'}")


def intake(bin_dir, total=3000, clients=3):
    # The network takes 2 s a message, as a real one does: the queue grows while the API works.
    rig = Rig(bin_dir, 1, ["set cmgs-delay 2000"])
    try:
        counts = [0] * clients
        errors = []
        go = threading.Barrier(clients + 1)

        def client(c):
            api = Api(rig.port, timeout=30)
            go.wait()
            try:
                for i in range(c, total, clients):
                    rig.post(api, i)
                    counts[c] += 1
            except (OSError, http.client.HTTPException, RuntimeError) as e:
                errors.append(str(e))
            api.close()

        threads = [threading.Thread(target=client, args=(c,)) for c in range(clients)]
        for t in threads:
            t.start()
        go.wait()
        start = time.monotonic()
        for t in threads:
            t.join()
        elapsed = time.monotonic() - start
        cpu = rig.daemon.cpu_seconds()
    finally:
        rig.close()
    if errors:
        raise RuntimeError("intake: " + errors[0])
    rate = sum(counts) / elapsed
    return (f"intake: {sum(counts)} messages accepted in {elapsed:.2f} s = {rate:.0f} msgs/s "
            f"({clients} keep-alive clients; daemon CPU {cpu:.1f} s in all); "
            f"target >= 1000/s: {'met' if rate >= 1000 else 'MISSED'}")


def scaling(bin_dir, modems=4, messages=200, delay_ms=2000):
    rig = Rig(bin_dir, modems, [f"set cmgs-delay {delay_ms}"])
    try:
        start = time.monotonic()
        pending = [rig.post(rig.api, i) for i in range(messages)]
        # Sent in about the order posted: each round asks from the oldest on, up to the
        # first still waiting.
        while pending:
            while pending and state_of(rig.api.call("GET", f"/v1/messages/{pending[0]}")[1]) in FINAL:
                pending.pop(0)
            if time.monotonic() - start > 10 * messages * delay_ms / 1000 / modems:
                raise RuntimeError(f"{len(pending)} messages still unsent")
            time.sleep(0.05)
        elapsed = time.monotonic() - start
    finally:
        rig.close()
    sent = sum(len(command_times(s.transcript, "AT+CMGS=")) for s in rig.sims)
    ideal = messages / modems * delay_ms / 1000
    ratio = elapsed / ideal
    return (f"scaling: {messages} messages over {modems} modems at {delay_ms} ms each in {elapsed:.1f} s "
            f"({sent} AT+CMGS); ideal {ideal:.0f} s; {ratio:.3f} x ideal; target <= 1.15: "
            f"{'met' if ratio <= 1.15 else 'MISSED'}")


def idle(bin_dir, modems=4, seconds=30):
    rig = Rig(bin_dir, modems)
    try:
        time.sleep(3)  # start-up done
        before = rig.daemon.cpu_seconds()
        time.sleep(seconds)
        used = rig.daemon.cpu_seconds() - before
    finally:
        rig.close()
    share = 100 * used / seconds
    return (f"idle: {used:.2f} s of CPU over {seconds} s with {modems} modems = {share:.2f}% of a core; "
            f"target < 0.5%: {'met' if share < 0.5 else 'MISSED'}")


TARGETS = {"latency": latency, "intake": intake, "scaling": scaling, "idle": idle}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("targets", nargs="*", metavar="TARGET",
                        help="latency, intake, scaling or idle (default: all four)")
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "bin"),
                        help="folder of selvarn-sms and selvarn-modemsim (default: build/bin)")
    args = parser.parse_args()
    for name in args.targets:
        if name not in TARGETS:
            parser.error(f"no target '{name}': choose from {', '.join(TARGETS)}")
    failed = False
    for name in args.targets or TARGETS:
        try:
            print(TARGETS[name](os.path.abspath(args.bin)), flush=True)
        except (RuntimeError, OSError, http.client.HTTPException) as e:
            print(f"{name}: could not be measured: {e}", flush=True)
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
