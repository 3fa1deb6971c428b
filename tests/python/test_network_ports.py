"""Network ports end to end: a port number mapped in [Ports] to rfc2217://127.0.0.1:PORT, served
by Debian's ser2net in front of linvo-sim on a pseudo-terminal, and by pyserial's RFC 2217 example
server on loop:// (which mirrors DTR to DSR and RTS to CTS). Every server listens on 127.0.0.1
only and is stopped by the test that started it."""

import os
import pathlib
import shutil
import socket
import subprocess
import sys
import termios
import time

import pytest

import linvo
from conftest import write_settings

SER2NET = shutil.which("ser2net")
PYSERIAL_SERVER = pathlib.Path("/usr/share/doc/python3-serial/examples/rfc2217_server.py")
EV_CTS, EV_DSR = 0x0008, 0x0010


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """True once something listens on 127.0.0.1:port (read from /proc, without connecting)."""
    wanted = f"0100007F:{port:04X}"
    for line in pathlib.Path("/proc/net/tcp").read_text().splitlines()[1:]:
        fields = line.split()
        if fields[1] == wanted and fields[3] == "0A":
            return True
    return False


def wait_listening(port, process, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"server ended with status {process.returncode}")
        if listening(port):
            return
        time.sleep(0.02)
    raise RuntimeError(f"nothing listens on port {port}")


class Server:
    def __init__(self, command, port, log):
        self.port = port
        self.log = log
        with open(log, "ab") as out:
            self.process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT)
        try:
            wait_listening(port, self.process)
        except RuntimeError:
            self.stop()
            raise

    @property
    def url(self):
        return f"rfc2217://127.0.0.1:{self.port}"

    def log_text(self):
        return pathlib.Path(self.log).read_text(errors="replace")

    def stop(self, kill=False):
        if self.process.poll() is None:
            self.process.kill() if kill else self.process.terminate()
        self.process.wait(timeout=10)


@pytest.fixture
def servers():
    started = []
    yield started
    for server in started:
        server.stop()


@pytest.fixture
def ser2net(servers, tmp_path):
    """Starts ser2net in the foreground serving `device` at a free (or the given) port."""
    if SER2NET is None:
        pytest.skip("ser2net is not installed (scripts/install-deps.sh installs it)")

    def start(device, port=None):
        port = port or free_port()
        config = tmp_path / f"ser2net-{port}.yaml"
        config.write_text(
            "connection: &linvo\n"
            f"  accepter: telnet(rfc2217),tcp,127.0.0.1,{port}\n"
            f"  connector: serialdev,{device},9600n81,local\n"
            "  options:\n"
            "    chardelay: false\n"
        )
        servers.append(Server([SER2NET, "-n", "-u", "-c", str(config)], port,
                              tmp_path / f"ser2net-{port}.log"))
        return servers[-1]

    return start


# pyserial's example server binds every interface; the tests keep it on loopback.
LOOPBACK_ONLY = (
    "import runpy, socket, sys\n"
    "bind = socket.socket.bind\n"
    "socket.socket.bind = lambda s, a: bind(s, ('127.0.0.1', a[1]) if a[0] == '' else a)\n"
    "sys.argv = sys.argv[1:]\n"
    "runpy.run_path(sys.argv[0], run_name='__main__')\n"
)


@pytest.fixture
def pyserial_server(servers, tmp_path):
    if not PYSERIAL_SERVER.exists():
        pytest.skip("pyserial's RFC 2217 example server is missing (Debian's python3-serial)")
    port = free_port()
    servers.append(Server(["/usr/bin/python3", "-u", "-c", LOOPBACK_ONLY, str(PYSERIAL_SERVER),
                           "-v", "-v", "-p", str(port), "loop://"], port,
                          tmp_path / "pyserial-server.log"))
    return servers[-1]


def pump_until(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        linvo.pump(deadline - time.monotonic())
    return condition()


class Recorder:
    def __init__(self):
        self.responses, self.comm = [], []

    def OnlvoReceiveResponseEvent(self, lResponse):
        self.responses.append(lResponse)

    def OnlvoCommEvent(self, lEvent):
        self.comm.append(lEvent)


def trace_of(workdir, port):
    return (workdir / f"Linvo{port:03d}.log").read_text(errors="replace")


def test_ser2net_exchanges_and_line_settings(simulator, ser2net, workdir, port_no):
    sim = simulator("--data", "READY", "--data-reply", "OK")
    server = ser2net(sim.device)
    # ser2net reports a pseudo-terminal's modem lines as all off: read them as ready.
    write_settings(workdir, port_no, server.url + "?ign_modem_state")
    with linvo.Dispatch(linvo.PROGID) as ctl:
        ctl.PortNo, ctl.BaudRate, ctl.DataBit, ctl.Parity = port_no, 19200, "8", "E"
        assert ctl.lvoOpenPort() == 0
        # The rate reached the device's line (a Linux pseudo-terminal keeps the rate but always
        # runs 8 bits without parity, so the parity is seen in the server's answer only).
        fd = os.open(sim.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            attributes = termios.tcgetattr(fd)
        finally:
            os.close(fd)
        assert attributes[4] == attributes[5] == termios.B19200
        ctl.SendData = "S1"
        assert ctl.lvoSendCommandRR(0, 3000) == 10
        assert ctl.PollCmdResData == "READY"
        ctl.SendData = "HELLO"
        assert ctl.lvoSendDataBCCRR(0, 2) == 0
        assert ctl.ReceiveData == "OK"
        assert ctl.lvoClosePort() == 0
    trace = trace_of(workdir, port_no)
    # ser2net leaves DTR and RTS unanswered: noted once each, the open did not wait for them.
    for line in ("DTR", "RTS"):
        note = f"{server.url} does not answer SET-CONTROL ({line}); the line no longer waits"
        assert trace.count(note) == 1, trace
    assert "answered SET-" not in trace  # every setting was taken as asked


def test_ser2net_binary_echo_with_0xff_and_purge(simulator, ser2net, workdir, port_no):
    sim = simulator("--raw-echo")
    server = ser2net(sim.device)
    write_settings(workdir, port_no, server.url + "?ign_modem_state")
    block = bytes((i * 7 + i // 256) & 0xFF for i in range(4096))
    assert block.count(0xFF) >= 16
    with linvo.Dispatch(linvo.PROGID) as ctl:
        ctl.PortNo, ctl.ResponseTimer = port_no, 300
        assert ctl.lvoOpenPort() == 0
        # Binary sends and receives carry hex text; SendData holds 2 KiB of bytes at most.
        for half in (block[:2048], block[2048:]):
            ctl.SendData = half.hex().upper()
            assert ctl.lvoSendBinaryData() == 0
        back = b""
        deadline = time.monotonic() + 10
        while len(back) < len(block) and time.monotonic() < deadline:
            if ctl.lvoReceiveBinaryData() == 0:
                back += bytes.fromhex(ctl.ReceiveData)
        assert back == block
        # Bytes waiting in the receive queue are gone after a purge.
        ctl.SendData = b"late".hex()
        assert ctl.lvoSendBinaryData() == 0
        time.sleep(0.3)  # the echo is back in the receive queue
        assert ctl.lvoComBufferClear(0) == 0
        assert ctl.lvoReceiveBinaryData() != 0, ctl.ReceiveData  # nothing left to receive
        assert ctl.lvoClosePort() == 0


def test_ser2net_background_receive_then_server_killed_and_reopened(
        simulator, ser2net, workdir, port_no):
    sim = simulator("--data", "READY")
    server = ser2net(sim.device)
    write_settings(workdir, port_no, server.url + "?ign_modem_state")
    with linvo.DispatchWithEvents(linvo.PROGID, Recorder) as ctl:
        ctl.PortNo = port_no
        assert ctl.lvoOpenPort() == 0
        ctl.SendData = "S1"
        assert ctl.lvoSendCommandRR(2, 3000) == 1
        assert pump_until(lambda: ctl.responses)
        assert ctl.responses == [10] and ctl.PollCmdResData == "READY"

        # A receive waits for a response that will not come; the server dies under it.
        assert ctl.lvoReceiveResponse(2, 60000) == 1
        began = time.monotonic()
        server.stop(kill=True)
        assert pump_until(lambda: len(ctl.responses) == 2, 10)
        assert time.monotonic() - began < 5  # the receive ends with the connection, not its time-out
        failed = ctl.responses[1]
        assert failed not in (0, 10, 110)
        assert "Connection reset by peer (system error 104)" in trace_of(workdir, port_no)

        # The port is usable again once the server is back.
        assert ctl.lvoClosePort() == 0
        ser2net(sim.device, server.port)
        assert ctl.lvoOpenPort() == 0
        assert ctl.lvoSendCommandRR(0, 3000) == 10
        assert ctl.lvoClosePort() == 0


def test_unreachable_server_fails_the_open_with_its_reason(workdir, port_no):
    port = free_port()  # nothing listens there
    write_settings(workdir, port_no, f"rfc2217://127.0.0.1:{port}?timeout=0.5")
    with linvo.Dispatch(linvo.PROGID) as ctl:
        ctl.PortNo = port_no
        assert ctl.lvoOpenPort() == 101
    trace = trace_of(workdir, port_no)
    assert f"Connection refused: rfc2217://127.0.0.1:{port} (system error 111)" in trace


def test_pyserial_server_mirrors_dtr_and_rts_and_takes_break_and_purge(
        pyserial_server, workdir, port_no):
    write_settings(workdir, port_no, pyserial_server.url)
    with linvo.DispatchWithEvents(linvo.PROGID, Recorder) as ctl:
        ctl.PortNo = port_no
        assert ctl.lvoOpenPort() == 0
        ctl.EventMask = 0x0FFF
        # loop:// drops DSR with DTR and CTS with RTS; the server looks at them once a second.
        ctl.DTRLineControl = False
        ctl.RTSLineControl = False
        assert pump_until(lambda: any(e & EV_DSR for e in ctl.comm) and
                          any(e & EV_CTS for e in ctl.comm))
        assert ctl.GetCommStatus[:2] == "00"  # DSR and CTS as the server reports them
        ctl.DTRLineControl = ctl.RTSLineControl = True
        assert pump_until(lambda: ctl.GetCommStatus[:2] == "11")
        ctl.BreakControl = True
        ctl.BreakControl = False
        assert ctl.lvoComBufferClear(0) == 0
        assert ctl.lvoClosePort() == 0
    log = pyserial_server.log_text()
    for said in ("changed DTR to inactive", "changed RTS to inactive", "changed DTR to active",
                 "changed BREAK to active", "changed BREAK to inactive", "purge in"):
        assert said in log, log
    # pyserial's server answers every request it takes: nothing was noted as unanswered.
    assert "does not answer" not in trace_of(workdir, port_no)
