"""Members as attributes: reads, assignments with coercion, method calls, names in any case,
and each kind of failure."""

import pydoc
import threading

import pytest

import linvo


@pytest.fixture
def ctl(workdir):
    with linvo.Dispatch(linvo.PROGID) as control:
        yield control


@pytest.mark.parametrize(
    "name, value, expected",
    [
        ("PortNo", 7, 7),
        ("PortNo", "12", 12),  # text that is a number becomes the long
        ("portno", 9, 9),  # any case
        ("PORTNO", True, 1),  # true is -1 on the wire; PortNo refuses it and keeps 1
        ("PortNo", 257, 1),  # out of range: the control refuses the put, which still succeeds
        ("BaudRate", 12345, 9600),  # not a rate the control accepts
        ("BaudRate", 19200, 19200),
        ("SendData", "S1data", "S1data"),
        ("SendData", 42, "42"),  # a number becomes its decimal text
        ("SendData", b"\x02\xff", "\x02\xff"),  # bytes pass unchanged (latin-1 text)
        ("SendData", None, ""),
        ("Parity", "O", "O"),
        ("DSRCheck", False, False),
        ("dsrcheck", "True", True),
        ("ReceiveData", "ignored", ""),  # a result property keeps its value
    ],
)
def test_property_assign_and_read(ctl, name, value, expected):
    setattr(ctl, name, value)
    got = getattr(ctl, name)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda c: c.lvoCharAscHConv(0, "AB"), "4142"),
        (lambda c: c.LVOCHARASCHCONV(1, "4142"), "AB"),
        (lambda c: c.lvoDataSumCalc("ABC"), "C6"),
        (lambda c: c.lvoResPropertyClear(), None),
        (lambda c: c.lvoClosePort(), 30),  # a port this control never opened
        (lambda c: c.lvoSendCommand(), 101),
    ],
)
def test_method_calls(ctl, call, expected):
    assert call(ctl) == expected


@pytest.mark.parametrize(
    "action, error, code",
    [
        (lambda c: c.NoSuchMember, AttributeError, None),
        (lambda c: setattr(c, "NoSuchMember", 1), AttributeError, None),
        (lambda c: c.lvoNoSuchMethod(), AttributeError, None),
        (lambda c: setattr(c, "PortNo", "abc"), linvo.DispatchError, linvo.E_TYPEMISMATCH),
        (lambda c: setattr(c, "PortNo", 1 << 32), linvo.DispatchError, linvo.E_OVERFLOW),
        (lambda c: setattr(c, "PortNo", 1 << 70), linvo.DispatchError, linvo.E_OVERFLOW),
        (lambda c: c.lvoSendCommandRR(0), linvo.DispatchError, linvo.E_BADPARAMCOUNT),
        (lambda c: c.lvoOpenPort(1), linvo.DispatchError, linvo.E_BADPARAMCOUNT),
        (lambda c: c.lvoSendCommandRR("x", 1), linvo.DispatchError, linvo.E_TYPEMISMATCH),
        (lambda c: setattr(c, "lvoOpenPort", 1), linvo.DispatchError, linvo.E_MEMBERNOTFOUND),
        (lambda c: setattr(c, "SendData", 1.5), TypeError, None),
    ],
)
def test_errors(ctl, action, error, code):
    with pytest.raises(error) as raised:
        action(ctl)
    if code is not None:
        assert raised.value.code == code
        assert raised.value.message and f"0x{code & 0xFFFFFFFF:08X}" in str(raised.value)


def test_unknown_class_and_released_object(workdir):
    with pytest.raises(linvo.DispatchError) as raised:
        linvo.Dispatch("LINVO.NoSuchCtrl.1")
    assert raised.value.code == linvo.E_CLASSNOTREG
    assert "LINVO.NoSuchCtrl.1" in raised.value.message
    ctl = linvo.Dispatch("{77a0f111-e375-4bd5-a72d-c8d24b8da93a}")  # by CLSID text
    ctl._release()
    with pytest.raises(linvo.DispatchError):
        ctl.PortNo


def test_call_from_another_thread_is_refused(ctl):
    errors = []

    def use():
        try:
            ctl.PortNo = 9
        except linvo.DispatchError as error:
            errors.append(error.code)

    worker = threading.Thread(target=use)
    worker.start()
    worker.join()
    assert errors == [linvo.E_WRONG_THREAD]
    assert ctl.PortNo == 1


def test_dir_and_help_list_members_with_types(ctl):
    names = dir(ctl)
    assert {"PortNo", "SendData", "lvoOpenPort", "lvoJISconvSJIS"} <= set(names)
    text = pydoc.render_doc(ctl, renderer=pydoc.plaintext)
    for line in [
        "PortNo: long",
        "DSRCheck: bool",
        "SendData: str",
        "lvoSendCommandRR(iRecMode: long, lBusyTimeOut: long) -> long",
        "lvoCharAscHConv(lConvMode: long, csQConvStr: str) -> str",
        "lvoResPropertyClear() -> void",
        "lvoReceiveResponseEvent(lResponse)",
    ]:
        assert line in text
    assert ctl.lvoSendCommandRR.__doc__.startswith("lvoSendCommandRR(iRecMode: long")
