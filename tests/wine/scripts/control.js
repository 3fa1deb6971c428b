// The control as a JScript host drives it: created by ProgID, properties in any case, methods,
// errors caught with their number and description, and an exchange with the device on the COM
// port LINVO_E2E_PORT names (skipped without it). Prints one line per check and exits with the
// number of failed checks.
var checks = 0, failures = 0;

function check(name, actual, expected) {
  checks++;
  if (typeof actual === typeof expected && actual === expected) {
    WScript.Echo("ok - " + name);
  } else {
    failures++;
    WScript.Echo("not ok - " + name + ": got " + typeof actual + " [" + actual + "], expected " +
                 typeof expected + " [" + expected + "]");
  }
}

// The error a call raises: its number (as an unsigned HRESULT in hexadecimal) and description.
function failure(call) {
  try {
    call();
  } catch (e) {
    return (e.number >>> 0).toString(16) + " " + e.description;
  }
  return "no error";
}

var ctl = new ActiveXObject("LINVO.LinvoCtrl.1");

check("PortNo default", ctl.PortNo, 1);
ctl.PORTNO = 4;
check("PORTNO set in upper case", ctl.portno, 4);
ctl.ResponseTimer = "2500";
check("ResponseTimer from text", ctl.ResponseTimer, 2500);
ctl.DSRCheck = 0;
check("DSRCheck from a number", ctl.DSRCheck, false);
check("lvoCharAscHConv", ctl.lvoCharAscHConv(0, "OK"), "4F4B");
check("lvoDataSumCalc", ctl.lvoDataSumCalc("OK"), "9A");

check("bad value", failure(function () { ctl.BaudRate = "fast"; }),
      "80020005 'BaudRate': type mismatch: text \"fast\" is not a long");
check("overflow", failure(function () { ctl.PortNo = 1e12; }),
      "8002000a 'PortNo': overflow: number 1000000000000 is outside the range of a long");
check("unknown member", failure(function () { ctl.NoSuchMethod(); }),
      "800a01b6 Object doesn't support this property or method");

var port = new ActiveXObject("WScript.Shell").Environment("PROCESS")("LINVO_E2E_PORT");
if (port === "") {
  WScript.Echo("skip - exchange: LINVO_E2E_PORT names no COM port");
} else {
  ctl.PortNo = parseInt(port, 10);
  ctl.BaudRate = 19200;
  ctl.Parity = "N";
  ctl.CTSCheck = false;
  check("lvoOpenPort", ctl.lvoOpenPort(), 0);
  ctl.SendData = "S1";
  check("lvoSendCommandRR", ctl.lvoSendCommandRR(0, 3000), 10);
  check("PollCmdComSts", ctl.PollCmdComSts, "00");
  check("PollCmdResData", ctl.PollCmdResData, "READY");
  check("lvoClosePort", ctl.lvoClosePort(), 0);
}

WScript.Echo(checks + " checks, " + failures + " failed");
WScript.Quit(failures);
