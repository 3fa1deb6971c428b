#include "portapi/port_table.h"

namespace linvo::portapi {

CPortTable::~CPortTable() {
  for (int n = 1; n <= kMaxPortNo; ++n) {
    delete m_slots[n];
    m_slots[n] = nullptr;
  }
}

engine::CCommPort* CPortTable::Find(int32_t portNo) {
  std::lock_guard<std::mutex> hold(TableLock());
  int16_t n = static_cast<int16_t>(portNo);
  return n >= 1 && n <= kMaxPortNo ? m_slots[n] : nullptr;
}

engine::CCommPort* CPortTable::SlotFor(int16_t portNo) {
  if (m_slots[portNo] == nullptr) {
    // Storage exhaustion while creating the object leaves the slot empty; the entry function
    // then reports 30 without forwarding.
    try {
      m_slots[portNo] = new engine::CCommPort(portNo);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  return m_slots[portNo];
}

CPortTable& PortTable() {
  static CPortTable table;
  return table;
}

// Constructs the table when the library is loaded.
[[maybe_unused]] static CPortTable& g_loadTable = PortTable();

engine::Result OpenPort(engine::Caller caller, int32_t portNo, int32_t baudRate,
                        const char* dataBits, const char* parity, int32_t transmitBufferSize,
                        int32_t receiveBufferSize, int32_t autoHandshake) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.OpenPort(caller, baudRate, dataBits, parity, transmitBufferSize, receiveBufferSize,
                         autoHandshake);
  });
}

engine::Result ClosePort(engine::Caller caller, int32_t portNo) {
  return PortTable().Forward(portNo,
                             [&](engine::CCommPort& port) { return port.ClosePort(caller); });
}

engine::Result ReloadSettings(engine::Caller caller, int32_t portNo) {
  return PortTable().Forward(portNo,
                             [&](engine::CCommPort& port) { return port.ReloadSettings(caller); });
}

engine::Result GetLastErrorText(int32_t portNo, std::string* text) {
  const int16_t n = static_cast<int16_t>(portNo);
  if (text == nullptr || n < 1 || n > kMaxPortNo) return engine::kParameterError;
  engine::CCommPort* port = PortTable().Find(n);
  *text = port != nullptr ? port->LastErrorText() : std::string();
  return engine::kSuccess;
}

// 16-bit arguments travel as 32-bit values; the port object reads their low 16 bits.
namespace {
int16_t Low16(int32_t value) { return static_cast<int16_t>(value); }
}  // namespace

engine::Result SendCommand(engine::Caller caller, int32_t portNo, int32_t ackTimer,
                           int32_t dsrCheck, const char* command, const char* parameter,
                           int32_t parameterLength) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.SendCommand(caller, ackTimer, dsrCheck, command, parameter, Low16(parameterLength));
  });
}

engine::Result SendCommandRR(engine::Caller caller, int32_t portNo, int32_t recMode,
                             int32_t ackTimer, int32_t busyTimeOut, int32_t dsrCheck,
                             const char* command, const char* parameter, int32_t parameterLength,
                             std::string* status, std::string* code, std::string* data) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.SendCommandRR(caller, Low16(recMode), ackTimer, busyTimeOut, dsrCheck, command,
                              parameter, Low16(parameterLength), status, code, data);
  });
}

engine::Result ReceiveResponse(engine::Caller caller, int32_t portNo, int32_t recMode,
                               int32_t responseTimer, int32_t busyTimeOut, int32_t dsrCheck,
                               std::string* status, std::string* code, std::string* data) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) -> engine::Result {
    int16_t mode = Low16(recMode);
    if (mode != 0 && mode != 1) return engine::kParameterError;
    return port.ReceiveResponse(caller, mode, responseTimer, busyTimeOut, dsrCheck, status, code,
                                data);
  });
}

engine::Result SendDataAck(engine::Caller caller, int32_t portNo, int32_t retryCount,
                           int32_t ackTimer, int32_t dsrCheck, const char* data, int32_t length) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.SendDataAck(caller, Low16(retryCount), ackTimer, dsrCheck, data, Low16(length));
  });
}

engine::Result SendDataNoAck(engine::Caller caller, int32_t portNo, int32_t ackTimer,
                             int32_t dsrCheck, const char* data, int32_t length) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.SendDataNoAck(caller, ackTimer, dsrCheck, data, Low16(length));
  });
}

engine::Result SendDataFramed(engine::Caller caller, int32_t portNo, int32_t ackCheck,
                              int32_t retryCount, int32_t ackTimer, int32_t dsrCheck,
                              const char* data, int32_t length) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.SendDataFramed(caller, Low16(ackCheck), Low16(retryCount), ackTimer, dsrCheck, data,
                               Low16(length));
  });
}

engine::Result SendDataBCC(engine::Caller caller, int32_t portNo, int32_t retryCount,
                           int32_t ackTimer, int32_t dsrCheck, const char* data, int32_t length,
                           std::string* reply, int16_t* replyLength) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.SendDataBCC(caller, Low16(retryCount), ackTimer, dsrCheck, data, Low16(length),
                            reply, replyLength);
  });
}

engine::Result ReceiveDataPlain(engine::Caller caller, int32_t portNo, int32_t dsrCheck,
                                std::string* data, int16_t* length) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.ReceiveDataPlain(caller, dsrCheck, data, length);
  });
}

engine::Result ReceiveDataFramed(engine::Caller caller, int32_t portNo, int32_t ackResponse,
                                 int32_t responseTimer, int32_t dsrCheck, std::string* data,
                                 int16_t* length) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.ReceiveDataFramed(caller, Low16(ackResponse), responseTimer, dsrCheck, data,
                                  length);
  });
}

engine::Result ReceiveDataHF(engine::Caller caller, int32_t portNo, int32_t ackJudge,
                             int32_t responseTimer, int32_t dsrCheck, std::string* reserve,
                             std::string* response, std::string* statusCode, std::string* reserve2,
                             std::string* response2, std::string* statusCode2, std::string* data,
                             int16_t* length) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.ReceiveDataHF(caller, Low16(ackJudge), responseTimer, dsrCheck, reserve, response,
                              statusCode, reserve2, response2, statusCode2, data, length);
  });
}

engine::Result ComBufferClear(engine::Caller caller, int32_t portNo) {
  return PortTable().Forward(portNo,
                             [&](engine::CCommPort& port) { return port.ComBufferClear(caller); });
}

engine::Result SendBinaryCommandRR(engine::Caller caller, int32_t portNo, int32_t ackTimer,
                                   int32_t retryCount, int32_t dsrCheck, int32_t ctsCheck,
                                   const uint8_t* data, int32_t length, int32_t responseTimer,
                                   uint8_t* reply, int32_t capacity, int16_t* replyLength) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.SendBinaryCommandRR(caller, ackTimer, Low16(retryCount), dsrCheck, ctsCheck, data,
                                    Low16(length), responseTimer, reply, Low16(capacity),
                                    replyLength);
  });
}

engine::Result SendBinaryCommand(engine::Caller caller, int32_t portNo, int32_t ackTimer,
                                 int32_t retryCount, int32_t dsrCheck, int32_t ctsCheck,
                                 const uint8_t* data, int32_t length) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.SendBinaryCommand(caller, ackTimer, Low16(retryCount), dsrCheck, ctsCheck, data,
                                  Low16(length));
  });
}

engine::Result ReceiveBinaryReport(engine::Caller caller, int32_t portNo, int32_t responseTimer,
                                   int32_t retryCount, int32_t dsrCheck, int32_t ctsCheck,
                                   uint8_t* reply, int32_t capacity, int16_t* replyLength) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.ReceiveBinaryReport(caller, responseTimer, Low16(retryCount), dsrCheck, ctsCheck,
                                    reply, Low16(capacity), replyLength);
  });
}

engine::Result SendBinaryData(engine::Caller caller, int32_t portNo, int32_t timeout,
                              int32_t dsrCheck, int32_t ctsCheck, const uint8_t* data,
                              int32_t length) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.SendBinaryData(caller, timeout, dsrCheck, ctsCheck, data, Low16(length));
  });
}

engine::Result ReceiveBinaryData(engine::Caller caller, int32_t portNo, int32_t timeout,
                                 int32_t dsrCheck, uint8_t* buffer, int32_t capacity,
                                 int16_t* length) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.ReceiveBinaryData(caller, timeout, dsrCheck, buffer, Low16(capacity), length);
  });
}

engine::Result ReceiveResponseCallback(engine::Caller caller, int32_t portNo, int32_t mode,
                                       int32_t timeout, engine::ResponseCallback callback,
                                       int32_t param, uint32_t mask) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.ReceiveResponseCallback(caller, Low16(mode), timeout, callback, param, mask);
  });
}

engine::Result ReceiveBinaryReportAsync(engine::Caller caller, int32_t portNo, int32_t timeout,
                                        engine::BinaryCallback callback, int32_t param,
                                        uint32_t mask) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.ReceiveBinaryReportAsync(caller, timeout, callback, param, mask);
  });
}

engine::Result WatchCommEvents(engine::Caller caller, int32_t portNo, engine::CommCallback callback,
                               int32_t param, uint32_t mask) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.WatchCommEvents(caller, callback, param, mask);
  });
}

engine::Result ReceiveResponseAsync(engine::Caller caller, int32_t portNo, int32_t responseTimer,
                                    int32_t busyTimer, int32_t dsrCheck) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.ReceiveResponseAsync(caller, Low16(portNo), responseTimer, busyTimer,
                                     Low16(dsrCheck));
  });
}

engine::Result ReceiveDataAsync(engine::Caller caller, int32_t portNo, int32_t ackMode,
                                int32_t timeout, int32_t dsrCheck, uint32_t mask) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.ReceiveDataAsync(caller, Low16(portNo), Low16(ackMode), timeout, Low16(dsrCheck),
                                 mask);
  });
}

engine::Result ReceiveDataHFAsync(engine::Caller caller, int32_t portNo, int32_t twoPart,
                                  int32_t timeout, int32_t dsrCheck, uint32_t mask) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.ReceiveDataHFAsync(caller, Low16(portNo), Low16(twoPart), timeout, Low16(dsrCheck),
                                   mask);
  });
}

engine::Result SetCommSettings(engine::Caller caller, int32_t portNo, int32_t dsrFlow,
                               int32_t ctsFlow) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return port.SetCommSettings(caller, Low16(dsrFlow), Low16(ctsFlow));
  });
}

engine::Result GetModemStatus(engine::Caller caller, int32_t portNo, uint32_t* status) {
  if (status != nullptr) *status = 0;
  return PortTable().Forward(
      portNo, [&](engine::CCommPort& port) { return port.GetModemStatus(caller, status); });
}

int32_t IsClaimed(engine::Caller caller, int32_t portNo) {
  return PortTable().Forward(portNo, [&](engine::CCommPort& port) {
    return static_cast<engine::Result>(port.IsClaimed(caller));
  });
}

engine::Result PurgeBuffers(engine::Caller caller, int32_t portNo) {
  return PortTable().Forward(portNo,
                             [&](engine::CCommPort& port) { return port.PurgeBuffers(caller); });
}

engine::Result SetEventMask(engine::Caller caller, int32_t portNo, uint32_t mask) {
  return PortTable().Forward(
      portNo, [&](engine::CCommPort& port) { return port.SetEventMask(caller, mask); });
}

engine::Result SetCancelFlag(engine::Caller caller, int32_t portNo, int32_t flag) {
  return PortTable().Forward(
      portNo, [&](engine::CCommPort& port) { return port.SetCancelFlag(caller, flag); });
}

engine::Result SetLineControl(engine::Caller caller, int32_t portNo, int32_t selector,
                              int32_t state) {
  return PortTable().Forward(
      portNo, [&](engine::CCommPort& port) { return port.SetLineControl(caller, selector, state); },
      selector >= 1 && selector <= 3);
}

}  // namespace linvo::portapi
