"""The machine's serial ports and the settings file, as the library sees them."""

import ctypes
import os
import typing

from . import _capi
from ._errors import check


class Port(typing.NamedTuple):
    """A COM name a host can open (PortNo n is "COMn") and the device it reaches ("" when it
    stopped resolving while the list was made)."""

    name: str
    device: str


class Adapter(typing.NamedTuple):
    """A serial adapter no COM name reaches yet, with the [Ports] line of Linvo.ini that would
    map it ("" when no number is free)."""

    name: str  # its stable /dev/serial/by-id name, else its device
    device: str
    vendor_id: str  # USB ids ("0403", "6001"); "" for other buses
    product_id: str
    product: str
    ports_line: str


class SettingsFile(typing.NamedTuple):
    """The settings file the library reads, and why a Linvo.ini that is there is not used ("" when
    none is)."""

    file: str
    unused: str


def _text(raw):
    # Paths and device texts are the system's bytes: decoded as the os module decodes paths.
    return os.fsdecode(raw) if raw is not None else ""


def _listing():
    """Both lists of one lvo_list_ports."""
    lib = _capi.lib
    handle = ctypes.c_void_p()
    check(lib.lvo_list_ports(ctypes.byref(handle)))
    try:
        count = ctypes.c_int32()
        check(lib.lvo_port_count(handle, ctypes.byref(count)))
        ports = []
        for index in range(count.value):
            info = _capi.PortInfo()
            check(lib.lvo_port(handle, index, ctypes.byref(info)))
            ports.append(Port(_text(info.name), _text(info.device)))
        check(lib.lvo_adapter_count(handle, ctypes.byref(count)))
        adapters = []
        for index in range(count.value):
            info = _capi.AdapterInfo()
            check(lib.lvo_adapter(handle, index, ctypes.byref(info)))
            adapters.append(Adapter(*(_text(getattr(info, f)) for f in Adapter._fields)))
        return ports, adapters
    finally:
        lib.lvo_port_list_free(handle)


def ports():
    """The COM names a host can open now (the control's GetPortNames), in number order, each
    with its device: [Port(name='COM3', device='/dev/ttyUSB0'), ...]."""
    return _listing()[0]


def unmapped_ports():
    """The serial adapters no COM name reaches yet (USB, ACM; none on Windows), each with the
    [Ports] line that would map it."""
    return _listing()[1]


def settings_file():
    """The settings file (Linvo.ini) the library reads now: SettingsFile(file, unused)."""
    info = _capi.SettingsInfo()
    check(_capi.lib.lvo_settings_file(ctypes.byref(info)))
    return SettingsFile(_text(info.file), _text(info.unused))
