"""What the release packages are made from cannot drift: the Python package's version module and
the linvo command carry the project version the library has, and the Windows installer's registry
entries are what linvo-idl writes from the class table."""

import subprocess

import linvo
from conftest import BUILD, LINVO, ROOT


def test_python_version_module_is_the_one_the_build_writes():
    # pip builds the package from python/ alone, so its version module is committed; it must be the
    # one the build writes from the project version.
    generated = (BUILD / "python" / "_version.py").read_bytes()
    assert (ROOT / "python" / "linvo" / "_version.py").read_bytes() == generated, (
        "python/linvo/_version.py is stale: "
        "cp build/release/python/_version.py python/linvo/_version.py")


def test_command_library_and_package_report_one_version():
    done = subprocess.run([str(LINVO), "--version"], capture_output=True, text=True, timeout=30)
    assert (done.returncode, done.stderr) == (0, "")
    library = linvo.version().replace(", ", ".")  # "1, 0, 0, 0" as a version resource has it
    assert done.stdout == f"linvo {library}\n"
    assert linvo.__version__ == library
