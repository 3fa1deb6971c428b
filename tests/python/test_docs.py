"""The documentation cannot drift: the member reference is what linvo-reference prints, the type
library's IDL what linvo-idl prints, and the C and C++ examples compile and run against
linvo-sim."""

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


def test_type_library_idl_matches_the_member_table():
    # Bytes, not text: the IDL's help strings are in code page 932.
    generated = subprocess.run([str(BUILD / "tools" / "linvo-idl")], capture_output=True,
                               check=True).stdout
    assert (ROOT / "module" / "win" / "linvo.idl").read_bytes() == generated, (
        "module/win/linvo.idl is stale: build/release/tools/linvo-idl > module/win/linvo.idl")


def test_registration_free_manifest_matches_the_class_table():
    generated = subprocess.run([str(BUILD / "tools" / "linvo-idl"), "--manifest"],
                               capture_output=True, check=True).stdout
    assert (ROOT / "module" / "win" / "linvo.manifest").read_bytes() == generated, (
        "module/win/linvo.manifest is stale: "
        "build/release/tools/linvo-idl --manifest > module/win/linvo.manifest")


@pytest.mark.parametrize("language, example", [("vbscript", "exchange.vbs"),
                                               ("javascript", "exchange.js"),
                                               ("cpp", "com_host.cpp")])
def test_windows_examples_are_the_tested_files(language, example):
    # The Windows test step runs examples/windows/; the page shows them as they are.
    assert code_block("windows.md", language) == (ROOT / "examples" / "windows" /
                                                  example).read_text()


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
