#!/usr/bin/env python3
"""Builds and runs the examples of README.md as a reader would type them.

Fenced blocks tagged cpp or c are compiled against the built library and run against a
simulated modem on port 1 (SIM PIN 1234, preloaded with one message); python blocks run
the same way with the Python module; sh blocks run in bash with the built programs on
PATH. Blocks with any other tag (console, text, none) are shown output and are skipped.
A block that fails to build or exits non-zero fails the check, with its output.
"""
import argparse
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^```(\w*)\s*$")


def blocks(readme):
    """(tag, first line number, code) of each fenced block."""
    found, tag, start, lines = [], None, 0, []
    with open(readme, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            m = FENCE.match(line)
            if tag is None and m:
                tag, start, lines = m.group(1), number, []
            elif tag is not None and line.rstrip() == "```":
                found.append((tag, start, "".join(lines)))
                tag = None
            elif tag is not None:
                lines.append(line)
    if tag is not None:
        sys.exit(f"README.md:{start}: block never closed")
    return found


class Simulator:
    """selvarn-modemsim on port 1 of a private port folder, for one example."""

    def __init__(self, program, env):
        self.proc = subprocess.Popen(
            [program, "--port", "1", "--sim", "pin", "--pin", "1234",
             "--do", "message from +447700900001 text Hello from the simulator"],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], 10)
        line = self.proc.stdout.readline() if ready else ""
        if not line.startswith("port 1"):
            self.stop()
            sys.exit(f"the simulator did not start: {line!r}")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


def run(cmd, env, cwd, what):
    done = subprocess.run(cmd, env=env, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=120)
    if done.returncode != 0:
        print(f"--- {what}: exit {done.returncode}\n{done.stdout}")
        return False
    return True


def main():
    ap = argparse.ArgumentParser()
    for name in ("readme", "include", "library", "modemsim", "bindings", "bin",
                 "cxx", "cc"):
        ap.add_argument("--" + name, required=True)
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="selvarn-readme-")
    env = dict(os.environ)
    for folder in ("ports", "locks", "home"):
        os.mkdir(os.path.join(work, folder))
    libdir = os.path.dirname(args.library)
    env.update(SELVARN_SMS_PORTS=os.path.join(work, "ports"),
               SELVARN_SMS_LOCKS=os.path.join(work, "locks"),
               HOME=os.path.join(work, "home"), XDG_DATA_HOME="", XDG_CONFIG_HOME="",
               XDG_STATE_HOME="", SELVARN_SMS_LOG_DIR="",
               SELVARN_SMS_LIBRARY=args.library, PYTHONPATH=args.bindings,
               PATH=args.bin + os.pathsep + env.get("PATH", ""),
               LD_LIBRARY_PATH=libdir)
    compile_flags = ["-I", args.include, "-L", libdir, "-Wl,-rpath," + libdir]
    failures = counted = 0
    try:
        for tag, line, code in blocks(args.readme):
            what = f"README.md:{line} ({tag})"
            if tag == "cpp":
                src, cmd = "example.cpp", [args.cxx, "-std=c++20", "example.cpp"]
            elif tag == "c":
                src, cmd = "example.c", [args.cc, "-std=c11", "example.c"]
            elif tag in ("python", "sh"):
                src, cmd = None, None
            else:
                continue
            counted += 1
            folder = os.path.join(work, f"block{line}")
            os.mkdir(folder)
            if src:
                with open(os.path.join(folder, src), "w", encoding="utf-8") as f:
                    f.write(code)
                if not run(cmd + compile_flags + ["-lselvarnsms", "-o", "example"],
                           env, folder, what + " build"):
                    failures += 1
                    continue
                argv = ["./example"]
            elif tag == "python":
                argv = [sys.executable, "-c", code]
            else:
                argv = ["bash", "-euo", "pipefail", "-c", code]
            sim = Simulator(args.modemsim, env) if tag != "sh" else None
            try:
                ok = run(argv, env, folder, what)
            finally:
                if sim:
                    sim.stop()
            failures += not ok
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{counted} README examples, {failures} failed")
    return 1 if failures or counted == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
