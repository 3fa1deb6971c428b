"""The documentation cannot drift: the member reference is what linvo-reference prints, and the
C and C++ examples compile and run against linvo-sim."""

import re
import subprocess

import pytest

from conftest import BUILD, ROOT, write_settings

DOCS = ROOT / "docs"


def test_member_reference_matches_the_member_table():
    generated = subprocess.run([str(BUILD / "tools" / "linvo-reference")], capture_output=True,
                               text=True, check=True).stdout
    assert (DOCS / "reference.md").read_text() == generated, (
        "docs/reference.md is stale: build/release/tools/linvo-reference > docs/reference.md")


def code_block(page, language):
    blocks = re.findall(rf"```{language}\n(.*?)```", (DOCS / page).read_text(), re.S)
    assert len(blocks) == 1
    return blocks[0]


@pytest.mark.parametrize(
    "page, language, compiler",
    [
        ("c-abi.md", "c", ["cc", "-std=c99", "-x", "c"]),
        ("cpp.md", "cpp", ["c++", "-std=c++17", "-x", "c++"]),
    ],
)
def test_example_compiles_and_runs(simulator, tmp_path, page, language, compiler):
    program = tmp_path / "example"
    subprocess.run(
        [*compiler, "-Wall", "-Wextra", "-Werror", "-I", str(ROOT / "include"), "-",
         "-L", str(BUILD), "-llinvo", f"-Wl,-rpath,{BUILD}", "-o", str(program)],
        input=code_block(page, language), text=True, check=True, capture_output=True,
    )
    sim = simulator("--data", "READY")
    write_settings(tmp_path, 7, sim.device)
    done = subprocess.run([str(program)], cwd=tmp_path, capture_output=True, text=True,
                          timeout=30)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "lvoReceiveResponseEvent 10\n" in done.stdout
    assert "READY" in done.stdout
