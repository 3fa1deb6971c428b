' Creates the control by ProgID and calls a method; prints the outcome and exits with 0 only when
' both worked.
On Error Resume Next
Dim ctl
Set ctl = CreateObject("LINVO.LinvoCtrl.1")
If Err.Number <> 0 Then
  WScript.Echo "not created: " & Hex(Err.Number) & " " & Err.Description
  WScript.Quit 1
End If
WScript.Echo "created: lvoCharAscHConv(0, ""AB"") = " & ctl.lvoCharAscHConv(0, "AB")
WScript.Quit 0
