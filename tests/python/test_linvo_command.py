"""The linvo command: a table of invocations with their output and exit status, and a whole
exchange with linvo run against linvo-sim."""

import json
import os
import subprocess

import pytest

from conftest import LINVO, write_settings


def linvo(*args, cwd=None):
    return subprocess.run([str(LINVO), *args], capture_output=True, text=True, cwd=cwd,
                          timeout=60)


@pytest.mark.parametrize(
    "args, status, stdout, stderr",
    [
        (["--help"], 0, "Commands:\n  members", ""),
        ([], 2, "", "linvo: no command given"),
        (["frobnicate"], 2, "", "linvo: unknown command frobnicate"),
        (["members", "--help"], 0, "Usage: linvo members", ""),
        (["ports", "--help"], 0, "Usage: linvo ports", ""),
        (["run", "--help"], 0, "Exit status: 0 when every call", ""),
        (["members"], 0, "    40  method    lvoSendCommandRR(iRecMode: long, lBusyTimeOut: long)"
                         " -> long\n", ""),
        (["members"], 0, "     2  event     lvoReceiveResponseEvent(lResponse: long)\n", ""),
        (["members", "--bogus"], 2, "", "linvo members: unknown option --bogus"),
        (["run", "--set", "PortNo=9", "--get", "portno", "--call", "lvoCharAscHConv 0 'A B'",
          "--call", "LVODATASUMCALC ABC", "--call", "lvoResPropertyClear"], 0,
         'set PortNo = 9\nget PortNo = 9\ncall lvoCharAscHConv(0, "A B") = "412042"\n'
         'call lvoDataSumCalc("ABC") = "C6"\ncall lvoResPropertyClear()\n', ""),
        (["run", "--set", "DSRCheck=false", "--get", "DSRCheck", "--set", "SendData=a=b",
          "--get", "SendData"], 0,
         'set DSRCheck = false\nget DSRCheck = false\nset SendData = "a=b"\n'
         'get SendData = "a=b"\n', ""),
        # Results: 101 (the port cannot be opened) fails unless marked as success; 30 likewise.
        (["run", "--set", "PortNo=250", "--call", "lvoOpenPort"], 1,
         "call lvoOpenPort() = 101  FAILED\n", ""),
        (["run", "--set", "PortNo=250", "--call", "lvoOpenPort", "--ok", "101"], 0,
         "call lvoOpenPort() = 101\n", ""),
        (["run", "--call", "lvoClosePort", "--fail", "0", "--ok", "30"], 0,
         "call lvoClosePort() = 30\n", ""),
        (["run", "--wait-event", "lvoCommEvent", "--timeout", "50"], 1,
         "wait lvoCommEvent: no event within 50 ms  FAILED\n", ""),
        # A text that is not UTF-8 shows as its bytes in hexadecimal, UTF-8 as characters.
        (["run", "--json", "--set", b"SendData=\xe9", "--set", b"SendData=\xc3\xa9",
          "--call", "lvoClosePort"], 1,
         '{"step":"set","name":"SendData","value":{"bytes":"E9"}}\n'
         '{"step":"set","name":"SendData","value":"\\u00e9"}\n'
         '{"step":"call","name":"lvoClosePort","args":[],"result":30,"ok":false}\n', ""),
        (["run", "--set", b"SendData=A\xff"], 0, 'set SendData = {"bytes":"41FF"}\n', ""),
        # Bad usage, found before anything runs.
        (["run"], 2, "", "linvo run: nothing to run"),
        (["run", "--get", "NoSuch"], 2, "", "unknown member 'NoSuch'"),
        (["run", "--set", "PortNo"], 2, "", "--set takes NAME=VALUE"),
        (["run", "--set", "PortNo=seven"], 2, "", "bad value 'seven' for PortNo: it takes a 32"),
        (["run", "--set", "PortNo=4294967296"], 2, "", "bad value '4294967296' for PortNo"),
        (["run", "--set", "DSRCheck=maybe"], 2, "", "bad value 'maybe' for DSRCheck"),
        (["run", "--call", "lvoSendCommandRR 0"], 2, "",
         "lvoSendCommandRR takes 2 arguments, got 1: lvoSendCommandRR(iRecMode: long, "
         "lBusyTimeOut: long) -> long"),
        (["run", "--call", "lvoSendCommandRR x 1"], 2, "",
         "bad value 'x' for lvoSendCommandRR argument iRecMode"),
        (["run", "--call", "lvoCharAscHConv 0 'A"], 2, "", "unbalanced '"),
        (["run", "--call", "PortNo"], 2, "", "'PortNo' is a property: use --set or --get"),
        (["run", "--get", "lvoOpenPort"], 2, "", "'lvoOpenPort' is a method: use --call"),
        (["run", "--wait-event", "lvoNoEvent"], 2, "", "unknown event 'lvoNoEvent'"),
        (["run", "--timeout", "5", "--get", "PortNo"], 2, "", "--timeout gives the time-out"),
        (["run", "--ok", "x", "--get", "PortNo"], 2, "", "bad value 'x' for --ok"),
        (["run", "--get"], 2, "", "--get needs a value"),
        (["run", "--frob", "--get", "PortNo"], 2, "", "unknown option --frob"),
        (["run", "--settings-dir", "/nonexistent", "--get", "PortNo"], 2, "",
         "cannot enter settings directory /nonexistent: No such file or directory"),
        (["ports", "--settings-dir"], 2, "", "--settings-dir needs a directory"),
    ],
)
def test_invocations(workdir, args, status, stdout, stderr):
    done = linvo(*args, cwd=workdir)
    assert done.returncode == status, done.stdout + done.stderr
    assert stdout in done.stdout
    assert stderr in done.stderr
    if status == 2 and args[:1] == ["run"]:
        assert done.stdout == ""  # nothing ran


def test_members_json_lists_every_member_once(workdir):
    lines = [json.loads(line) for line in linvo("members", "--json").stdout.splitlines()]
    members = [m for m in lines if m["kind"] != "event"]
    assert [m["dispid"] for m in members] == list(range(1, 59))
    assert lines[39] == {"dispid": 40, "kind": "method", "name": "lvoSendCommandRR",
                         "type": "long", "params": [{"name": "iRecMode", "type": "long"},
                                                    {"name": "lBusyTimeOut", "type": "long"}]}
    assert [e["name"] for e in lines if e["kind"] == "event"][1] == "lvoReceiveResponseEvent"


def test_ports_lists_the_mapped_port_with_its_device(simulator, tmp_path):
    sim = simulator()
    write_settings(tmp_path, 42, sim.device)
    names = linvo("ports", "--settings-dir", str(tmp_path)).stdout.split()
    assert "COM42" in names
    all_ports = linvo("ports", "--all", "--settings-dir", str(tmp_path))
    assert f"COM42  {sim.device}\n" in all_ports.stdout
    assert "unmapped serial adapters" in all_ports.stdout
    objects = [json.loads(l) for l in
               linvo("ports", "--all", "--json", "--settings-dir", str(tmp_path)).stdout.split("\n")
               if l]
    assert {"port": "COM42", "device": sim.device} in objects


def text_of(value):
    """The bytes of a text in a --json line: a string, or {"bytes": "<hex>"}."""
    return bytes.fromhex(value["bytes"]) if isinstance(value, dict) else value.encode()


# Texts that are not UTF-8 (a lone byte, Shift_JIS, an encoded surrogate, an overlong form, a
# cut sequence) and two that are, one with a quote and a backslash.
@pytest.mark.parametrize("text", [b"A\xffB", b"\x82\xa9", b"\xed\xb0\x80", b"\xc0\xaf", b"ab\xe2\x82",
                                  b"\xc3\xa9\xe2\x82\xac", b'q"b\\s'])
def test_json_lines_keep_every_byte(tmp_path, text):
    device = os.fsencode(tmp_path) + b"/dev" + text
    open(device, "wb").close()
    (tmp_path / "Linvo.ini").write_bytes(b"[Ports]\nCOM3=" + device + b"\n")
    ports = linvo("ports", "--all", "--json", "--settings-dir", str(tmp_path))
    run = linvo("run", "--json", "--settings-dir", str(tmp_path), "--set", b"SendData=" + text,
                "--get", "SendData", "--call", b"lvoDataSumCalc '" + text + b"'",
                "--call", "lvoCharAscHConv 1 " + text.hex().upper())
    for done in ports, run:
        assert done.returncode == 0, done.stdout + done.stderr
        assert done.stdout.isascii()
    ports_lines = [json.loads(line) for line in ports.stdout.splitlines()]
    assert [text_of(l["device"]) for l in ports_lines if l.get("port") == "COM3"] == [device]
    set_, get, sum_, conv = [json.loads(line) for line in run.stdout.splitlines()]
    assert [text_of(set_["value"]), text_of(get["value"]), text_of(sum_["args"][0]),
            text_of(conv["result"])] == [text] * 4


def test_run_exchange_against_the_simulator(simulator, tmp_path):
    sim = simulator("--data", "READY", "--data-reply", "OK")
    write_settings(tmp_path, 7, sim.device)
    done = linvo(
        "run", "--settings-dir", str(tmp_path), "--json",
        "--set", "PortNo=7", "--set", "DSRCheck=false", "--call", "lvoOpenPort",
        "--set", "SendData=S1", "--call", "lvoSendCommandRR 0 3000", "--get", "PollCmdResData",
        "--set", "SendData=HELLO", "--call", "lvoSendDataBCCRR 0 2", "--get", "ReceiveData",
        "--set", "SendData=S1", "--call", "lvoSendCommandRR 2 3000",
        "--wait-event", "lvoReceiveResponseEvent", "--timeout", "5000",
        "--get", "PollCmdResData", "--call", "lvoClosePort",
    )
    assert done.returncode == 0, done.stdout + done.stderr
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    calls = [(l["name"], l["result"]) for l in lines if l.get("step") == "call"]
    assert calls == [("lvoOpenPort", 0), ("lvoSendCommandRR", 10), ("lvoSendDataBCCRR", 0),
                     ("lvoSendCommandRR", 1), ("lvoClosePort", 0)]
    reads = [l["value"] for l in lines if l.get("step") == "get"]
    assert reads == ["READY", "OK", "READY"]
    # The event is printed as it comes, then the wait that takes it.
    event = lines.index({"event": "lvoReceiveResponseEvent", "dispid": 2, "argument": 10})
    assert lines[event + 1] == {"step": "wait", "name": "lvoReceiveResponseEvent",
                                "argument": 10, "ok": True}
    assert "lvoSendCommandRR" in (tmp_path / "Linvo007.log").read_text(errors="replace")

    # A device that never answers the poll: the background receive ends with a time-out
    # which fails the wait and the run.
    sim = simulator("--silent-polls")
    write_settings(tmp_path, 8, sim.device)
    done = linvo("run", "--settings-dir", str(tmp_path), "--set", "PortNo=8",
                 "--set", "DSRCheck=false", "--set", "ResponseTimer=200", "--call", "lvoOpenPort",
                 "--set", "SendData=S1", "--call", "lvoSendCommandRR 2 300",
                 "--wait-event", "lvoReceiveResponseEvent", "--call", "lvoClosePort")
    assert done.returncode == 1, done.stdout + done.stderr
    assert "call lvoSendCommandRR(2, 300) = 1\n" in done.stdout
    assert "wait lvoReceiveResponseEvent = 113  FAILED\n" in done.stdout
