"""The ctypes bindings (python/linvo/_capi.py) against linvo/linvo.h as a C compiler reads it:
every LVO_ constant's value, every public structure's size and fields, and each function's
parameters and result. A constant, structure or function added to the header is covered
without touching this test."""

import ctypes
import re
import shutil
import subprocess

import pytest

from conftest import ROOT
from linvo import _capi

INCLUDE = ROOT / "include"
HEADER = (INCLUDE / "linvo" / "linvo.h").read_text()
CODE = re.sub(r"/\*.*?\*/", " ", HEADER, flags=re.S)  # without its comments

CONSTANTS = re.findall(r"^#define (LVO_\w+)(?![\w(])", CODE, re.M)
# name -> [(field type, field name)]
STRUCTS = {
    name: [tuple(re.fullmatch(r"(.+?)\s*(\w+)", d.strip()).groups())
           for d in body.split(";") if d.strip()]
    for name, body in re.findall(r"typedef struct (lvo_\w+) \{(.*?)\} \1;", CODE, re.S)
}
# name -> (result type, [parameter types])
FUNCTIONS = {
    name: (result.strip(),
           [] if params.strip() == "void" else
           [re.fullmatch(r"(.+?)\s*\w+", p.strip(), re.S).group(1) for p in params.split(",")])
    for result, name, params in re.findall(r"^LINVO_API\s+([^;]*?)\b(lvo_\w+)\((.*?)\);", CODE,
                                          re.S | re.M)
}


def ctypes_struct(c_name):
    """The ctypes class of a structure: lvo_member_info is MemberInfo."""
    return getattr(_capi, "".join(part.title() for part in c_name.split("_")[1:]), None)


@pytest.fixture(scope="module")
def compiled(tmp_path_factory):
    """What a C program built against the header prints of every constant, structure and
    function: {"LVO_OK": 0, "sizeof lvo_value": 24, "offsetof lvo_value.text": 16, ...}."""
    compiler = shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler (cc): install the Debian package gcc")
    lines = []
    for name in CONSTANTS:
        lines.append(f'printf("{name} %lld\\n", (long long)({name}));')
    for struct, fields in STRUCTS.items():
        lines.append(f'printf("sizeof {struct} %zu\\n", sizeof({struct}));')
        for _, field in fields:
            lines.append(f'printf("offsetof {struct}.{field} %zu\\n", offsetof({struct}, {field}));')
            lines.append(f'printf("sizeof {struct}.{field} %zu\\n", '
                         f'sizeof(((const {struct}*)0)->{field}));')
    for function, (result, params) in FUNCTIONS.items():
        if result != "void":
            lines.append(f'printf("sizeof {function}() %zu\\n", sizeof({result}));')
        for index, param in enumerate(params):
            lines.append(f'printf("sizeof {function}({index}) %zu\\n", sizeof({param}));')
    work = tmp_path_factory.mktemp("abi")
    (work / "abi.c").write_text(
        "#include <stddef.h>\n#include <stdio.h>\n#include <linvo/linvo.h>\n"
        "int main(void) {\n  " + "\n  ".join(lines) + "\n  return 0;\n}\n")
    subprocess.run([compiler, "-std=c11", "-Wall", "-Werror", "-I", str(INCLUDE), "abi.c",
                    "-o", "abi"], cwd=work, check=True, capture_output=True)
    output = subprocess.run([str(work / "abi")], check=True, capture_output=True, text=True).stdout
    return {key: int(value) for key, value in (l.rsplit(" ", 1) for l in output.splitlines())}


def test_the_header_is_read():
    # What the parsing must find, so that a change of the header's layout cannot empty the checks.
    assert {"LVO_OK", "LVO_E_TYPEMISMATCH", "LVO_TEXT", "LVO_PROPERTYPUT"} <= set(CONSTANTS)
    assert STRUCTS["lvo_value"] == [("int32_t", "type"), ("uint32_t", "length"),
                                    ("int64_t", "number"), ("char*", "text")]
    assert FUNCTIONS["lvo_invoke"] == ("int32_t", ["lvo_object*", "int32_t", "int32_t",
                                                   "const lvo_value*", "int32_t", "lvo_value*"])
    assert FUNCTIONS["lvo_version"] == ("const char*", [])


def test_constants_have_the_header_values(compiled):
    wrong = {name: (getattr(_capi, name[4:], "missing"), compiled[name]) for name in CONSTANTS
             if getattr(_capi, name[4:], None) != compiled[name]}
    assert not wrong, "_capi.py differs from linvo.h (python, C): " + repr(wrong)


@pytest.mark.parametrize("struct", sorted(STRUCTS))
def test_structures_have_the_header_layout(compiled, struct):
    cls = ctypes_struct(struct)
    assert cls is not None, f"_capi.py has no ctypes class for {struct}"
    assert [f[0] for f in cls._fields_] == [name for _, name in STRUCTS[struct]]
    assert ctypes.sizeof(cls) == compiled[f"sizeof {struct}"]
    for _, field in STRUCTS[struct]:
        assert (getattr(cls, field).offset, getattr(cls, field).size) == (
            compiled[f"offsetof {struct}.{field}"], compiled[f"sizeof {struct}.{field}"]), field


@pytest.mark.parametrize("function", sorted(FUNCTIONS))
def test_functions_have_the_header_prototype(compiled, function):
    assert function in _capi._PROTOTYPES, f"_capi.py declares no prototype for {function}"
    restype, argtypes = _capi._PROTOTYPES[function]
    result, params = FUNCTIONS[function]
    assert (restype is None) == (result == "void")
    if restype is not None:
        assert ctypes.sizeof(restype) == compiled[f"sizeof {function}()"]
    assert [ctypes.sizeof(t) for t in argtypes] == [
        compiled[f"sizeof {function}({i})"] for i in range(len(params))]


@pytest.mark.parametrize("library_build, attribute", [(False, "dllimport"), (True, "dllexport")])
def test_windows_programs_import_what_the_library_exports(library_build, attribute):
    """On Windows the header imports the functions from linvo.dll, except in the library's own
    build (LINVO_BUILDING), which exports them."""
    compiler = shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler (cc): install the Debian package gcc")
    defines = ["-D_WIN32"] + (["-DLINVO_BUILDING"] if library_build else [])
    expanded = subprocess.run([compiler, "-E", "-P", "-x", "c", *defines, "-I", str(INCLUDE), "-"],
                              input="#include <linvo/linvo.h>\n", capture_output=True, text=True,
                              check=True).stdout
    declaration = re.search(r"[^;]*\blvo_create\([^;]*;", expanded).group(0)
    assert f"__declspec({attribute})" in declaration
