"""Events of a background receive against linvo-sim: through DispatchWithEvents, WithEvents,
asyncio, and what a failing handler does."""

import asyncio
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
