#!/usr/bin/python3
"""The control's events in an asyncio program: the thread's message descriptor is a reader of the
event loop, so events fire while the loop waits for anything else.

Opens COM7 (mapped to a device by the [Ports] section of Linvo.ini in the current directory, e.g.
COM7=/dev/ttyUSB0), sends the command "S1" with its response received in the background, awaits
the response event and prints it with the response data.
"""

import asyncio
import sys

import linvo


async def main():
    loop = asyncio.get_running_loop()
    response = loop.create_future()

    class Events:
        def OnlvoReceiveResponseEvent(self, lResponse):
            response.set_result(lResponse)

    fd = linvo.message_fd()
    loop.add_reader(fd, linvo.pump)  # handles the queued messages, firing the events
    try:
        with linvo.DispatchWithEvents("LINVO.LinvoCtrl.1", Events) as ctl:
            ctl.PortNo = 7
            ctl.DSRCheck = False
            if ctl.lvoOpenPort() != 0:
                print("lvoOpenPort failed")
                return 1
            ctl.SendData = "S1"
            print("lvoSendCommandRR(2, 3000) ->", ctl.lvoSendCommandRR(2, 3000))  # 1: started
            code = await asyncio.wait_for(response, 5)
            print("lvoReceiveResponseEvent", code, "PollCmdResData", repr(ctl.PollCmdResData))
            ctl.lvoClosePort()
            return 0 if code == 10 else 1
    finally:
        loop.remove_reader(fd)


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
