"""A control whose last reference goes away where the library cannot destroy it at once (on
another thread, inside its own event handler) is still released: on its own thread, at that
thread's next pump. The port it held shows it: a new control can open the port only then."""

import threading
import time

import linvo

PORT_HELD = 30  # lvoOpenPort of a port another control holds open


def opened_control(port, handlers=None):
    if handlers:
        ctl = linvo.DispatchWithEvents(linvo.PROGID, handlers)
    else:
        ctl = linvo.Dispatch(linvo.PROGID)
    ctl.PortNo = port
    ctl.DSRCheck = False
    ctl.CTSCheck = False
    assert ctl.lvoOpenPort() == 0
    return ctl


def open_by_new_control(port):
    """What lvoOpenPort answers a new control (which is released again at once)."""
    with linvo.Dispatch(linvo.PROGID) as ctl:
        ctl.PortNo = port
        ctl.DSRCheck = False
        ctl.CTSCheck = False
        return ctl.lvoOpenPort()


def test_last_reference_dropped_on_another_thread(line):
    held = [opened_control(line)]
    worker = threading.Thread(target=held.clear)  # the finaliser runs there
    worker.start()
    worker.join()
    assert open_by_new_control(line) == PORT_HELD  # it waits for its own thread
    linvo.pump(0)
    assert open_by_new_control(line) == 0


def test_last_reference_dropped_inside_its_own_event_handler(line):
    heard = []

    class DropSelf:
        def OnlvoReceiveResponseEvent(self, lResponse):
            heard.append(lResponse)
            held.clear()  # the finaliser runs as the handler returns, inside the event

    held = [opened_control(line, DropSelf)]
    held[0].SendData = "S1"
    assert held[0].lvoSendCommandRR(2, 3000) == 1  # the response comes as an event
    deadline = time.monotonic() + 5
    while not heard and time.monotonic() < deadline:
        linvo.pump(0.1)
    assert heard == [10] and not held
    assert open_by_new_control(line) == PORT_HELD  # released after the handler, at the next pump
    linvo.pump(0)
    assert open_by_new_control(line) == 0
