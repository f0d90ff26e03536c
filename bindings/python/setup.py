"""The package's version is the project's own, read from the checkout's CMakeLists.txt."""
import pathlib
import re

from setuptools import setup


def project_version():
    top = pathlib.Path(__file__).resolve().parent.parent.parent / "CMakeLists.txt"
    try:
        found = re.search(r"project\(\s*selvarn_sms\s+VERSION\s+([0-9.]+)", top.read_text())
    except OSError as e:
        raise SystemExit(f"selvarn-sms: build from a checkout: cannot read {top}: {e}")
    if not found:
        raise SystemExit(f"selvarn-sms: no project version in {top}")
    return found.group(1)


setup(version=project_version())
