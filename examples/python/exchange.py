#!/usr/bin/python3
"""One round of the text protocol through the linvo control, from Python.

Creates the control by name, sets the line properties, opens the port, sends a command and reads
its response (lvoSendCommandRR), sends a data frame and reads the reply (lvoSendDataBCCRR), sends
the command again with the response received in the background and delivered as the event
lvoReceiveResponseEvent, closes the port, and prints the results and the trace file.

Without --device the device is linvo-sim, started on a new pseudo-terminal. The port number is
mapped to the device by a Linvo.ini in a work directory, from which the example runs.
Exit status: 0 when every exchange succeeded, 1 when one failed, 2 for a bad option.
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import linvo

# Result codes of the control's methods.
SUCCESS, STARTED, RESPONSE_A, RESPONSE_R = 0, 1, 10, 11


class Events:
    """Handlers of the control's events: On<EventName>(self, argument)."""

    def OnlvoReceiveResponseEvent(self, lResponse):
        print(f"event lvoReceiveResponseEvent({lResponse})", flush=True)
        self.response = lResponse


def find_simulator():
    """linvo-sim: $LINVO_SIM, beside the library in a build tree, or on PATH."""
    candidates = [os.environ.get("LINVO_SIM")]
    candidates.append(str(pathlib.Path(linvo.library_path()).parent / "tools" / "linvo-sim"))
    candidates.append(shutil.which("linvo-sim"))
    for path in candidates:
        if path and os.access(path, os.X_OK):
            return path
    sys.exit("exchange.py: linvo-sim not found (set LINVO_SIM, or pass --device)")


def start_simulator(data, reply):
    """Starts linvo-sim on a pseudo-terminal; returns the process and the device it serves."""
    sim = subprocess.Popen(
        [find_simulator(), "--data", data, "--data-reply", reply],
        stdout=subprocess.PIPE,
        text=True,
    )
    line = sim.stdout.readline()  # "linvo-sim: serving /dev/pts/N"
    if not line.startswith("linvo-sim: serving "):
        sim.kill()
        sys.exit(f"exchange.py: linvo-sim did not start: {line!r}")
    return sim, line.split()[-1]


def wait_for(condition, timeout):
    """Pumps this thread's messages (firing events) until condition() holds or time runs out."""
    deadline = time.monotonic() + timeout
    while not condition():
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        linvo.pump(left)
    return True


def show(label, code, *fields):
    print(f"{label:<28} -> {code}")
    for name, value in fields:
        print(f"    {name:<18} {value!r}")


def run(ctl, args):
    """The exchanges; True when each succeeded."""
    ctl.PortNo = args.port
    ctl.BaudRate = args.baud
    ctl.DataBit = "8"
    ctl.Parity = "N"
    ctl.DSRCheck = False
    ctl.CTSCheck = False
    ctl.ACKTimer = args.timeout
    ctl.ResponseTimer = args.timeout
    print(f"control {ctl.Version}: PortNo={ctl.PortNo} BaudRate={ctl.BaudRate} "
          f"DataBit={ctl.DataBit} Parity={ctl.Parity}")

    opened = ctl.lvoOpenPort()
    show("lvoOpenPort()", opened)
    if opened != SUCCESS:
        return False
    ok = True

    ctl.SendData = args.command
    code = ctl.lvoSendCommandRR(0, 3000)
    show(f"lvoSendCommandRR(0, 3000) {args.command}", code,
         ("PollCmdComSts", ctl.PollCmdComSts), ("PollCmdErr", ctl.PollCmdErr),
         ("PollCmdResData", ctl.PollCmdResData))
    ok &= code in (RESPONSE_A, RESPONSE_R)

    ctl.SendData = args.data
    code = ctl.lvoSendDataBCCRR(0, 2)
    show(f"lvoSendDataBCCRR(0, 2) {args.data}", code,
         ("ReceiveData", ctl.ReceiveData), ("ReceiveDataLen", ctl.ReceiveDataLen))
    ok &= code == SUCCESS

    # In the background: the method returns 1 at once, the response arrives as an event.
    ctl.SendData = args.command
    ctl.response = None
    code = ctl.lvoSendCommandRR(2, 3000)
    show(f"lvoSendCommandRR(2, 3000) {args.command}", code)
    if code == STARTED and wait_for(lambda: ctl.response is not None, 4 * args.timeout / 1000):
        show("  response by event", ctl.response, ("PollCmdResData", ctl.PollCmdResData))
        ok &= ctl.response in (RESPONSE_A, RESPONSE_R)
    else:
        print("    no lvoReceiveResponseEvent")
        ok = False

    code = ctl.lvoClosePort()
    show("lvoClosePort()", code)
    return ok and code == SUCCESS


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--device", help="a serial device to use instead of linvo-sim")
    parser.add_argument("--port", type=int, default=7, help="COM number to map to it (7)")
    parser.add_argument("--baud", type=int, default=9600, help="line speed (9600)")
    parser.add_argument("--command", default="S1", help="two-character command (S1)")
    parser.add_argument("--data", default="HELLO", help="data frame text (HELLO)")
    parser.add_argument("--timeout", type=int, default=1000, help="ACK and response ms (1000)")
    parser.add_argument("--workdir", help="work directory for Linvo.ini and the trace (new)")
    args = parser.parse_args()
    if not 1 <= args.port <= 256 or len(args.command) != 2:
        parser.error("--port is 1..256 and --command two characters")

    sim = None
    device = os.path.abspath(args.device) if args.device else None
    if device is None:
        sim, device = start_simulator("READY", "OK")
    workdir = pathlib.Path(args.workdir or tempfile.mkdtemp(prefix="linvo-example-")).resolve()
    workdir.mkdir(parents=True, exist_ok=True)
    (workdir / "Linvo.ini").write_text(
        "[Log]\nLogging=1\nLogFileName=.\\Linvo%03d.log\n"
        f"[Ports]\nCOM{args.port}={device}\n"
    )
    os.chdir(workdir)  # the library reads Linvo.ini from here and writes its trace here
    print(f"device {device} ({'linvo-sim' if sim else 'given'}), COM{args.port}, work directory "
          f"{workdir}")
    try:
        with linvo.DispatchWithEvents("LINVO.LinvoCtrl.1", Events) as ctl:
            ok = run(ctl, args)
    finally:
        if sim:
            sim.terminate()
            sim.wait()
    trace = workdir / f"Linvo{args.port:03d}.log"
    lines = trace.read_text(errors="replace").splitlines() if trace.exists() else []
    print(f"trace file {trace} ({len(lines)} lines)" if lines else "no trace file was written")
    if not ok:  # the trace says why: its error lines
        print("\n".join(line for line in lines if ":ErrInfo :" in line))
    print("exchange succeeded" if ok else "exchange FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
