"""linvo.ports(), linvo.unmapped_ports() and linvo.settings_file(): what the library lists and
chooses, as the Python package shows it."""

import os

import linvo


def test_ports_give_each_com_name_its_device(tmp_path, monkeypatch):
    device = os.fsencode(tmp_path) + b"/tty\xff"  # a device path that is not UTF-8
    open(device, "wb").close()
    (tmp_path / "Linvo.ini").write_bytes(b"[Ports]\nCOM251=" + device + b"\nCOM252=/nonexistent\n")
    monkeypatch.chdir(tmp_path)

    ours = [p for p in linvo.ports() if p.name in ("COM251", "COM252")]
    assert ours == [linvo.Port("COM251", os.fsdecode(device))]
    assert os.fsencode(ours[0].device) == device
    assert all(isinstance(a, linvo.Adapter) and a.ports_line.startswith("COM")
               for a in linvo.unmapped_ports())


def test_settings_file_says_why_a_linvo_ini_is_passed_over(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("TMPDIR", str(tmp_path / "tmp"))
    monkeypatch.delenv("XDG_RUNTIME_DIR", raising=False)
    (tmp_path / "tmp").mkdir()
    (tmp_path / "Linvo.ini").write_text("[Ports]\n")
    assert linvo.settings_file() == linvo.SettingsFile("./Linvo.ini", "")

    (tmp_path / "Linvo.ini").unlink()
    (tmp_path / "Linvo.ini").mkdir()
    assert linvo.settings_file() == linvo.SettingsFile(
        f"{tmp_path}/tmp/linvo-{os.getuid()}/Linvo.ini",
        "Settings file ./Linvo.ini not used: it is a directory")
