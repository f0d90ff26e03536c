#!/usr/bin/env python3
"""Installs the build tree into a temporary DESTDIR (prefix /usr/local) and uses it as an
ordinary user would: run as root, everything after the install runs as nobody, who owns
none of the installed files; run as anyone else, as that user. The user's programs find
the library as the loader would after ldconfig (LD_LIBRARY_PATH stands in for the cache),
and the modem is the installed simulator on port 1 of the user's own port folder.

Without --long-send: the installed files, the stripped programs, --version, the manual
pages against --help, the bash completion, the gateway service's unit and example
configuration, a C++ program built with find_package and one
with pkg-config, the Python module (installed and through pip), each sending a message.
With --long-send: a message of three parts sent with selvarn-sms, logged in the user's
state folder and nowhere in the installation. With --package: the Debian package made
from the build tree holds the programs, the library, the pages, the units and the example
configuration of the gateway service.
"""
import argparse
import glob
import os
import pwd
import re
import select
import shutil
import stat
import subprocess
import sys
import tempfile

PREFIX = "/usr/local"
SONAME = "libselvarnsms.so.6"
MAX_CLI_BYTES = 15 * 1024 * 1024
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


class User:
    """Runs commands as the unprivileged user with a home of its own in the temp folder."""

    def __init__(self, top, root):
        self.home = os.path.join(top, "home")
        os.mkdir(self.home, 0o700)
        self.root, self.prefix = root, root + PREFIX
        self.libdir = os.path.dirname(glob.glob(f"{self.prefix}/lib/**/{SONAME}", recursive=True)[0])
        self.wrap = []
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chown(self.home, nobody.pw_uid, nobody.pw_gid)
            self.wrap = ["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}",
                         "--clear-groups", "--"]
        self.env = {"HOME": self.home, "PATH": f"{self.prefix}/bin:/usr/bin:/bin",
                    "LANG": "C.UTF-8", "LD_LIBRARY_PATH": self.libdir}

    def run(self, *cmd, env=None):
        done = subprocess.run(self.wrap + list(cmd), env={**self.env, **(env or {})},
                              cwd=self.home, capture_output=True, text=True, timeout=120)
        return done.returncode, done.stdout, done.stderr

    def ok(self, *cmd, env=None):
        rc, out, err = self.run(*cmd, env=env)
        check(rc == 0, f"{' '.join(cmd)} exited {rc}: {out}{err}")
        return out

    def copy(self, source, name, **kwargs):
        """A copy of a file or tree of the source in the user's home, the user's own."""
        target = os.path.join(self.home, name)
        (shutil.copytree if os.path.isdir(source) else shutil.copy)(source, target, **kwargs)
        if self.wrap:
            subprocess.run(["chown", "-R", "nobody:", self.home], check=True)
        return target

    def start_simulator(self):
        self.sim = subprocess.Popen(self.wrap + ["selvarn-modemsim", "--port", "1"], env=self.env,
                                    cwd=self.home, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, text=True)
        ready, _, _ = select.select([self.sim.stdout], [], [], 10)
        line = self.sim.stdout.readline() if ready else ""
        if line.strip() != "port 1":
            sys.exit(f"the installed simulator did not start: {line!r}")

    def stop_simulator(self):
        self.sim.terminate()
        self.sim.wait(10)


def install(build, root):
    subprocess.run(["cmake", "--install", build, "--prefix", PREFIX], check=True,
                   env={**os.environ, "DESTDIR": root}, stdout=subprocess.DEVNULL)


# What the programs and the module below do not prove by working.
def check_files(user, version, python):
    p, lib = user.prefix, user.libdir
    real = os.path.join(lib, f"libselvarnsms.so.{version}")
    dynamic = subprocess.run(["readelf", "-d", real], capture_output=True, text=True).stdout
    check(f"Library soname: [{SONAME}]" in dynamic, "the library's soname")
    # HTTP, TLS and systemd belong to the service's program: a user of the library links none.
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", dynamic)
    check(needed and not [n for n in needed if re.match(r"lib(ssl|cpp-httplib|z|brotli|systemd)", n)],
          f"the library needs no HTTP, TLS or systemd library: {needed}")
    program = subprocess.run(["readelf", "-d", f"{p}/bin/selvarn-sms"], capture_output=True,
                             text=True).stdout
    check("Shared library: [libsystemd.so.0]" in program, "the program tells systemd through libsystemd")
    for folder in [f"{p}/include", f"{lib}/cmake", f"{lib}/pkgconfig"]:
        for name in glob.glob(f"{folder}/**/*", recursive=True):
            if os.path.isfile(name):
                text = open(name, errors="replace").read()
                check(not re.search(r"httplib|openssl|OpenSSL", text),
                      f"{name} names no HTTP or TLS library")
    check(os.path.isfile(f"{lib}/Unicode.txt"), "the mapping file beside the library")
    for binary in [f"{p}/bin/selvarn-sms", f"{p}/bin/selvarn-modemsim", real]:
        sections = subprocess.run(["readelf", "-SW", binary], capture_output=True, text=True).stdout
        check(".debug_info" not in sections and ".symtab" not in sections, f"{binary} stripped")
    size = os.path.getsize(f"{p}/bin/selvarn-sms")
    print(f"installed selvarn-sms: {size} bytes")
    check(size < MAX_CLI_BYTES, f"selvarn-sms is {size} bytes")
    unit = open(f"{p}/lib/systemd/system/selvarn-sms-watch@.service").read()
    check(f"\nExecStart={PREFIX}/bin/selvarn-sms --device /dev/%I " in unit and " watch\n" in unit
          and "\nRestart=on-failure\n" in unit, "the watch unit runs the installed program")
    # The module lies in a folder the interpreter searches for this prefix, unasked.
    modules = glob.glob(f"{p}/lib/python3*/*-packages/selvarn_sms.py")
    check(len(modules) == 1, f"one Python module installed: {modules}")
    searched = user.ok(python, "-c", "import sys; print('\\n'.join(sys.path))").split("\n")
    check(bool(modules) and os.path.dirname(modules[0])[len(user.root):] in searched,
          f"{modules} on the interpreter's own path {searched}")
    check_service_files(user)
    return modules[0]


def check_service_files(user):
    """The gateway service's unit and the example configuration, which passes the check."""
    unit = f"{user.prefix}/lib/systemd/system/selvarn-sms.service"
    text = open(unit).read() if os.path.isfile(unit) else ""
    for line in ["Type=notify", "WatchdogSec=30", "Restart=on-failure", "ExecReload=/bin/kill -HUP $MAINPID",
                 "SupplementaryGroups=dialout", "StateDirectory=selvarn-sms",
                 f"ExecStart={PREFIX}/bin/selvarn-sms serve --config /etc/selvarn-sms/gateway.toml"]:
        check(f"\n{line}\n" in text, f"{unit} has {line}")
    example = f"{user.prefix}/share/doc/selvarn-sms/gateway.toml.example"
    out = user.ok("selvarn-sms", "serve", "--config", example, "--check-config")
    check(out == f"{example}: ok\n", f"the installed example passes its check: {out}")


def check_versions_and_pages(user, version):
    for program in ["selvarn-sms", "selvarn-modemsim"]:
        check(user.ok(program, "--version") == f"{program} {version}\n", f"{program} --version")
        helps = [user.ok(program, "--help")]
        if program == "selvarn-sms":
            listing = helps[0].split("\nCommands:\n")[1].split("\n\n")[0]
            helps += [user.ok(program, c, "--help") for c in re.findall(r"^  ([a-z]+)", listing, re.M)]
        rc, page, err = user.run("man", "-l", f"{user.prefix}/share/man/man1/{program}.1",
                                 env={"MANWIDTH": "1000", "MANPAGER": "cat", "PAGER": "cat"})
        check(rc == 0 and err == "", f"man -l {program}.1: {rc} {err}")
        # Every option --help shows is in the page, and the page names this version.
        options = set(re.findall(r"^ +(?:-\w,)?(--[\w-]+)", "\n".join(helps), re.M))
        missing = sorted(o for o in options if o not in page)
        check(len(options) > 10 and not missing, f"{program}.1 lacks {missing}")
        check(f"{program} {version}" in page, f"{program}.1 is of version {version}")


COMPLETIONS = [  # words typed (the last one being completed), what must be offered
    (["selvarn-sms", "re"], ["read", "reports", "report"]),
    (["selvarn-sms", "--d"], ["--device", "--do"]),
    (["selvarn-sms", "send", "--wa"], ["--wait-report"]),
    (["selvarn-sms", "--port", "3", "send", "--j"], ["--json"]),
    (["selvarn-sms", "reports", ""], ["on", "off"]),
    (["selvarn-sms", "help", "SendS"], ["SendSMST", "SendSMSU"]),
    (["selvarn-sms", "--pin", ""], []),
]


def check_completion(user):
    script = f"{user.prefix}/share/bash-completion/completions/selvarn-sms"
    for words, expected in COMPLETIONS:
        quoted = " ".join("'" + w + "'" for w in words)
        out = user.ok("bash", "-c", f"source '{script}'; COMP_WORDS=({quoted}); "
                      f"COMP_CWORD={len(words) - 1}; _selvarn_sms; printf '%s\\n' \"${{COMPREPLY[@]}}\"")
        check(sorted(out.split()) == sorted(expected), f"completing {words}: {out.split()}")


def check_programs(user, source, cxx, version):
    work = user.copy(os.path.join(source, "tests/install/consumer"), "consumer")
    user.ok("cmake", "-S", work, "-B", f"{work}/build", "-G", "Ninja", f"-DCMAKE_CXX_COMPILER={cxx}",
            f"-DCMAKE_PREFIX_PATH={user.prefix}")
    user.ok("cmake", "--build", f"{work}/build")
    pc_env = {"PKG_CONFIG_PATH": f"{user.libdir}/pkgconfig", "PKG_CONFIG_SYSROOT_DIR": user.root}
    check(user.ok("pkg-config", "--modversion", "selvarn-sms", env=pc_env) == version + "\n",
          "pkg-config version")
    flags = user.ok("pkg-config", "--cflags", "--libs", "selvarn-sms", env=pc_env).split()
    user.ok(cxx, "-std=c++20", f"{work}/send.cpp", "-o", f"{work}/send-pc", *flags)
    for program in [f"{work}/build/send", f"{work}/send-pc"]:
        out = user.ok(program, "+447700900001", "Hello from C++")
        check(out == f"{version} sent\n", f"{program} sends: {out}")


PYTHON_SEND = """
import sys, selvarn_sms
from selvarn_sms import SMS, ModemStatus
print(selvarn_sms.__file__, selvarn_sms.library_path, selvarn_sms.library_version())
sms = SMS()
if sms.InitModem(1) != ModemStatus.OK or not sms.SendSMST("+447700900001", "Hello from Python"):
    sys.exit("not sent")
sms.CloseModem()
"""


def check_python(user, module, source, python, version):
    out = user.ok(python, "-c", PYTHON_SEND, env={"PYTHONPATH": os.path.dirname(module)})
    check(out == f"{module} {SONAME} {version}\n", f"the installed module by soname: {out}")
    # pip from a checkout, offline: the build backend is the system's setuptools.
    user.copy(os.path.join(source, "CMakeLists.txt"), "CMakeLists.txt")
    bindings = user.copy(os.path.join(source, "bindings/python"), "bindings/python",
                         ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    user.ok(python, "-m", "pip", "install", "--no-build-isolation", "--no-deps", "--no-index",
            "--quiet", "--target", f"{user.home}/pip", bindings)
    out = user.ok(python, "-c", "import importlib.metadata as m, selvarn_sms as s; "
                  "print(m.version('selvarn-sms'), s.library_version(), s.__file__)",
                  env={"PYTHONPATH": f"{user.home}/pip"})
    check(out == f"{version} {version} {user.home}/pip/selvarn_sms.py\n", f"pip install: {out}")


def check_long_send(user, root):
    text = "A long message from an ordinary user, sent in parts. " * 6  # 318 characters
    out = user.ok("selvarn-sms", "send", "+447700900001", text)
    check("3 parts)" in out, f"a long send: {out}")
    logs = glob.glob(f"{user.home}/.local/state/selvarn-sms/SELVARN SMS API Log_*.txt")
    check(len(logs) == 1, f"one log in the user's state folder: {logs}")
    if logs:
        folder = os.stat(os.path.dirname(logs[0]))
        check(stat.S_IMODE(folder.st_mode) == 0o700, "the state folder is the user's own")
        check(open(logs[0], encoding="utf-8").read().count("Message Part: ") == 3, "3 parts logged")
    stray = glob.glob(f"{root}/**/SELVARN SMS API Log_*", recursive=True)
    check(not stray, f"no log inside the installation: {stray}")


def check_package(build, top, version):
    subprocess.run(["cpack", "-G", "DEB", "-B", top, "--config", f"{build}/CPackConfig.cmake"],
                   check=True, cwd=build, stdout=subprocess.DEVNULL)
    deb = glob.glob(f"{top}/selvarn-sms_{version}_*.deb")[0]
    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True).stdout
    names = {line.split()[5][1:] for line in listing.splitlines()}
    library = [n for n in names if n.endswith("/" + SONAME)]
    unit = "/usr/lib/systemd/system/selvarn-sms-watch@.service"
    for path in ["/usr/bin/selvarn-sms", "/usr/bin/selvarn-modemsim", unit,
                 "/usr/lib/systemd/system/selvarn-sms.service",
                 "/usr/share/doc/selvarn-sms/gateway.toml.example",
                 "/usr/include/selvarn/sms.hpp", "/usr/share/man/man1/selvarn-sms.1",
                 "/usr/share/man/man1/selvarn-modemsim.1", "/usr/lib/python3/dist-packages/selvarn_sms.py",
                 "/usr/share/bash-completion/completions/selvarn-sms"] + [
                     os.path.dirname(n) + "/Unicode.txt" for n in library]:
        check(path in names, f"{path} in the package")
    check(len(library) == 1, f"the library in the package: {library}")
    tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True, check=True).stdout
    text = subprocess.run(["tar", "-xO", "." + unit], input=tar, capture_output=True).stdout.decode()
    check("\nExecStart=/usr/bin/selvarn-sms --device /dev/%I " in text and " watch\n" in text
          and "\nRestart=on-failure\n" in text, f"the unit watches /dev/%I: {text}")
    depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True, text=True).stdout
    check("libsqlite3-0" in depends and "libc6" in depends and "libsystemd0" in depends,
          f"Depends: {depends}")


def main():
    ap = argparse.ArgumentParser()
    for name in ["--build", "--source", "--version", "--python", "--cxx"]:
        ap.add_argument(name, required=True)
    ap.add_argument("--long-send", action="store_true")
    ap.add_argument("--package", action="store_true")
    a = ap.parse_args()
    top = tempfile.mkdtemp(prefix="selvarn-install-")
    try:
        if a.package:
            check_package(a.build, top, a.version)
        else:
            os.chmod(top, 0o755)  # the user reaches its home and the installation through it
            root = os.path.join(top, "root")
            install(a.build, root)
            user = User(top, root)
            if not a.long_send:
                module = check_files(user, a.version, a.python)
                check_versions_and_pages(user, a.version)
                check_completion(user)
            user.start_simulator()
            try:
                if a.long_send:
                    check_long_send(user, root)
                else:
                    check_programs(user, a.source, a.cxx, a.version)
                    check_python(user, module, a.source, a.python, a.version)
            finally:
                user.stop_simulator()
    finally:
        shutil.rmtree(top, ignore_errors=True)
    if failures:
        sys.exit(f"{len(failures)} check(s) failed")


if __name__ == "__main__":
    main()
