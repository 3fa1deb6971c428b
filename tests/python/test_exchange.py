"""End to end against linvo-sim on a pseudo-terminal: the exchanges through Dispatch, the
example program of the README, and the package as installed by pip."""

import os
import shutil
import subprocess
import sys

import pytest

import linvo
from conftest import BUILD, ROOT, SIM, write_settings

EXAMPLE = ROOT / "examples" / "python" / "exchange.py"


def test_command_and_data_exchange_with_trace(line, workdir):
    ctl = linvo.Dispatch(linvo.PROGID)
    ctl.PortNo, ctl.BaudRate, ctl.DataBit, ctl.Parity = line, 19200, "8", "N"
    ctl.DSRCheck = ctl.CTSCheck = False
    assert ctl.lvoOpenPort() == 0
    assert ctl.lvoOpenPort() == 30  # already open
    ctl.SendData = "S1"
    assert ctl.lvoSendCommandRR(0, 3000) == 10
    assert (ctl.PollCmdComSts, ctl.PollCmdErr, ctl.PollCmdResData) == ("00", "00", "READY")
    ctl.SendData = "HELLO"
    assert ctl.lvoSendDataBCCRR(0, 2) == 0
    assert (ctl.ReceiveData, ctl.ReceiveDataLen) == ("OK", 2)
    assert ctl.lvoClosePort() == 0
    del ctl
    trace = (workdir / f"Linvo{line:03d}.log").read_text()
    assert "lvoSendCommandRR" in trace and "lvoSendDataBCCRR" in trace


def run_example(*args, cwd):
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"), LINVO_SIM=str(SIM))
    return subprocess.run(
        [sys.executable, str(EXAMPLE), *args], capture_output=True, text=True, env=env,
        cwd=cwd, timeout=60,
    )


def test_example_against_its_own_simulator(tmp_path):
    done = run_example("--workdir", str(tmp_path / "work"), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    for expected in [
        "lvoOpenPort()                -> 0",
        "lvoSendCommandRR(0, 3000) S1 -> 10",
        "PollCmdResData     'READY'",
        "ReceiveData        'OK'",
        "event lvoReceiveResponseEvent(10)",
        "lvoClosePort()               -> 0",
        f"trace file {tmp_path / 'work' / 'Linvo007.log'}",
        "exchange succeeded",
    ]:
        assert expected in done.stdout
    assert (tmp_path / "work" / "Linvo007.log").stat().st_size > 0


def test_example_against_a_given_device(simulator, tmp_path):
    # A device that answers the command with R and never replies to data: exit status 1.
    sim = simulator("--letter", "R", "--code", "42")
    done = run_example("--device", sim.device, "--port", "12", "--timeout", "200", cwd=tmp_path)
    assert done.returncode == 1
    assert f"device {sim.device} (given), COM12" in done.stdout
    assert "lvoSendCommandRR(0, 3000) S1 -> 11" in done.stdout
    assert "lvoSendDataBCCRR(0, 2) HELLO -> 110" in done.stdout
    assert ":ErrInfo : ErrorCode 110: Timeout Error" in done.stdout  # the trace's reason
    assert "exchange FAILED" in done.stdout


def test_asyncio_example(simulator, tmp_path):
    sim = simulator("--data", "READY")
    write_settings(tmp_path, 7, sim.device)
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    done = subprocess.run([sys.executable, str(EXAMPLE.parent / "asyncio_events.py")], env=env,
                          cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout == ("lvoSendCommandRR(2, 3000) -> 1\n"
                           "lvoReceiveResponseEvent 10 PollCmdResData 'READY'\n")


def test_pip_install_without_network_and_library_lookup(tmp_path):
    target = tmp_path / "site"
    source = shutil.copytree(ROOT / "python", tmp_path / "src", ignore=shutil.ignore_patterns(
        "__pycache__", "build", "*.egg-info"))  # the build leaves its files beside the source
    subprocess.run(
        [sys.executable, "-m", "pip", "install", "--quiet", "--no-index", "--no-build-isolation",
         "--target", str(target), str(source)],
        check=True, capture_output=True, timeout=120,
    )
    probe = "import linvo; print(linvo.__file__); print(linvo.Dispatch(linvo.PROGID).Version)"
    env = dict(os.environ, PYTHONPATH=str(target))
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                          env=env, cwd=tmp_path, check=True)
    assert done.stdout.splitlines() == [str(target / "linvo" / "__init__.py"), "1, 0, 0, 0"]

    env["LINVO_LIBRARY"] = str(tmp_path / "missing.so")
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, env=env)
    assert done.returncode != 0 and "set LINVO_LIBRARY" in done.stderr


@pytest.mark.skipif(BUILD != ROOT / "build" / "release", reason="only the default build tree")
def test_source_checkout_finds_the_build_tree(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "LINVO_LIBRARY"}
    env["PYTHONPATH"] = str(ROOT / "python")
    done = subprocess.run([sys.executable, "-c", "import linvo; print(linvo.library_path())"],
                          capture_output=True, text=True, env=env, check=True, cwd=tmp_path)
    assert done.stdout.strip() == str(BUILD / "liblinvo.so")
