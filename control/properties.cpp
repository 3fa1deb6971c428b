// CLinvoCtrl: property reads that look at the port or the system, and the property puts.
#include <algorithm>
#include <string>

#include "control/linvo_ctrl.h"
#include "control/settings_file.h"
#include "engine/settings.h"
#include "platform/serial.h"
#include "portapi/entry_functions.h"

namespace linvo::control {
namespace {

namespace api = linvo::portapi;

// The longest port list the property holds.
constexpr std::size_t kMaxPortNames = 1024;

bool AcceptedBaudRate(int32_t value) {
  static constexpr int32_t kListed[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
  return value > 115200 ||
         std::find(std::begin(kListed), std::end(kListed), value) != std::end(kListed);
}

}  // namespace

std::string CLinvoCtrl::ReadPortNames() {
  std::string list;
  int16_t count = 0;
  if (api::EnumPorts(&list, &count) == 1) {
    m_props.GetPortNames = list.substr(0, kMaxPortNames);
  } else {
    m_props.GetPortNames.clear();
  }
  return m_props.GetPortNames;
}

std::string CLinvoCtrl::ReadCommStatus() {
  uint32_t status = 0;
  const engine::Result r = api::GetModemStatus("GetGetCommStatus", Port(), &status);
  if (r == engine::kSuccess) {
    std::string text = "000";
    if (status & platform::kMsDsrOn) text[0] = '1';
    if (status & platform::kMsCtsOn) text[1] = '1';
    if (status & platform::kMsRlsdOn) text[2] = '1';
    m_props.GetCommStatus = text;
  } else {
    m_props.GetCommStatus = r == engine::kNotOpen ? "000" : "???";
  }
  return m_props.GetCommStatus;
}

BOOL CLinvoCtrl::GetClaimed() {
  const int32_t r = api::IsClaimed("GetClaimed", Port());
  if (r == 0 || r == 1) m_props.Claimed = r;
  return m_props.Claimed;
}

// On Linux the version comes from the build (the library's version as four comma-separated
// numbers) instead of the module's version resource.
std::string CLinvoCtrl::GetVersion() {
  m_props.Version = engine::LibraryVersion();
  return m_props.Version;
}

void CLinvoCtrl::SetPortNo(int32_t value) {
  if (api::ValidPortNo(value) && NotOpen()) m_props.PortNo = value;
  SetModifiedFlag();
}

void CLinvoCtrl::SetBaudRate(int32_t value) {
  if (NotOpen() && value > 0 && AcceptedBaudRate(value)) m_props.BaudRate = value;
  SetModifiedFlag();
}

void CLinvoCtrl::SetDataBit(const std::string& value) {
  if (NotOpen() && (value == "7" || value == "8")) m_props.DataBit = value;
  SetModifiedFlag();
}

void CLinvoCtrl::SetParity(const std::string& value) {
  if (NotOpen() && (value == "N" || value == "E" || value == "O")) m_props.Parity = value;
  SetModifiedFlag();
}

void CLinvoCtrl::SetDSRCheck(BOOL value) {
  if (NotOpen()) m_props.DSRCheck = value;
  SetModifiedFlag();
}

void CLinvoCtrl::SetCTSCheck(BOOL value) {
  if (NotOpen()) m_props.CTSCheck = value;
  SetModifiedFlag();
}

void CLinvoCtrl::SetTXBufferSize(int32_t value) {
  if (NotOpen() && value > 0) m_props.TXBufferSize = value;
  SetModifiedFlag();
}

void CLinvoCtrl::SetRXBufferSize(int32_t value) {
  if (NotOpen() && value > 0) m_props.RXBufferSize = value;
  SetModifiedFlag();
}

void CLinvoCtrl::SetAutoHandshake(BOOL value) {
  if (NotOpen()) m_props.AutoHandshake = value;
  SetModifiedFlag();
}

void CLinvoCtrl::SetACKTimer(int32_t value) {
  if (value > 0) m_props.ACKTimer = value;
  SetModifiedFlag();
}

void CLinvoCtrl::SetResponseTimer(int32_t value) {
  if (value >= 0) m_props.ResponseTimer = value;
  SetModifiedFlag();
}

void CLinvoCtrl::SetEventMask(int32_t value) {
  if (api::SetEventMask("SetEventMask", Port(), static_cast<uint32_t>(value)) == engine::kSuccess) {
    m_props.EventMask = value;
  }
  SetModifiedFlag();
}

void CLinvoCtrl::SetCancelFlag(BOOL value) {
  if (value == TRUE) {
    m_props.CancelFlag =
        api::SetCancelFlag("SetCancelFlag", Port(), 1) == engine::kSuccess ? TRUE : FALSE;
  } else if (value == FALSE) {
    m_props.CancelFlag = FALSE;
  }
  SetModifiedFlag();
}

void CLinvoCtrl::SetDTRLineControl(BOOL value) {
  if (api::SetLineControl("SetDTRLineControl", Port(), 1, value) == engine::kSuccess) {
    m_props.DTRLineControl = value;
  }
  SetModifiedFlag();
}

void CLinvoCtrl::SetRTSLineControl(BOOL value) {
  if (api::SetLineControl("SetRTSLineControl", Port(), 2, value) == engine::kSuccess) {
    m_props.RTSLineControl = value;
  }
  SetModifiedFlag();
}

void CLinvoCtrl::SetBreakControl(BOOL value) {
  if (api::SetLineControl("SetBreakControl", Port(), 3, value) == engine::kSuccess) {
    m_props.BreakControl = value;
  }
  SetModifiedFlag();
}

void CLinvoCtrl::SetSendData(const std::string& value) {
  m_props.SendData = value;
  SetModifiedFlag();
}

void CLinvoCtrl::SetPrinterDeviceName(const std::string& value) {
  m_props.PrinterDeviceName = value;
  SetModifiedFlag();
}

void CLinvoCtrl::SetSendDelayTime(int32_t value) {
  PutSettingsValue(MemberOf(&ControlProperties::SendDelayTime), value);
}
void CLinvoCtrl::SetWriteFileTimeOut(int32_t value) {
  PutSettingsValue(MemberOf(&ControlProperties::WriteFileTimeOut), value);
}
void CLinvoCtrl::SetLogFlag(int32_t value) {
  PutSettingsValue(MemberOf(&ControlProperties::LogFlag), value);
}
void CLinvoCtrl::SetLogFileFolder(const std::string& value) {
  PutSettingsValue(MemberOf(&ControlProperties::LogFileFolder), value);
}

// Refused unless PortNo is valid and not open, the value passes and the temporary directory is
// there; the default settings file is written first when missing; the field changes once the
// key is written; then the port object re-reads its settings.
void CLinvoCtrl::PutSettingsValue(const MemberInfo& member, const Value& value) {
  SetModifiedFlag();
  const SettingsKey& key = *member.settings;
  const int32_t port = Port();
  if (!api::ValidPortNo(port) || !NotOpen()) return;
  std::string text;
  if (const int32_t* number = std::get_if<int32_t>(&value)) {
    if (key.nonNegative && *number < 0) return;
    text = std::to_string(*number);
  } else {
    text = std::get<std::string>(value);
    if (!SettingsTextFits(text)) return;
  }
  const std::optional<std::string> file = ControlSettingsFile();
  if (!file) return;
  if (!platform::FileExists(*file) && !WriteDefaultSettingsFile(*file, m_defaultLogPath)) return;
  if (!platform::WriteProfileValue(key.section, key.key, text, *file)) return;
  if (member.longField != nullptr) {
    m_props.*member.longField = std::get<int32_t>(value);
  } else {
    m_props.*member.textField = text;
  }
  const std::string caller = std::string("Set") + member.name;
  api::ReloadSettings(caller.c_str(), port);
}

}  // namespace linvo::control
