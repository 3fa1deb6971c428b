"""Events of a background receive against linvo-sim: through DispatchWithEvents, WithEvents,
asyncio, and what a failing handler does."""

import asyncio
import functools
import time

import pytest

import linvo


def pump_until(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        linvo.pump(deadline - time.monotonic())
    return condition()


def start_background_command(ctl, port):
    ctl.PortNo = port
    ctl.DSRCheck = False
    ctl.CTSCheck = False
    assert ctl.lvoOpenPort() == 0
    ctl.SendData = "S1"
    assert ctl.lvoSendCommandRR(2, 3000) == 1  # started; the response comes as an event


class Recorder:
    def __init__(self):
        self.events = []

    def OnlvoReceiveResponseEvent(self, lResponse):
        # self is the control itself under DispatchWithEvents, so results can be read here.
        self.events.append((lResponse, self.PollCmdResData if hasattr(self, "PortNo") else None))


def test_dispatch_with_events(line):
    with linvo.DispatchWithEvents(linvo.PROGID, Recorder) as ctl:
        assert isinstance(ctl, Recorder) and ctl.events == []  # Recorder.__init__ ran
        start_background_command(ctl, line)
        assert pump_until(lambda: ctl.events)
        assert ctl.events == [(10, "READY")]
        assert ctl.lvoClosePort() == 0


def test_with_events_on_an_existing_object(line):
    class Lower:  # handler names match in any case
        def __init__(self):
            self.seen = []

        def onLVORECEIVERESPONSEEVENT(self, argument):
            self.seen.append(argument)

    with linvo.Dispatch(linvo.PROGID) as ctl:
        first, second = linvo.WithEvents(ctl, Recorder), linvo.WithEvents(ctl, Lower)
        start_background_command(ctl, line)
        assert pump_until(lambda: first.events and second.seen)
        assert first.events == [(10, None)] and second.seen == [10]
        assert ctl.PollCmdResData == "READY"
        ctl.lvoClosePort()


def test_asyncio_reader_drives_events(line):
    async def exchange():
        loop = asyncio.get_running_loop()
        arrived = loop.create_future()

        class Events:
            def OnlvoReceiveResponseEvent(self, lResponse):
                arrived.set_result(lResponse)

        fd = linvo.message_fd()
        loop.add_reader(fd, linvo.pump)
        try:
            with linvo.DispatchWithEvents(linvo.PROGID, Events) as ctl:
                start_background_command(ctl, line)
                result = await asyncio.wait_for(arrived, 5)
                data = ctl.PollCmdResData
                ctl.lvoClosePort()
                return result, data
        finally:
            loop.remove_reader(fd)

    assert asyncio.run(exchange()) == (10, "READY")


def test_handler_exception_is_raised_by_pump(line):
    class Failing:
        def OnlvoReceiveResponseEvent(self, lResponse):
            raise ValueError(f"handler saw {lResponse}")

    with linvo.DispatchWithEvents(linvo.PROGID, Failing) as ctl:
        start_background_command(ctl, line)
        with pytest.raises(ValueError, match="handler saw 10"):
            pump_until(lambda: False)
        ctl.lvoClosePort()


def test_pump_and_message_fd_without_messages():
    started = time.monotonic()
    assert linvo.pump(0.05) == 0
    assert time.monotonic() - started >= 0.04  # it waited in the kernel for the time given
    assert linvo.message_fd() == linvo.message_fd() >= 0


def passed_on(method):
    @functools.wraps(method)
    def wrapper(self, *args):
        return method(self, *args)

    return wrapper


class Base:
    def __init__(self):
        self.events = []  # set up by an inherited __init__


class Stateful(Base):
    count = 0  # state the class defines
    limit: int  # or only declares

    def OnlvoReceiveResponseEvent(self, lResponse):
        self.count += 1
        self.last = lResponse
        self.seen = True  # first assigned in a handler method

        def later():
            self.later = lResponse  # in a function nested in one

        later()

    @passed_on  # what a decorator wraps is the handler's code
    def note(self, text):
        self.note_text = text


def test_handler_state_and_misspelled_members(workdir):
    ctl = linvo.DispatchWithEvents(linvo.PROGID, Stateful)
    assert ctl.events == []
    ctl.OnlvoReceiveResponseEvent(10)
    ctl.note("x")
    assert (ctl.count, ctl.last, ctl.seen, ctl.later, ctl.note_text) == (1, 10, True, 10, "x")
    # From outside too: names the handler's code assigns or its class defines, and members.
    ctl.events, ctl.count, ctl.limit = [1], 5, 3
    ctl.portno = 7
    assert (ctl.events, ctl.count, ctl.limit, ctl.PortNo) == ([1], 5, 3, 7)
    # Any other name is refused, the object and the control left as they were.
    for name in ["PortN0", "Seen", "_handle", "__dict__", "PortNo\0"]:
        with pytest.raises(AttributeError, match="_DLinvo has no member "):
            setattr(ctl, name, 9)
        assert vars(ctl).get(name) != 9
    assert ctl.PortNo == 7
    ctl._release()


def test_state_first_set_by_the_event_handler(line):
    class Remember:
        def OnlvoReceiveResponseEvent(self, lResponse):
            self.response = (lResponse, self.PollCmdResData)

    with linvo.DispatchWithEvents(linvo.PROGID, Remember) as ctl:
        ctl.response = None  # a name the handler assigns may be set up from outside too
        start_background_command(ctl, line)
        assert pump_until(lambda: ctl.response is not None)
        assert ctl.response == (10, "READY")
        ctl.lvoClosePort()
