"""The type information of a class, read once from the library."""

import ctypes
import dataclasses
import functools

from . import _capi
from ._errors import DispatchError, check, quoted


@dataclasses.dataclass(frozen=True)
class Param:
    name: str
    type: int

    def __str__(self):
        return f"{self.name}: {_capi.TYPE_NAMES[self.type]}"


@dataclasses.dataclass(frozen=True)
class Member:
    name: str
    dispid: int
    kind: int  # KIND_PROPERTY or KIND_METHOD
    type: int  # the property's type or the method's result type
    params: tuple

    @property
    def is_method(self):
        return self.kind == _capi.KIND_METHOD

    def signature(self):
        """"PortNo: long" or "lvoSendCommandRR(iRecMode: long, lBusyTimeOut: long) -> long"."""
        result = _capi.TYPE_NAMES[self.type]
        if not self.is_method:
            return f"{self.name}: {result}"
        return f"{self.name}({', '.join(map(str, self.params))}) -> {result}"


@dataclasses.dataclass(frozen=True)
class Event:
    name: str
    dispid: int
    argument: str


@dataclasses.dataclass(frozen=True)
class TypeInfo:
    library: str
    version: str
    help: str
    interface: str
    events_interface: str
    members: tuple
    events: tuple

    @functools.cached_property
    def by_name(self):
        """Members by lower-case name: dispatch names compare case-insensitively."""
        return {m.name.lower(): m for m in self.members}


def _text(raw):
    return raw.decode("utf-8") if raw is not None else ""


def class_key(class_name):
    """A ProgID or CLSID text as the NUL-terminated bytes the library takes. A NUL inside it is
    refused rather than cut at, as Python refuses it in a path."""
    if not isinstance(class_name, str):
        raise TypeError(f"a ProgID or CLSID text is expected, not {type(class_name).__name__}")
    if "\0" in class_name:
        raise ValueError(f"a ProgID or CLSID text contains a NUL character: {quoted(class_name)}")
    return class_name.encode()


def _load(key):
    library = _capi.LibraryInfo()
    check(_capi.lib.lvo_type_library(key, ctypes.byref(library)))
    count = ctypes.c_int32()
    check(_capi.lib.lvo_member_count(key, ctypes.byref(count)))
    members = []
    for index in range(count.value):
        info = _capi.MemberInfo()
        check(_capi.lib.lvo_member(key, index, ctypes.byref(info)))
        params = []
        for p in range(info.param_count):
            param = _capi.ParamInfo()
            check(_capi.lib.lvo_parameter(key, index, p, ctypes.byref(param)))
            params.append(Param(_text(param.name), param.type))
        members.append(Member(_text(info.name), info.dispid, info.kind, info.type, tuple(params)))
    check(_capi.lib.lvo_event_count(key, ctypes.byref(count)))
    events = []
    for index in range(count.value):
        info = _capi.EventInfo()
        check(_capi.lib.lvo_event(key, index, ctypes.byref(info)))
        events.append(Event(_text(info.name), info.dispid, _text(info.argument_name)))
    return TypeInfo(
        library=_text(library.name),
        version=f"{library.version_major}.{library.version_minor}",
        help=_text(library.help),
        interface=_text(library.dispatch_name),
        events_interface=_text(library.events_name),
        members=tuple(members),
        events=tuple(events),
    )


def type_info(class_name):
    """The type information of the class with this ProgID or CLSID text (any case)."""
    key = class_key(class_name)
    try:
        return loaded_type_info(key.lower())
    except DispatchError:
        return _load(key)  # no such class: the library's refusal names it as the caller spelt it


@functools.cache
def loaded_type_info(key):
    """The type information of a class by its key in lower case (names compare without regard to
    ASCII case, as the library compares them), read from the library once."""
    return _load(key)
