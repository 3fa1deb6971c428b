"""The library's C interface (linvo/linvo.h) through ctypes, and where the library is found."""

import ctypes
import os
import pathlib
import sys


def _status(code):
    """An HRESULT as the signed int32_t the functions return."""
    return code - (1 << 32)


# Status codes (int32_t, negative on failure).
OK = 0
E_INVALIDARG = _status(0x80070057)
E_OUTOFMEMORY = _status(0x8007000E)
E_UNEXPECTED = _status(0x8000FFFF)
E_CLASSNOTREG = _status(0x80040154)
E_CLASSNOTAVAILABLE = _status(0x80040111)
E_UNKNOWNNAME = _status(0x80020006)
E_MEMBERNOTFOUND = _status(0x80020003)
E_BADPARAMCOUNT = _status(0x8002000E)
E_TYPEMISMATCH = _status(0x80020005)
E_OVERFLOW = _status(0x8002000A)
E_NOCONNECTION = _status(0x80040200)
E_WRONG_THREAD = _status(0x8001010E)

# Value types.
EMPTY, LONG, BOOL, TEXT = 0, 1, 2, 3
TYPE_NAMES = {EMPTY: "void", LONG: "long", BOOL: "bool", TEXT: "str"}

# Invoke flags.
METHOD, PROPERTYGET, PROPERTYPUT = 1, 2, 4

# Member kinds.
KIND_PROPERTY, KIND_METHOD = 1, 2


class Value(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int32),
        ("length", ctypes.c_uint32),
        ("number", ctypes.c_int64),
        ("text", ctypes.c_void_p),
    ]


class MemberInfo(ctypes.Structure):
    _fields_ = [
        ("dispid", ctypes.c_int32),
        ("kind", ctypes.c_int32),
        ("flags", ctypes.c_int32),
        ("type", ctypes.c_int32),
        ("param_count", ctypes.c_int32),
        ("reserved", ctypes.c_int32),
        ("name", ctypes.c_char_p),
    ]


class ParamInfo(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int32),
        ("reserved", ctypes.c_int32),
        ("name", ctypes.c_char_p),
    ]


class EventInfo(ctypes.Structure):
    _fields_ = [
        ("dispid", ctypes.c_int32),
        ("argument_type", ctypes.c_int32),
        ("name", ctypes.c_char_p),
        ("argument_name", ctypes.c_char_p),
    ]


class LibraryInfo(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("guid", ctypes.c_char_p),
        ("version_major", ctypes.c_uint16),
        ("version_minor", ctypes.c_uint16),
        ("lcid", ctypes.c_uint32),
        ("help", ctypes.c_char_p),
        ("dispatch_name", ctypes.c_char_p),
        ("dispatch_guid", ctypes.c_char_p),
        ("dispatch_help", ctypes.c_char_p),
        ("events_name", ctypes.c_char_p),
        ("events_guid", ctypes.c_char_p),
        ("events_help", ctypes.c_char_p),
    ]


class ClassInfo(ctypes.Structure):
    _fields_ = [
        ("prog_id", ctypes.c_char_p),
        ("clsid", ctypes.c_char_p),
        ("type_name", ctypes.c_char_p),
        ("threading_model", ctypes.c_char_p),
        ("misc_status", ctypes.c_uint32),
        ("available", ctypes.c_int32),
        ("category_count", ctypes.c_int32),
        ("reserved", ctypes.c_int32),
    ]


class CategoryInfo(ctypes.Structure):
    _fields_ = [
        ("catid", ctypes.c_char_p),
        ("lcid", ctypes.c_uint32),
        ("reserved", ctypes.c_int32),
        ("description", ctypes.c_char_p),
    ]


class PortInfo(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("device", ctypes.c_char_p),
    ]


class AdapterInfo(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("device", ctypes.c_char_p),
        ("vendor_id", ctypes.c_char_p),
        ("product_id", ctypes.c_char_p),
        ("product", ctypes.c_char_p),
        ("ports_line", ctypes.c_char_p),
    ]


class SettingsInfo(ctypes.Structure):
    _fields_ = [
        ("file", ctypes.c_char_p),
        ("unused", ctypes.c_char_p),
    ]


EVENT_CALLBACK = ctypes.CFUNCTYPE(
    None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_char_p, ctypes.c_int32
)

_I32 = ctypes.c_int32
_P = ctypes.c_void_p
_PI32 = ctypes.POINTER(ctypes.c_int32)
_PVALUE = ctypes.POINTER(Value)

# name: (result type, argument types), as declared in linvo/linvo.h.
_PROTOTYPES = {
    "lvo_string_free": (None, [_P]),
    "lvo_last_error": (_I32, []),
    "lvo_last_error_text": (ctypes.c_char_p, []),
    "lvo_create": (_I32, [ctypes.c_char_p, ctypes.POINTER(_P)]),
    "lvo_release": (_I32, [_P]),
    "lvo_get_dispid": (_I32, [_P, ctypes.c_char_p, _PI32]),
    "lvo_invoke": (_I32, [_P, _I32, _I32, _PVALUE, _I32, _PVALUE]),
    "lvo_get": (_I32, [_P, _I32, _PVALUE]),
    "lvo_put": (_I32, [_P, _I32, _PVALUE]),
    "lvo_connect": (_I32, [_P, EVENT_CALLBACK, _P, _PI32]),
    "lvo_disconnect": (_I32, [_P, _I32]),
    "lvo_pump": (_I32, [_I32, _PI32]),
    "lvo_message_fd": (_I32, [_PI32]),
    "lvo_type_library": (_I32, [ctypes.c_char_p, ctypes.POINTER(LibraryInfo)]),
    "lvo_member_count": (_I32, [ctypes.c_char_p, _PI32]),
    "lvo_member": (_I32, [ctypes.c_char_p, _I32, ctypes.POINTER(MemberInfo)]),
    "lvo_parameter": (_I32, [ctypes.c_char_p, _I32, _I32, ctypes.POINTER(ParamInfo)]),
    "lvo_event_count": (_I32, [ctypes.c_char_p, _PI32]),
    "lvo_event": (_I32, [ctypes.c_char_p, _I32, ctypes.POINTER(EventInfo)]),
    "lvo_class_count": (_I32, [_PI32]),
    "lvo_class": (_I32, [_I32, ctypes.POINTER(ClassInfo)]),
    "lvo_class_category": (_I32, [_I32, _I32, ctypes.POINTER(CategoryInfo)]),
    "lvo_list_ports": (_I32, [ctypes.POINTER(_P)]),
    "lvo_port_list_free": (None, [_P]),
    "lvo_port_count": (_I32, [_P, _PI32]),
    "lvo_port": (_I32, [_P, _I32, ctypes.POINTER(PortInfo)]),
    "lvo_adapter_count": (_I32, [_P, _PI32]),
    "lvo_adapter": (_I32, [_P, _I32, ctypes.POINTER(AdapterInfo)]),
    "lvo_settings_file": (_I32, [ctypes.POINTER(SettingsInfo)]),
    "lvo_version": (ctypes.c_char_p, []),
}

SONAME = "liblinvo.so.1"


def _candidates():
    """Where the library may be, in the order tried."""
    override = os.environ.get("LINVO_LIBRARY")
    if override:
        return [override]  # an explicit choice is never second-guessed
    found = []
    # A source checkout: python/linvo/ sits two levels below the tree's root.
    root = pathlib.Path(__file__).resolve().parents[2]
    for preset in ("release", "asan", "tsan"):
        found.append(str(root / "build" / preset / "liblinvo.so"))
    # An installed prefix: the dynamic loader's own search, then the usual prefixes.
    found.append(SONAME)
    multiarch = getattr(sys.implementation, "_multiarch", "")
    for prefix in dict.fromkeys([sys.prefix, "/usr/local", "/usr"]):
        for libdir in ("lib", os.path.join("lib", multiarch) if multiarch else None, "lib64"):
            if libdir:
                found.append(os.path.join(prefix, libdir, SONAME))
    return found


def _load():
    tried = []
    for path in _candidates():
        if os.sep in path and not os.path.exists(path):
            tried.append(f"{path} (not there)")
            continue
        try:
            return ctypes.CDLL(path)
        except OSError as error:
            tried.append(f"{path} ({error})")
    raise ImportError(
        "linvo: cannot load the linvo library; set LINVO_LIBRARY to the path of liblinvo.so. "
        "Tried: " + "; ".join(tried)
    )


lib = _load()
for _name, (_restype, _argtypes) in _PROTOTYPES.items():
    _function = getattr(lib, _name)
    _function.restype = _restype
    _function.argtypes = _argtypes
