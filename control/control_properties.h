// The fields behind the control's 37 properties, named as the properties are.
#pragma once

#include <cstdint>
#include <string>

#include "control/value.h"

namespace linvo::control {

// Defaults are those of a control that has never been initialised; the property exchange
// gives every field its persisted default (member table) when a control is created new.
struct ControlProperties {
  std::string GetPortNames;  // last serial port list
  int32_t PortNo = 1;
  int32_t BaudRate = 0;
  std::string DataBit;
  std::string Parity;
  BOOL DSRCheck = FALSE;
  BOOL CTSCheck = FALSE;
  int32_t TXBufferSize = 0;
  int32_t RXBufferSize = 0;
  BOOL AutoHandshake = FALSE;
  int32_t ACKTimer = 0;
  int32_t ResponseTimer = 0;
  BOOL DTRLineControl = FALSE;
  BOOL RTSLineControl = FALSE;
  BOOL BreakControl = FALSE;
  std::string PrinterDeviceName;
  std::string GetCommStatus;
  BOOL Claimed = FALSE;
  std::string Version;
  int32_t EventMask = 0;
  std::string SendData;
  std::string ReceiveData;
  int32_t ReceiveDataLen = 0;
  std::string PollCmdComSts;
  std::string PollCmdSen;
  std::string PollCmdErr;
  std::string PollCmdResData;
  std::string HFReceiveReserve;
  std::string HFReceiveResp;
  std::string HFReceiveStat;
  std::string HFReceiveData;
  int32_t HFReceiveDataLen = 0;
  BOOL CancelFlag = FALSE;
  int32_t SendDelayTime = 0;
  int32_t WriteFileTimeOut = 0;
  int32_t LogFlag = 0;
  std::string LogFileFolder;
};

}  // namespace linvo::control
