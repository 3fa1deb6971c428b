"""linvo: drive the linvo serial device control from Python.

    import linvo
    ctl = linvo.Dispatch("LINVO.LinvoCtrl.1")
    ctl.PortNo = 7
    ctl.lvoOpenPort()

Objects are created by ProgID or CLSID text; their attributes are the control's properties and
methods (case-insensitive). Events go to On<EventName>(self, argument) methods of a handler class
(DispatchWithEvents, WithEvents) while the thread pumps (pump, or message_fd in an event loop).
The library is loaded from LINVO_LIBRARY, the build tree of a source checkout, or an installed
prefix.
"""

from . import _capi
from ._capi import (
    E_BADPARAMCOUNT,
    E_CLASSNOTAVAILABLE,
    E_CLASSNOTREG,
    E_INVALIDARG,
    E_MEMBERNOTFOUND,
    E_NOCONNECTION,
    E_OUTOFMEMORY,
    E_OVERFLOW,
    E_TYPEMISMATCH,
    E_UNEXPECTED,
    E_UNKNOWNNAME,
    E_WRONG_THREAD,
)
from ._dispatch import CDispatch, Dispatch, DispatchWithEvents, WithEvents, message_fd, pump
from ._errors import DispatchError
from ._ports import Adapter, Port, SettingsFile, ports, settings_file, unmapped_ports
from ._typeinfo import type_info
from ._version import __version__  # the package's (and the project's) version

PROGID = "LINVO.LinvoCtrl.1"

__all__ = [
    "E_BADPARAMCOUNT",
    "E_CLASSNOTAVAILABLE",
    "E_CLASSNOTREG",
    "E_INVALIDARG",
    "E_MEMBERNOTFOUND",
    "E_NOCONNECTION",
    "E_OUTOFMEMORY",
    "E_OVERFLOW",
    "E_TYPEMISMATCH",
    "E_UNEXPECTED",
    "E_UNKNOWNNAME",
    "E_WRONG_THREAD",
    "Adapter",
    "CDispatch",
    "Dispatch",
    "DispatchError",
    "DispatchWithEvents",
    "PROGID",
    "Port",
    "SettingsFile",
    "WithEvents",
    "library_path",
    "message_fd",
    "ports",
    "pump",
    "settings_file",
    "type_info",
    "unmapped_ports",
    "version",
]


def version():
    """The library's version, "1, 0, 0, 0"."""
    return _capi.lib.lvo_version().decode()


def library_path():
    """The path of the loaded library."""
    return _capi.lib._name
