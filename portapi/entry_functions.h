// What a program includes to drive serial ports: the entry functions, the caller and its trace
// bracket, the result codes, the notification records and control-window registration for
// background reports and line events, and the port enumeration.
//
// A port is served by one port object per process, created on the first call naming its number.
// That object's hidden window belongs to the thread that made the first call: background reports
// and line events reach the control window only while that thread pumps its messages
// (platform::PumpMessages, or platform::MessageQueueFd in the program's own poll loop).
#pragma once

#include <cstdint>
#include <string>

#include "engine/caller.h"
#include "engine/notify.h"
#include "engine/result_codes.h"
#include "portapi/entry_table.h"
#include "portapi/enum_ports.h"

namespace linvo::portapi {

using engine::kMaxPortNo;
using engine::ValidPortNo;

// Each entry function takes only the low 16 bits of portNo; outside 1..256 it answers 100,
// creates nothing and traces nothing. Otherwise it creates the port object on first use (30 when
// it cannot be created) and returns the result of the port object's operation of the same name.
// No entry function throws: a failure inside an operation answers 30.
#define LINVO_DECLARE_ENTRY(Name, Result, Rule, ...) \
  Result Name(engine::Caller caller, int32_t portNo LINVO_ENTRY_PARAMETERS(__VA_ARGS__));
LINVO_ENTRY_FUNCTIONS(LINVO_DECLARE_ENTRY)
#undef LINVO_DECLARE_ENTRY

// Why a line call of the port failed last, as the system tells it: an OpenPort that could not
// open the line ("Permission denied: /dev/ttyUSB0"), or a read, write or wait that failed on the
// open line ("Input/output error"); "" after a successful open or when nothing failed. Takes no
// caller name, creates no port object and writes no trace. 100 for a port number outside
// 1..256 or a missing out text.
engine::Result GetLastErrorText(int32_t portNo, std::string* text);

}  // namespace linvo::portapi
