' The control as a VBScript host drives it: created by ProgID, properties in any case, values
' coerced, methods (the text utilities among them), errors a script can read, and an exchange
' with the device on the COM port LINVO_E2E_PORT names (skipped without it). Prints one line per
' check and exits with the number of failed checks.
Option Explicit

Dim checks, failures
checks = 0
failures = 0

Sub Check(name, actual, expected)
  checks = checks + 1
  If TypeName(actual) = TypeName(expected) And actual = expected Then
    WScript.Echo "ok - " & name
  Else
    failures = failures + 1
    WScript.Echo "not ok - " & name & ": got " & TypeName(actual) & " [" & actual & "], expected " _
      & TypeName(expected) & " [" & expected & "]"
  End If
End Sub

Dim ctl
Set ctl = CreateObject("LINVO.LinvoCtrl.1")

' Properties, in any case, with their types.
Check "PortNo default", ctl.PortNo, CLng(1)
ctl.portno = 3
Check "portno set in lower case", ctl.PORTNO, CLng(3)
ctl.BaudRate = "19200"
Check "BaudRate from text", ctl.BaudRate, CLng(19200)
ctl.BaudRate = 14400
Check "BaudRate 14400 refused", ctl.BaudRate, CLng(19200)
ctl.DSRCheck = False
Check "DSRCheck", ctl.DSRCheck, False
ctl.SendData = 42
Check "SendData from a number", ctl.SendData, "42"
Check "Version", ctl.Version, "1, 0, 0, 0"

' Methods; variables go by reference.
Dim mode, text
mode = 0
text = "AB"
Check "lvoCharAscHConv to hex", ctl.lvoCharAscHConv(mode, text), "4142"
Check "lvoCharAscHConv from hex", ctl.lvoCharAscHConv(1, "4142"), "AB"
Check "lvoDataSumCalc", ctl.lvoDataSumCalc("AB"), "83"
Check "lvoJISconvSJIS", ctl.lvoJISconvSJIS(0, "2422"), "82A0"
Check "lvoComBufferClear(3)", ctl.lvoComBufferClear(3), CLng(100)

' Errors a script can read.
On Error Resume Next
ctl.PortNo = "abc"
Check "bad value: number", Err.Number, &H80020005
Check "bad value: source", Err.Source, "LINVO.LinvoCtrl.1"
Check "bad value: description", Err.Description, "'PortNo': type mismatch: text ""abc"" is not a long"
Err.Clear
Check "bad value leaves PortNo", ctl.PortNo, CLng(3)
ctl.NoSuchMember = 1
Check "unknown member", Err.Number, CLng(438)
Err.Clear
Dim r
r = ctl.lvoSendCommandRR(1)
Check "argument count: number", Err.Number, &H8002000E
Check "argument count: description", Err.Description, _
  "'lvoSendCommandRR' takes 2 arguments (iRecMode, lBusyTimeOut), got 1"
Err.Clear
On Error GoTo 0

' An exchange with linvo-sim (--data READY --data-reply OK).
Dim port
port = CreateObject("WScript.Shell").Environment("PROCESS")("LINVO_E2E_PORT")
If port = "" Then
  WScript.Echo "skip - exchange: LINVO_E2E_PORT names no COM port"
Else
  ctl.PortNo = CLng(port)
  ctl.Parity = "N"
  ctl.CTSCheck = False
  Check "lvoOpenPort", ctl.lvoOpenPort(), CLng(0)
  ctl.SendData = "S1"
  Check "lvoSendCommandRR", ctl.lvoSendCommandRR(0, 3000), CLng(10)
  Check "PollCmdResData", ctl.PollCmdResData, "READY"
  ctl.SendData = "HELLO"
  Check "lvoSendDataBCCRR", ctl.lvoSendDataBCCRR(0, 2), CLng(0)
  Check "ReceiveData", ctl.ReceiveData, "OK"
  Check "ReceiveDataLen", ctl.ReceiveDataLen, CLng(2)
  Check "lvoClosePort", ctl.lvoClosePort(), CLng(0)
End If

WScript.Echo checks & " checks, " & failures & " failed"
WScript.Quit failures
