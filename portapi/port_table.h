// The process-wide port table and the entry functions that forward to the port objects.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "engine/comm_port.h"
#include "engine/result_codes.h"
#include "portapi/table_lock.h"

namespace linvo::portapi {

inline constexpr int kMaxPortNo = 256;

// Maps port numbers 1..256 to their port objects. A slot changes once, from empty to a new
// object, and is never cleared while the library is loaded, so a pointer read under the table
// lock stays valid afterwards. The objects are deleted, in ascending order, when the library is
// unloaded.
class CPortTable {
 public:
  CPortTable() = default;
  ~CPortTable();
  CPortTable(const CPortTable&) = delete;
  CPortTable& operator=(const CPortTable&) = delete;

  // The entry-function frame: only the low 16 bits of portNo count; outside 1..256 (or when
  // `valid` is false) the result is 100 with nothing created and nothing traced. Otherwise the
  // port object is created on first use under the table lock, and op(port) runs outside it.
  template <typename Op>
  engine::Result Forward(int32_t portNo, Op&& op, bool valid = true) {
    engine::CCommPort* port = nullptr;
    {
      std::lock_guard<std::mutex> hold(TableLock());
      int16_t n = static_cast<int16_t>(portNo);
      if (!valid || n < 1 || n > kMaxPortNo) return engine::kParameterError;
      port = SlotFor(n);
      if (port == nullptr) return engine::kStateError;
    }
    return op(*port);
  }

  // The object of a port number, or null when none was created yet.
  engine::CCommPort* Find(int32_t portNo);

 private:
  // Under the table lock: the slot's object, created when missing; null when it cannot be
  // created (the slot then stays empty and nothing is forwarded).
  engine::CCommPort* SlotFor(int16_t portNo);

  std::array<engine::CCommPort*, kMaxPortNo + 1> m_slots{};
};

// The one table of the process.
CPortTable& PortTable();

// Entry functions: each validates the port number, creates the port object on first use and
// calls the operation of the same name with the caller name and the further arguments.
engine::Result OpenPort(engine::Caller caller, int32_t portNo, int32_t baudRate,
                        const char* dataBits, const char* parity, int32_t transmitBufferSize,
                        int32_t receiveBufferSize, int32_t autoHandshake);
engine::Result ClosePort(engine::Caller caller, int32_t portNo);
engine::Result ReloadSettings(engine::Caller caller, int32_t portNo);
// Why the port's last OpenPort could not open the line, as the system tells it ("Permission
// denied: /dev/ttyUSB0"); "" after a successful open or when none was tried. Takes no caller
// name, creates no port object and writes no trace. 100 for a port number outside 1..256 or a
// missing out text.
engine::Result GetLastErrorText(int32_t portNo, std::string* text);

engine::Result SendCommand(engine::Caller caller, int32_t portNo, int32_t ackTimer,
                           int32_t dsrCheck, const char* command, const char* parameter,
                           int32_t parameterLength);
engine::Result SendCommandRR(engine::Caller caller, int32_t portNo, int32_t recMode,
                             int32_t ackTimer, int32_t busyTimeOut, int32_t dsrCheck,
                             const char* command, const char* parameter, int32_t parameterLength,
                             std::string* status, std::string* code, std::string* data);
// recMode must be 0 or 1 (as a 16-bit value), else 100 after the port object exists.
engine::Result ReceiveResponse(engine::Caller caller, int32_t portNo, int32_t recMode,
                               int32_t responseTimer, int32_t busyTimeOut, int32_t dsrCheck,
                               std::string* status, std::string* code, std::string* data);
engine::Result SendDataAck(engine::Caller caller, int32_t portNo, int32_t retryCount,
                           int32_t ackTimer, int32_t dsrCheck, const char* data, int32_t length);
engine::Result SendDataNoAck(engine::Caller caller, int32_t portNo, int32_t ackTimer,
                             int32_t dsrCheck, const char* data, int32_t length);
engine::Result SendDataFramed(engine::Caller caller, int32_t portNo, int32_t ackCheck,
                              int32_t retryCount, int32_t ackTimer, int32_t dsrCheck,
                              const char* data, int32_t length);
engine::Result SendDataBCC(engine::Caller caller, int32_t portNo, int32_t retryCount,
                           int32_t ackTimer, int32_t dsrCheck, const char* data, int32_t length,
                           std::string* reply, int16_t* replyLength);
engine::Result ReceiveDataPlain(engine::Caller caller, int32_t portNo, int32_t dsrCheck,
                                std::string* data, int16_t* length);
engine::Result ReceiveDataFramed(engine::Caller caller, int32_t portNo, int32_t ackResponse,
                                 int32_t responseTimer, int32_t dsrCheck, std::string* data,
                                 int16_t* length);
engine::Result ReceiveDataHF(engine::Caller caller, int32_t portNo, int32_t ackJudge,
                             int32_t responseTimer, int32_t dsrCheck, std::string* reserve,
                             std::string* response, std::string* statusCode, std::string* reserve2,
                             std::string* response2, std::string* statusCode2, std::string* data,
                             int16_t* length);
engine::Result ComBufferClear(engine::Caller caller, int32_t portNo);

engine::Result SendBinaryCommandRR(engine::Caller caller, int32_t portNo, int32_t ackTimer,
                                   int32_t retryCount, int32_t dsrCheck, int32_t ctsCheck,
                                   const uint8_t* data, int32_t length, int32_t responseTimer,
                                   uint8_t* reply, int32_t capacity, int16_t* replyLength);
engine::Result SendBinaryCommand(engine::Caller caller, int32_t portNo, int32_t ackTimer,
                                 int32_t retryCount, int32_t dsrCheck, int32_t ctsCheck,
                                 const uint8_t* data, int32_t length);
engine::Result ReceiveBinaryReport(engine::Caller caller, int32_t portNo, int32_t responseTimer,
                                   int32_t retryCount, int32_t dsrCheck, int32_t ctsCheck,
                                   uint8_t* reply, int32_t capacity, int16_t* replyLength);
engine::Result SendBinaryData(engine::Caller caller, int32_t portNo, int32_t timeout,
                              int32_t dsrCheck, int32_t ctsCheck, const uint8_t* data,
                              int32_t length);
engine::Result ReceiveBinaryData(engine::Caller caller, int32_t portNo, int32_t timeout,
                                 int32_t dsrCheck, uint8_t* buffer, int32_t capacity,
                                 int16_t* length);

// Background receives and registrations.
engine::Result ReceiveResponseCallback(engine::Caller caller, int32_t portNo, int32_t mode,
                                       int32_t timeout, engine::ResponseCallback callback,
                                       int32_t param, uint32_t mask);
engine::Result ReceiveBinaryReportAsync(engine::Caller caller, int32_t portNo, int32_t timeout,
                                        engine::BinaryCallback callback, int32_t param,
                                        uint32_t mask);
engine::Result WatchCommEvents(engine::Caller caller, int32_t portNo, engine::CommCallback callback,
                               int32_t param, uint32_t mask);
engine::Result ReceiveResponseAsync(engine::Caller caller, int32_t portNo, int32_t responseTimer,
                                    int32_t busyTimer, int32_t dsrCheck);
engine::Result ReceiveDataAsync(engine::Caller caller, int32_t portNo, int32_t ackMode,
                                int32_t timeout, int32_t dsrCheck, uint32_t mask);
engine::Result ReceiveDataHFAsync(engine::Caller caller, int32_t portNo, int32_t twoPart,
                                  int32_t timeout, int32_t dsrCheck, uint32_t mask);

engine::Result SetCommSettings(engine::Caller caller, int32_t portNo, int32_t dsrFlow,
                               int32_t ctsFlow);
// Stores 0 in *status before anything else, so a refused call leaves 0 there.
engine::Result GetModemStatus(engine::Caller caller, int32_t portNo, uint32_t* status);
// 1 when the port is open; 100 for a bad port number.
int32_t IsClaimed(engine::Caller caller, int32_t portNo);
engine::Result PurgeBuffers(engine::Caller caller, int32_t portNo);
engine::Result SetEventMask(engine::Caller caller, int32_t portNo, uint32_t mask);
engine::Result SetCancelFlag(engine::Caller caller, int32_t portNo, int32_t flag);
// The selector must be 1 (DTR), 2 (RTS) or 3 (break); it is checked with the port number.
engine::Result SetLineControl(engine::Caller caller, int32_t portNo, int32_t selector,
                              int32_t state);

}  // namespace linvo::portapi
