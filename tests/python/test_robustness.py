"""Hostile and careless input to the package: copies of a control, values that are not class
names, and error messages built from what the caller passed."""

import copy
import gc
import mmap
import pickle

import pytest

import linvo


class Handlers:
    def OnlvoReceiveResponseEvent(self, lResponse):
        pass


class CopyingHandlers(Handlers):
    # A handler class that makes itself copyable cannot make its control so.
    def __copy__(self):
        clone = object.__new__(type(self))
        clone.__dict__.update(vars(self))
        return clone

    def __reduce_ex__(self, protocol):
        return object.__reduce_ex__(self, protocol)


COPIES = [copy.copy, copy.deepcopy] + [
    lambda c, p=p: pickle.dumps(c, protocol=p) for p in range(pickle.HIGHEST_PROTOCOL + 1)
]


@pytest.mark.parametrize(
    "create",
    [
        lambda: linvo.Dispatch(linvo.PROGID),
        lambda: linvo.DispatchWithEvents(linvo.PROGID, Handlers),
        lambda: linvo.DispatchWithEvents(linvo.PROGID, CopyingHandlers),
    ],
    ids=["Dispatch", "DispatchWithEvents", "handler-with-copy-hooks"],
)
def test_a_control_cannot_be_copied_or_pickled(workdir, create):
    ctl = create()
    for make_copy in COPIES:
        with pytest.raises(TypeError, match="control cannot be copied or pickled: create another"):
            make_copy(ctl)
    # Nothing else came to own the native object, and the original still works.
    handle = ctl._handle.value
    owners = [o for o in gc.get_objects() if isinstance(o, linvo.CDispatch)
              and getattr(o.__dict__.get("_handle"), "value", None) == handle]
    assert owners == [ctl]
    ctl.PortNo = 9
    assert ctl.PortNo == 9 and ctl.lvoDataSumCalc("ABC") == "C6"
    ctl._release()


CREATORS = {
    "Dispatch": linvo.Dispatch,
    "DispatchWithEvents": lambda name: linvo.DispatchWithEvents(name, Handlers),
    "type_info": linvo.type_info,
}


@pytest.mark.parametrize("creator", CREATORS.values(), ids=CREATORS.keys())
@pytest.mark.parametrize(
    "name, error, message",
    [
        (None, TypeError, "a ProgID or CLSID text is expected, not NoneType"),
        (b"LINVO.LinvoCtrl.1", TypeError, "a ProgID or CLSID text is expected, not bytes"),
        (123, TypeError, "a ProgID or CLSID text is expected, not int"),
        # Refused, not cut at the NUL into the valid ProgID before it.
        ("LINVO.LinvoCtrl.1\0junk", ValueError,
         r"a ProgID or CLSID text contains a NUL character: 'LINVO.LinvoCtrl.1\x00junk'"),
    ],
    ids=["None", "bytes", "int", "NUL"],
)
def test_class_names_that_are_not_text_are_refused(workdir, creator, name, error, message):
    with pytest.raises(error) as raised:
        creator(name)
    assert str(raised.value) == message


@pytest.fixture
def ctl(workdir):
    with linvo.Dispatch(linvo.PROGID) as control:
        yield control


def huge_text():
    # 4 GiB + 1 bytes of address space, never touched: the length must not wrap to 1.
    try:
        return memoryview(mmap.mmap(-1, (1 << 32) + 1, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS))
    except OSError:
        pytest.skip("no 4 GiB of address space to map")


@pytest.mark.parametrize(
    "action, error, message",
    [
        # Names are quoted escaped and bounded; a NUL does not cut them.
        (lambda c: setattr(c, "PortNo\0junk", 7), AttributeError,
         r"_DLinvo has no member 'PortNo\x00junk'"),
        (lambda c: setattr(c, "x" * 1_000_000, 7), AttributeError,
         f"_DLinvo has no member '{'x' * 64}'..."),
        # Numbers too large to print (Python refuses str() beyond 4300 digits).
        (lambda c: setattr(c, "PortNo", 1 << 20000), linvo.DispatchError,
         "the number of 20001 bits is out of range (0x8002000A)"),
        (lambda c: setattr(c, "SendData", huge_text()), linvo.DispatchError,
         "a text of 4294967297 bytes is too long (0x8002000A)"),
        # What the creators take besides the class name.
        (lambda c: linvo.Dispatch(linvo.PROGID, encoding="no-such-codec"), LookupError,
         "unknown encoding: no-such-codec"),
        (lambda c: linvo.Dispatch(linvo.PROGID, encoding=None), TypeError, "must be str, not None"),
        (lambda c: linvo.DispatchWithEvents(linvo.PROGID, Handlers()), TypeError,
         "handlers must be a class, not Handlers"),
        (lambda c: linvo.WithEvents(None, Handlers), TypeError,
         "a control from linvo.Dispatch is expected, not NoneType"),
    ],
    ids=["NUL-in-name", "long-name", "huge-number", "huge-text", "unknown-encoding",
         "encoding-None", "handlers-instance", "WithEvents-None"],
)
def test_careless_input_gets_a_clear_bounded_error(ctl, action, error, message):
    with pytest.raises(error) as raised:
        action(ctl)
    assert message in str(raised.value) and len(str(raised.value)) < 200
    assert ctl.PortNo == 1  # nothing reached the control
