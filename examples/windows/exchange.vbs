' cscript //nologo exchange.vbs [port]: one command and one data exchange with the device on COMn.
Dim port, ctl
port = 7
If WScript.Arguments.Count > 0 Then port = CLng(WScript.Arguments(0))

Set ctl = CreateObject("LINVO.LinvoCtrl.1")
ctl.PortNo = port
ctl.BaudRate = 19200
ctl.Parity = "N"
WScript.Echo "lvoOpenPort -> " & ctl.lvoOpenPort()

ctl.SendData = "S1"
WScript.Echo "lvoSendCommandRR S1 -> " & ctl.lvoSendCommandRR(0, 3000) & " " & ctl.PollCmdResData
ctl.SendData = "HELLO"
WScript.Echo "lvoSendDataBCCRR HELLO -> " & ctl.lvoSendDataBCCRR(0, 2) & " " & ctl.ReceiveData

' A bad value raises an error whose description says why.
On Error Resume Next
ctl.ACKTimer = "soon"
WScript.Echo "error " & Hex(Err.Number) & ": " & Err.Description
On Error GoTo 0

WScript.Echo "lvoClosePort -> " & ctl.lvoClosePort()
