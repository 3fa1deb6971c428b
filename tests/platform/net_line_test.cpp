// The network line against servers the test owns on 127.0.0.1: a scripted RFC 2217 peer (what
// goes on the wire, answers, notifications, flow suspend, purge), raw TCP, and a table of faults
// (refused, silent listener, negotiation only, refused option, garbage, close mid-frame) that
// must end in the matching error within their time-out, leaking no descriptor or thread.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/error_text.h"
#include "platform/net/net_url.h"
#include "platform/net/serial_net.h"
#include "platform/net/telnet.h"
#include "support/loopback_server.h"

namespace linvo::platform {
namespace {

namespace tn = telnet;
using test::LoopbackServer;
using test::ServerConnection;
using Bytes = std::vector<uint8_t>;

Bytes Sb(uint8_t command, Bytes value) {
  Bytes wire;
  tn::AppendComPort(wire, command, value);
  return wire;
}

// A scripted RFC 2217 server: accepts the options, answers each COM port request with its value
// (queries with the settings below), records requests and data, and sends what the test queues.
class FakeServer {
 public:
  struct Script {
    bool acceptComPort = true;
    bool answerRequests = true;  // false: negotiation only
    bool answerDtrRts = true;    // false: as a server in front of a device without modem lines
    bool echo = false;           // data goes back as it came
    int answerLimit = -1;        // answers only this many requests (-1: all)
    Bytes greeting = {};         // sent first, before any negotiation
    // On a PURGE-DATA request, sent before the answer.
    Bytes beforePurgeAnswer = {};
  };

  explicit FakeServer(Script script)
      : m_script(std::move(script)), m_server([this](ServerConnection& c) { Serve(c); }) {}

  std::string Url(const std::string& options = "") const {
    return m_server.Url("rfc2217", options);
  }
  // COM port requests received so far (command and value bytes).
  std::vector<Bytes> Requests() {
    std::lock_guard lock(m_mutex);
    return m_requests;
  }
  Bytes Data() {
    std::lock_guard lock(m_mutex);
    return m_data;
  }
  Bytes Wire() {
    std::lock_guard lock(m_mutex);
    return m_wire;
  }
  // Queues bytes for the client and returns once the server took them: they go out before any
  // answer to what the client sends from now on.
  void Send(Bytes bytes) {
    {
      std::lock_guard lock(m_mutex);
      m_outbox.insert(m_outbox.end(), bytes.begin(), bytes.end());
    }
    Await([this] {
      std::lock_guard lock(m_mutex);
      return m_outbox.empty();
    });
  }
  void Close(bool reset) {
    std::lock_guard lock(m_mutex);
    m_close = reset ? 2 : 1;
  }
  // Waits until `done` holds, or two seconds pass.
  template <typename Done>
  bool Await(Done done) {
    for (int i = 0; i < 400; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  std::size_t DataSize() {
    std::lock_guard lock(m_mutex);
    return m_data.size();
  }

 private:
  void Serve(ServerConnection& c) {
    tn::Decoder decoder;
    if (!m_script.greeting.empty()) c.Send(m_script.greeting);
    while (!c.Closed() && !c.Stopping()) {
      Bytes out;
      int close = 0;
      {
        std::lock_guard lock(m_mutex);
        out.swap(m_outbox);
        close = m_close;
      }
      if (!out.empty()) c.Send(out);
      if (close != 0) {
        c.Close(close == 2);
        return;
      }
      const Bytes got = c.Receive(2);
      Bytes data;
      std::vector<tn::Event> events;
      decoder.Feed(got, &data, &events);
      Bytes reply;
      std::lock_guard lock(m_mutex);
      m_wire.insert(m_wire.end(), got.begin(), got.end());
      m_data.insert(m_data.end(), data.begin(), data.end());
      if (m_script.echo) tn::AppendData(reply, data);
      for (const tn::Event& e : events) {
        if (e.kind == tn::Event::Kind::kOption) {
          const bool comPort = e.option == tn::kOptionComPort;
          if (e.code == tn::kWill) {
            tn::AppendOption(reply, comPort && !m_script.acceptComPort ? tn::kDont : tn::kDo,
                             e.option);
          } else if (e.code == tn::kDo) {
            tn::AppendOption(reply, tn::kWill, e.option);
          }
        }
        if (e.kind != tn::Event::Kind::kSubnegotiation || e.payload.empty()) continue;
        m_requests.push_back(e.payload);
        Answer(e.payload, reply);
      }
      if (!reply.empty()) c.Send(reply);
    }
  }

  void Answer(const Bytes& request, Bytes& reply) {
    if (!m_script.answerRequests || m_script.answerLimit == 0) return;
    const uint8_t command = request[0];
    Bytes value(request.begin() + 1, request.end());
    const bool query = std::all_of(value.begin(), value.end(), [](uint8_t b) { return b == 0; });
    switch (command) {
      case tn::kSetBaudRate:
        if (query) value = {0, 0, 0x4B, 0x00};  // 19200
        break;
      case tn::kSetDataSize:
        if (query) value = {7};
        break;
      case tn::kSetParity:
        if (query) value = {tn::kParityEven};
        break;
      case tn::kSetStopSize:
        if (query) value = {tn::kStopTwo};
        break;
      case tn::kSetControl:
        if (!m_script.answerDtrRts && value[0] >= 7 && value[0] <= 12) return;
        break;
      case tn::kPurgeData:
        reply.insert(reply.end(), m_script.beforePurgeAnswer.begin(),
                     m_script.beforePurgeAnswer.end());
        break;
      default:
        return;  // masks and suspend/resume have no answer
    }
    if (m_script.answerLimit > 0) --m_script.answerLimit;
    tn::AppendComPort(reply, static_cast<uint8_t>(command + tn::kServerOffset), value);
  }

  Script m_script;
  std::mutex m_mutex;
  std::vector<Bytes> m_requests;
  Bytes m_data;
  Bytes m_wire;
  Bytes m_outbox;
  int m_close = 0;
  LoopbackServer m_server;  // last: stopped first, while the rest still exists
};

NetUrl Url(const std::string& text) {
  std::string error;
  auto url = ParseNetUrl(text, &error);
  EXPECT_TRUE(url.has_value()) << error;
  return *url;
}

std::unique_ptr<SerialLine> Open(const std::string& text) {
  OpenResult opened = OpenNetLine(Url(text));
  EXPECT_TRUE(opened) << opened.error.message;
  return std::move(opened.line);
}

std::vector<std::string> Notes(SerialLine& line) { return line.TakeNotes(); }

std::string ReadAll(SerialLine& line, std::size_t count, int timeoutMs = 2000) {
  std::string text;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (text.size() < count && std::chrono::steady_clock::now() < until) {
    uint8_t buffer[256];
    const IoResult got = line.ReadAvailable(buffer, sizeof buffer);
    if (got.status != IoStatus::kOk) break;
    text.append(reinterpret_cast<const char*>(buffer), got.bytes);
    if (got.bytes == 0) line.WaitReadable(50, nullptr);
  }
  return text;
}

DeviceControlBlock Block(uint32_t baud, uint8_t parity) {
  DeviceControlBlock dcb;
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = parity;
  dcb.fOutxCtsFlow = true;
  return dcb;
}

TEST(NetLineTest, NegotiatesReadsTheServersSettingsAndSendsChangesInOrder) {
  FakeServer server({});
  auto line = Open(server.Url());
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->DevicePath(), server.Url());
  // The opening: our options, then masks and the four queries.
  const Bytes opening = {tn::kIac, tn::kWill, 0, tn::kIac, tn::kWill, 3, tn::kIac, tn::kWill, 44,
                         tn::kIac, tn::kDo,   0, tn::kIac, tn::kDo,   3};
  const Bytes wire = server.Wire();
  ASSERT_GE(wire.size(), opening.size());
  EXPECT_TRUE(std::equal(opening.begin(), opening.end(), wire.begin()));
  EXPECT_EQ(server.Requests(), (std::vector<Bytes>{{11, 0xFF}, {10, 0x1E}, {1, 0, 0, 0, 0},
                                                   {2, 0}, {3, 0}, {4, 0}}));
  DeviceControlBlock dcb;
  ASSERT_TRUE(line->GetState(&dcb));
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.Parity, kEvenParity);
  EXPECT_EQ(dcb.StopBits, kTwoStopBits);

  ASSERT_TRUE(line->SetState(Block(9600, kNoParity)));
  // Control first (hardware flow, DTR on, RTS on), then what differs from the server's settings.
  const std::vector<Bytes> requests = server.Requests();
  const std::vector<Bytes> applied(requests.begin() + 6, requests.end());
  EXPECT_EQ(applied, (std::vector<Bytes>{{5, 3}, {5, 8}, {5, 11}, {1, 0, 0, 0x25, 0x80}, {2, 8},
                                         {3, 1}, {4, 1}}));
  // Only a change goes out the next time.
  ASSERT_TRUE(line->SetState(Block(0x00FFFF00, kNoParity)));
  EXPECT_EQ(server.Requests().back(), (Bytes{1, 0x00, 0xFF, 0xFF, 0x00}));
  EXPECT_EQ(server.Requests().size(), requests.size() + 1);
  EXPECT_TRUE(Notes(*line).empty());
}

TEST(NetLineTest, DataCarriesByte0xFFBothWays) {
  FakeServer server({.echo = true});
  auto line = Open(server.Url());
  ASSERT_NE(line, nullptr);
  const Bytes data = {0x41, 0xFF, 0x42, 0xFF, 0xFF};
  const IoResult written = line->Write(data.data(), data.size());
  EXPECT_EQ(written.bytes, data.size());
  EXPECT_EQ(ReadAll(*line, data.size()), std::string("A\xFF" "B\xFF\xFF"));
  EXPECT_EQ(server.Data(), data);
  const Bytes wire = server.Wire();
  const Bytes doubled = {0x41, 0xFF, 0xFF, 0x42, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_NE(std::search(wire.begin(), wire.end(), doubled.begin(), doubled.end()), wire.end());
}

TEST(NetLineTest, UnansweredControlRequestsAreNotedOnceAndNotAwaitedAgain) {
  FakeServer server({.answerDtrRts = false});
  // A long time-out: the line must see the requests passed over, not wait for them.
  auto line = Open(server.Url("timeout=20"));
  ASSERT_NE(line, nullptr);
  const auto began = std::chrono::steady_clock::now();
  ASSERT_TRUE(line->SetState(Block(9600, kNoParity)));
  EXPECT_TRUE(line->EscapeFunction(kClrDtr));
  EXPECT_TRUE(line->EscapeFunction(kSetBreak));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
  const std::string url = server.Url();
  EXPECT_EQ(Notes(*line),
            (std::vector<std::string>{
                url + " does not answer SET-CONTROL (DTR); the line no longer waits for such answers",
                url + " does not answer SET-CONTROL (RTS); the line no longer waits for such answers"}));
  EXPECT_TRUE(line->EscapeFunction(kSetRts));
  EXPECT_TRUE(Notes(*line).empty());
  // Every request still goes out.
  EXPECT_TRUE(server.Await([&] { return server.Requests().back() == Bytes{5, 11}; }));
}

TEST(NetLineTest, IgnoringControlAnswersNeitherWaitsNorNotes) {
  FakeServer server({.answerDtrRts = false});
  auto line = Open(server.Url("timeout=20&ign_set_control"));
  ASSERT_NE(line, nullptr);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_TRUE(line->EscapeFunction(kSetDtr));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
  EXPECT_TRUE(server.Await([&] { return server.Requests().back() == Bytes{5, 8}; }));
  EXPECT_TRUE(Notes(*line).empty());
}

TEST(NetLineTest, ALineSettingLeftUnansweredFailsAtTheTimeOut) {
  // The server answers the open's four queries, then nothing more.
  FakeServer server({.answerLimit = 4});
  auto line = Open(server.Url("timeout=0.2"));
  ASSERT_NE(line, nullptr);
  EXPECT_FALSE(line->SetState(Block(9600, kNoParity)));
  const std::vector<std::string> notes = Notes(*line);
  EXPECT_NE(std::find(notes.begin(), notes.end(),
                      server.Url() + " did not answer SET-BAUDRATE within 200 ms"),
            notes.end());
}

TEST(NetLineTest, ModemNotificationsBecomeStatusEventsAndEndWaits) {
  FakeServer server({});
  auto line = Open(server.Url());
  ASSERT_NE(line, nullptr);
  uint32_t status = 0;
  ASSERT_TRUE(line->GetModemStatus(&status));
  EXPECT_EQ(status, kMsCtsOn | kMsDsrOn | kMsRlsdOn) << "ready until the server tells";
  ASSERT_TRUE(line->SetEventMask(kEvCts | kEvDsr | kEvRlsd | kEvRing));
  server.Send(Sb(107, {0x20 | 0x01 | 0x08}));  // DSR on; CTS and carrier went off
  uint32_t events = 0;
  ASSERT_EQ(line->WaitEvent(&events, 2000, nullptr), WaitResult::kReady);
  EXPECT_EQ(events, kEvCts | kEvRlsd) << "DSR stayed on";
  ASSERT_TRUE(line->GetModemStatus(&status));
  EXPECT_EQ(status, kMsDsrOn);
  // A wait for CTS ends when the notification comes.
  server.Send(Sb(107, {0x30 | 0x01}));
  EXPECT_EQ(line->WaitModemLines(kMsCtsOn, 2000, nullptr), WaitResult::kReady);
  ASSERT_EQ(line->WaitEvent(&events, 2000, nullptr), WaitResult::kReady);
  EXPECT_EQ(events, kEvCts);

  FakeServer ignored({});
  auto ready = Open(ignored.Url("ign_modem_state"));
  ASSERT_NE(ready, nullptr);
  ignored.Send(Sb(107, {0x00 | 0x0F}));
  ASSERT_TRUE(ready->SetEventMask(kEvCts | kEvDsr));
  EXPECT_EQ(ready->WaitEvent(&events, 100, nullptr), WaitResult::kTimeout);
  ASSERT_TRUE(ready->GetModemStatus(&status));
  EXPECT_EQ(status, kMsCtsOn | kMsDsrOn | kMsRlsdOn);
}

TEST(NetLineTest, LineStateNotificationsAreLineErrors) {
  FakeServer server({});
  auto line = Open(server.Url());
  ASSERT_NE(line, nullptr);
  ASSERT_TRUE(line->SetEventMask(kEvErr | kEvBreak));
  server.Send(Sb(106, {tn::kLineBreak | tn::kLineParity}));
  uint32_t events = 0;
  ASSERT_EQ(line->WaitEvent(&events, 2000, nullptr), WaitResult::kReady);
  EXPECT_EQ(events, kEvErr | kEvBreak);
  uint32_t errors = 0;
  ASSERT_TRUE(line->ClearError(&errors, nullptr));
  EXPECT_EQ(errors, kCeBreak | kCeRxParity);
}

TEST(NetLineTest, FlowSuspendHoldsWritesUntilResumed) {
  FakeServer server({});
  auto line = Open(server.Url());
  ASSERT_NE(line, nullptr);
  CommTimeouts timeouts;
  timeouts.WriteTotalTimeoutConstant = 100;
  ASSERT_TRUE(line->SetTimeouts(timeouts));
  server.Send(Sb(108, {}));
  // The suspend has arrived once a request sent after it is answered.
  ASSERT_TRUE(line->EscapeFunction(kSetRts));
  const Bytes big(100 * 1024, 0x55);
  const IoResult written = line->Write(big.data(), big.size());
  EXPECT_EQ(written.status, IoStatus::kOk);
  EXPECT_EQ(written.bytes, 64u * 1024) << "the queue fills, then the write time-out passes";
  CommStatus queues;
  ASSERT_TRUE(line->ClearError(nullptr, &queues));
  EXPECT_EQ(queues.cbOutQue, 64u * 1024);
  EXPECT_EQ(server.DataSize(), 0u);
  server.Send(Sb(109, {}));
  EXPECT_TRUE(server.Await([&] { return server.DataSize() == 64u * 1024; }));
  EXPECT_EQ(server.DataSize(), 64u * 1024);
}

TEST(NetLineTest, ReceivePurgeDropsWhatTheServerSentBeforeItsAnswer) {
  FakeServer server({.beforePurgeAnswer = {'l', 'a', 't', 'e'}});
  auto line = Open(server.Url());
  ASSERT_NE(line, nullptr);
  server.Send({'o', 'l', 'd'});
  ASSERT_EQ(ReadAll(*line, 1, 2000).substr(0, 1), "o");
  ASSERT_TRUE(line->Purge(kPurgeRxClear));
  const std::vector<Bytes> requests = server.Requests();
  EXPECT_EQ(requests[requests.size() - 2], (Bytes{12, 1}));
  EXPECT_EQ(requests.back(), (Bytes{1, 0, 0, 0, 0})) << "the rate query behind it";
  uint8_t buffer[16];
  EXPECT_EQ(line->ReadAvailable(buffer, sizeof buffer).bytes, 0u);
  server.Send({'n', 'e', 'w'});
  EXPECT_EQ(ReadAll(*line, 3), "new");
}

TEST(NetLineTest, AServerThatGoesAwayFailsEveryCallWithItsReason) {
  for (const bool reset : {false, true}) {
    FakeServer server({});
    auto line = Open(server.Url());
    ASSERT_NE(line, nullptr);
    ASSERT_TRUE(line->SetEventMask(kEvRxChar));
    server.Send({'p', 'a', 'r', 't', tn::kIac, tn::kSb, 44});  // data, then half a frame
    server.Close(reset);
    EXPECT_EQ(ReadAll(*line, 4), "part") << "bytes that came before the end are delivered";
    EXPECT_EQ(line->WaitReadable(2000, nullptr), WaitResult::kFailed);
    uint8_t buffer[8];
    const IoResult read = line->ReadAvailable(buffer, sizeof buffer);
    EXPECT_EQ(read.status, IoStatus::kWaitFailed);
    EXPECT_EQ(read.error, ECONNRESET) << SystemErrorText(read.error);
    EXPECT_EQ(line->Write(buffer, 1).status, IoStatus::kFailedAtOnce);
    uint32_t status = 0;
    EXPECT_EQ(line->GetModemStatus(&status).error, ECONNRESET);
    uint32_t events = 0;
    EXPECT_EQ(line->WaitEvent(&events, 2000, nullptr).error, ECONNRESET);
    EXPECT_FALSE(line->EscapeFunction(kSetDtr));
  }
}

TEST(NetLineTest, RawTcpCarriesBytesAsTheyAre) {
  test::LoopbackServer echo([](ServerConnection& c) {
    while (!c.Closed() && !c.Stopping()) {
      Bytes got = c.Receive(50);
      if (!got.empty() && got[0] == 'Q') {
        c.Close();
        return;
      }
      c.Send(got);
    }
  });
  OpenResult opened = OpenNetLine(Url(echo.Url("socket")));
  ASSERT_TRUE(opened) << opened.error.message;
  SerialLine& line = *opened.line;
  ASSERT_TRUE(line.SetState(Block(115200, kOddParity)));
  EXPECT_TRUE(line.EscapeFunction(kSetDtr));
  const std::string sent("\xFF\x00\xFF" "abc", 6);
  ASSERT_EQ(line.Write(reinterpret_cast<const uint8_t*>(sent.data()), sent.size()).bytes, 6u);
  EXPECT_EQ(ReadAll(line, 6), sent) << "no telnet: 0xFF goes as one byte";
  uint32_t status = 0;
  ASSERT_TRUE(line.GetModemStatus(&status));
  EXPECT_EQ(status, kMsCtsOn | kMsDsrOn | kMsRlsdOn);
  const uint8_t quit = 'Q';
  line.Write(&quit, 1);
  EXPECT_EQ(line.WaitReadable(2000, nullptr), WaitResult::kFailed);
}

TEST(NetLineTest, FailedOpensEndInTheirErrorWithinTheTimeOutAndLeakNothing) {
  const Bytes overlong = [] {
    Bytes wire = {tn::kIac, tn::kSb, 44};
    wire.resize(wire.size() + 300, 'x');
    return wire;
  }();
  struct Case {
    const char* name;
    enum { kRefused, kSilent, kScripted } server;
    FakeServer::Script script;
    const char* scheme;
    int error;
  };
  const Case cases[] = {
      {"refused", Case::kRefused, {}, "rfc2217", ECONNREFUSED},
      {"refused raw", Case::kRefused, {}, "socket", ECONNREFUSED},
      {"silent listener", Case::kSilent, {}, "rfc2217", ETIMEDOUT},
      {"negotiation only", Case::kScripted, {.answerRequests = false}, "rfc2217", ETIMEDOUT},
      {"COM port option refused", Case::kScripted, {.acceptComPort = false}, "rfc2217",
       ENOPROTOOPT},
      {"garbage subnegotiation", Case::kScripted, {.greeting = overlong}, "rfc2217", EPROTO},
      {"closed mid-frame", Case::kScripted, {.greeting = {tn::kIac, tn::kSb}}, "rfc2217",
       ECONNRESET},
  };
  // The thread sanitizer starts a thread of its own at the process's first thread creation: let
  // that happen before counting.
  std::thread([] {}).join();
  for (const Case& c : cases) {
    const int descriptors = test::OpenDescriptorCount();
    const int threads = test::ThreadCount();
    {
      std::string url;
      std::unique_ptr<FakeServer> scripted;
      std::unique_ptr<LoopbackServer> silent;
      switch (c.server) {
        case Case::kRefused:
          url = std::string(c.scheme) + "://127.0.0.1:" + std::to_string(test::UnusedLoopbackPort());
          break;
        case Case::kSilent:
          silent = std::make_unique<LoopbackServer>(nullptr, false);
          url = silent->Url(c.scheme);
          break;
        case Case::kScripted:
          scripted = std::make_unique<FakeServer>(c.script);
          url = scripted->Url();
          break;
      }
      if (c.server == Case::kScripted && c.error == ECONNRESET) scripted->Close(false);
      const auto began = std::chrono::steady_clock::now();
      const OpenResult opened = OpenNetLine(Url(url + "?timeout=0.3"));
      const auto took = std::chrono::steady_clock::now() - began;
      EXPECT_FALSE(opened) << c.name;
      EXPECT_EQ(opened.error.code, c.error) << c.name << ": " << opened.error.message;
      EXPECT_EQ(opened.error.message, SystemErrorText(c.error) + ": " + url) << c.name;
      EXPECT_LT(took, std::chrono::seconds(2)) << c.name;
    }
    EXPECT_EQ(test::OpenDescriptorCount(), descriptors) << c.name;
    EXPECT_EQ(test::ThreadCount(), threads) << c.name;
  }
}

}  // namespace
}  // namespace linvo::platform
