"""The documentation cannot drift: the member reference is what linvo-reference prints, the files
linvo-idl writes for the Windows build are what it prints, the Windows page shows the tested
examples, and the C and C++ examples compile and run against linvo-sim."""

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


# Files generated from the member and class tables by linvo-idl, committed for the Windows build
# and the installer.
# Compared as bytes: the IDL's help strings are in code page 932.
@pytest.mark.parametrize("option, path", [
    ([], "module/win/linvo.idl"),
    (["--strings"], "module/win/linvo_strings.rc"),
    (["--manifest"], "module/win/linvo.manifest"),
    (["--wxs"], "packaging/linvo_registry.wxi"),
])
def test_generated_windows_files_match_the_tables(option, path):
    generated = subprocess.run([str(BUILD / "tools" / "linvo-idl"), *option],
                               capture_output=True, check=True).stdout
    assert (ROOT / path).read_bytes() == generated, (
        f"{path} is stale: build/release/tools/linvo-idl {' '.join(option)} > {path}")


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
