"""Shared fixtures: the build tree under test, linvo-sim on a pseudo-terminal, work directories."""

import itertools
import os
import pathlib
import selectors
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("LINVO_BUILD_DIR", ROOT / "build" / "release")).resolve()
SIM = BUILD / "tools" / "linvo-sim"
LINVO = BUILD / "tools" / "linvo"

# The package from the source tree, with the library of the build under test.
os.environ.setdefault("LINVO_LIBRARY", str(BUILD / "liblinvo.so"))
sys.path.insert(0, str(ROOT / "python"))

# Each test opens its own port number: port objects live as long as the process.
_ports = itertools.count(20)


class Simulator:
    """linvo-sim serving a new pseudo-terminal (its path in .device)."""

    def __init__(self, *args):
        self.process = subprocess.Popen(
            [str(SIM), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            ready = selector.select(timeout=10)
        line = self.process.stdout.readline() if ready else ""
        if not line.startswith("linvo-sim: serving "):
            self.stop()
            raise RuntimeError(f"linvo-sim did not start: {line!r}")
        self.device = line.split()[-1]

    def stop(self):
        self.process.terminate()
        self.process.communicate(timeout=10)


@pytest.fixture
def simulator():
    """Starts linvo-sim with the given options; stops every one started at the end."""
    started = []

    def start(*args):
        started.append(Simulator(*args))
        return started[-1]

    yield start
    for sim in started:
        sim.stop()


@pytest.fixture
def port_no():
    return next(_ports)


def write_settings(directory, port, device):
    """Linvo.ini with the trace in a file and the [Ports] line COMn=device."""
    (directory / "Linvo.ini").write_text(
        "[Log]\nLogging=1\nLogFileName=.\\Linvo%03d.log\n" f"[Ports]\nCOM{port}={device}\n"
    )


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A work directory with its own Linvo.ini, entered for the test."""
    write_settings(tmp_path, 1, "/nonexistent")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def line(simulator, workdir, port_no):
    """A port number mapped to a linvo-sim answering S1 with READY and data with OK."""
    sim = simulator("--data", "READY", "--data-reply", "OK")
    write_settings(workdir, port_no, sim.device)
    return port_no
