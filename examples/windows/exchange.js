// cscript //nologo exchange.js [port]: one command exchange with the device on COMn.
var port = WScript.Arguments.length > 0 ? parseInt(WScript.Arguments(0), 10) : 7;

var ctl = new ActiveXObject("LINVO.LinvoCtrl.1");
ctl.PortNo = port;
ctl.BaudRate = 19200;
ctl.Parity = "N";
WScript.Echo("lvoOpenPort -> " + ctl.lvoOpenPort());

ctl.SendData = "S1";
WScript.Echo("lvoSendCommandRR S1 -> " + ctl.lvoSendCommandRR(0, 3000) + " " + ctl.PollCmdResData);

try {
  ctl.NoSuchMethod();
} catch (e) {
  WScript.Echo("error " + (e.number >>> 0).toString(16) + ": " + e.description);
}

WScript.Echo("lvoClosePort -> " + ctl.lvoClosePort());
