"""The linvo command says why a settings file it finds cannot be used, instead of running as if
there were none."""

import os
import subprocess

import pytest

from conftest import LINVO


@pytest.mark.parametrize("make, reason", [
    (lambda path: os.mkdir(path), "is a directory"),
    (lambda path: os.mkfifo(path), "is not a regular file"),
    (lambda path: (open(path + ".real", "w").write("[Ports]\nCOM3=/dev/null\n"),
                   os.symlink(path + ".real", path)),
     "is a symbolic link (settings files are not read through links)"),
])
@pytest.mark.parametrize("command", [["ports"], ["run", "--get", "PortNo"]])
def test_unusable_settings_file_is_reported(tmp_path, make, reason, command):
    make(str(tmp_path / "Linvo.ini"))
    (tmp_path / "tmp").mkdir()
    result = subprocess.run([str(LINVO), command[0], "--settings-dir", str(tmp_path), *command[1:]],
                            capture_output=True, text=True, timeout=60,
                            env={**os.environ, "TMPDIR": str(tmp_path / "tmp")})
    assert result.returncode == 0, result.stderr
    assert f"linvo: warning: Settings file ./Linvo.ini not used: it {reason}\n" in result.stderr


def test_usable_settings_file_gives_no_warning(tmp_path):
    (tmp_path / "Linvo.ini").write_text("[Ports]\nCOM3=/dev/null\n")
    result = subprocess.run([str(LINVO), "ports", "--settings-dir", str(tmp_path)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0
    assert "warning" not in result.stderr
