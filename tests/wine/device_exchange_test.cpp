// The Windows library (linvo.dll, through its C interface only) against a device on a real COM
// port: LINVO_E2E_PORT names its number. scripts/run-windows-tests.sh maps a COM port of the
// emulator's prefix to a pseudo-terminal served by the Linux linvo-sim
// (--data READY --data-reply OK) and runs this program with it, and once more with the port
// mapped to ser2net serving that pseudo-terminal over RFC 2217 (LINVO_E2E_PORTS). Without the
// variables every test is skipped.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "linvo/linvo.hpp"

namespace {

int PortFromEnvironment() {
  const char* port = std::getenv("LINVO_E2E_PORT");
  return port == nullptr ? 0 : std::atoi(port);
}

class DeviceExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    m_port = PortFromEnvironment();
    if (m_port <= 0) GTEST_SKIP() << "LINVO_E2E_PORT names no COM port of a device";
    // The trace goes to the work directory the script gives us; LINVO_E2E_PORTS, when set, is a
    // [Ports] line that maps the port (a network address: COM9=rfc2217://127.0.0.1:4001).
    std::ofstream ini("Linvo.ini");
    ini << "[Log]\nLogging=1\nLogFileName=.\\Linvo%03d.log\n";
    if (const char* ports = std::getenv("LINVO_E2E_PORTS")) ini << "[Ports]\n" << ports << "\n";
  }

  // Opens the port with the line properties a pseudo-terminal behind the emulator allows: it
  // has no modem lines, so the DSR and CTS checks are off.
  void Open(linvo::Object& ctl) {
    ctl.Put("PortNo", m_port);
    ctl.Put("BaudRate", 19200);
    ctl.Put("DataBit", std::string("8"));
    ctl.Put("Parity", std::string("N"));
    ctl.Put("DSRCheck", false);
    ctl.Put("CTSCheck", false);
    ctl.Put("ACKTimer", 2000);
    ctl.Put("ResponseTimer", 2000);
    ASSERT_EQ(std::get<int32_t>(ctl.Call("lvoOpenPort")), 0);
  }

  static std::string Text(const linvo::Value& value) { return std::get<std::string>(value); }

  int m_port = 0;
};

TEST_F(DeviceExchange, CommandAndDataExchangeWithTheirTrace) {
  {
    linvo::Object ctl("LINVO.LinvoCtrl.1");
    Open(ctl);
    ctl.Put("SendData", std::string("S1"));
    EXPECT_EQ(std::get<int32_t>(ctl.Call("lvoSendCommandRR", {0, 3000})), 10);
    EXPECT_EQ(Text(ctl.Get("PollCmdComSts")), "00");
    EXPECT_EQ(Text(ctl.Get("PollCmdErr")), "00");
    EXPECT_EQ(Text(ctl.Get("PollCmdResData")), "READY");
    ctl.Put("SendData", std::string("HELLO"));
    EXPECT_EQ(std::get<int32_t>(ctl.Call("lvoSendDataBCCRR", {0, 2})), 0);
    EXPECT_EQ(Text(ctl.Get("ReceiveData")), "OK");
    EXPECT_EQ(std::get<int32_t>(ctl.Get("ReceiveDataLen")), 2);
    EXPECT_EQ(std::get<int32_t>(ctl.Call("lvoClosePort")), 0);
  }
  char name[32];
  std::snprintf(name, sizeof name, "Linvo%03d.log", m_port);
  std::ifstream file(name);
  std::stringstream trace;
  trace << file.rdbuf();
  EXPECT_NE(trace.str().find("lvoSendCommandRR"), std::string::npos) << name;
  EXPECT_NE(trace.str().find("lvoSendDataBCCRR"), std::string::npos) << name;
}

TEST_F(DeviceExchange, BackgroundResponseArrivesAsAnEvent) {
  linvo::Object ctl("LINVO.LinvoCtrl.1");
  Open(ctl);
  std::vector<std::pair<std::string, int32_t>> heard;
  const int32_t cookie = ctl.Connect(
      [&](int32_t, const char* event, int32_t argument) { heard.emplace_back(event, argument); });
  ctl.Put("SendData", std::string("S1"));
  ASSERT_EQ(std::get<int32_t>(ctl.Call("lvoSendCommandRR", {2, 3000})), 1);  // started
  for (int i = 0; i < 50 && heard.empty(); ++i) linvo::Pump(100);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0], (std::pair<std::string, int32_t>{"lvoReceiveResponseEvent", 10}));
  EXPECT_EQ(Text(ctl.Get("PollCmdResData")), "READY");
  EXPECT_EQ(std::get<int32_t>(ctl.Call("lvoClosePort")), 0);
  ctl.Disconnect(cookie);
}

// The line calls the control leaves alone on a port without them: modem status, the DTR escape
// and line events. A real port has them; the emulator's ports on pseudo-terminals do not, and
// the test is skipped then with the system's reason for each.
TEST_F(DeviceExchange, ModemLinesAndLineEventsOfThePort) {
  const std::string name = "\\\\.\\COM" + std::to_string(m_port);
  HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << name << ": error " << GetLastError();
  std::string missing;
  const auto refused = [&](const char* call) {
    missing += std::string(missing.empty() ? "" : ", ") + call + " fails with error " +
               std::to_string(GetLastError());
  };
  DWORD lines = 0;
  if (!GetCommModemStatus(port, &lines)) refused("GetCommModemStatus");
  if (!EscapeCommFunction(port, SETDTR)) refused("EscapeCommFunction(SETDTR)");

  // A command frame makes the device answer, which must come as a received-character event.
  OVERLAPPED waiting{};
  waiting.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD events = 0;
  bool heard = false;
  if (SetCommMask(port, EV_RXCHAR) &&
      (WaitCommEvent(port, &events, &waiting) || GetLastError() == ERROR_IO_PENDING)) {
    const char frame[] = "\x04\x02S1\x03\x61";  // EOT STX "S1" ETX BCC
    OVERLAPPED writing{};
    writing.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    if (!WriteFile(port, frame, sizeof frame - 1, &written, &writing)) {
      GetOverlappedResult(port, &writing, &written, TRUE);
    }
    CloseHandle(writing.hEvent);
    if (WaitForSingleObject(waiting.hEvent, 2000) != WAIT_OBJECT_0) CancelIoEx(port, &waiting);
    DWORD ignored = 0;
    heard = GetOverlappedResult(port, &waiting, &ignored, TRUE) != FALSE;
    if (!heard) refused("WaitCommEvent");
  } else {
    refused("WaitCommEvent");
  }
  CloseHandle(waiting.hEvent);
  CloseHandle(port);
  if (!missing.empty()) GTEST_SKIP() << "the port has no modem lines or line events: " << missing;
  EXPECT_TRUE(heard);
  EXPECT_NE(events & EV_RXCHAR, 0u);
}

}  // namespace
