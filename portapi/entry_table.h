// The entry functions of the port API, written once. Their declarations, their forwarding
// definitions and the description table below are generated from LINVO_ENTRY_FUNCTIONS, and so
// can other layers' bindings (a C ABI, dispatch by name).
//
// Each row is X(Name, ResultType, Rule, (type, name)...): every entry function takes
// (engine::Caller caller, int32_t portNo) first, then the listed arguments in order, and forwards
// to the port object's operation of the same name. The arguments travel as the 32-bit values
// listed; each is converted once, by the forward, to the type the operation declares (the
// operations that read only 16 bits of a value declare int16_t). Types are spelled as seen from
// namespace linvo::portapi.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// ---- preprocessor helpers: apply a macro to each of up to 12 (type, name) pairs ---------------

#define LINVO_PP_COUNT(...) \
  LINVO_PP_COUNT_(__VA_ARGS__ __VA_OPT__(, ) 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define LINVO_PP_COUNT_(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, n, ...) n
#define LINVO_PP_CAT(a, b) LINVO_PP_CAT_(a, b)
#define LINVO_PP_CAT_(a, b) a##b
// m(pair) for each pair, each result preceded by a comma.
#define LINVO_PP_EACH(m, ...) \
  LINVO_PP_CAT(LINVO_PP_EACH_, LINVO_PP_COUNT(__VA_ARGS__))(m, __VA_ARGS__)
#define LINVO_PP_EACH_0(m, ...)
#define LINVO_PP_EACH_1(m, p) , m p
#define LINVO_PP_EACH_2(m, p, ...) , m p LINVO_PP_EACH_1(m, __VA_ARGS__)
#define LINVO_PP_EACH_3(m, p, ...) , m p LINVO_PP_EACH_2(m, __VA_ARGS__)
#define LINVO_PP_EACH_4(m, p, ...) , m p LINVO_PP_EACH_3(m, __VA_ARGS__)
#define LINVO_PP_EACH_5(m, p, ...) , m p LINVO_PP_EACH_4(m, __VA_ARGS__)
#define LINVO_PP_EACH_6(m, p, ...) , m p LINVO_PP_EACH_5(m, __VA_ARGS__)
#define LINVO_PP_EACH_7(m, p, ...) , m p LINVO_PP_EACH_6(m, __VA_ARGS__)
#define LINVO_PP_EACH_8(m, p, ...) , m p LINVO_PP_EACH_7(m, __VA_ARGS__)
#define LINVO_PP_EACH_9(m, p, ...) , m p LINVO_PP_EACH_8(m, __VA_ARGS__)
#define LINVO_PP_EACH_10(m, p, ...) , m p LINVO_PP_EACH_9(m, __VA_ARGS__)
#define LINVO_PP_EACH_11(m, p, ...) , m p LINVO_PP_EACH_10(m, __VA_ARGS__)
#define LINVO_PP_EACH_12(m, p, ...) , m p LINVO_PP_EACH_11(m, __VA_ARGS__)

// ", type name" for each pair (a parameter list after caller and portNo).
#define LINVO_ENTRY_PARAMETER(type, name) type name
#define LINVO_ENTRY_PARAMETERS(...) LINVO_PP_EACH(LINVO_ENTRY_PARAMETER, __VA_ARGS__)
// ", name" for each pair (an argument list after caller and portNo).
#define LINVO_ENTRY_NAME(type, name) name
#define LINVO_ENTRY_NAMES(...) LINVO_PP_EACH(LINVO_ENTRY_NAME, __VA_ARGS__)

// ---- the table ----------------------------------------------------------------------------------

// Rules (EntryRule): kForward forwards the arguments; kForwardPortNo forwards the port number
// (as 16 bits) before them; kCheckRecMode answers 100 for a first argument other than 0 or 1 (as
// 16 bits), after the port object exists; kCheckSelector answers 100 for a first argument outside
// 1..3, with the port-number check (nothing is created); kClearStatus stores 0 through the first
// argument before anything else.
// clang-format off
#define LINVO_ENTRY_FUNCTIONS(X) \
  X(OpenPort, engine::Result, kForward, (int32_t, baudRate), (const char*, dataBits), \
    (const char*, parity), (int32_t, transmitBufferSize), (int32_t, receiveBufferSize), \
    (int32_t, autoHandshake)) \
  X(ClosePort, engine::Result, kForward) \
  X(ReloadSettings, engine::Result, kForward) \
  X(SendCommand, engine::Result, kForward, (int32_t, ackTimer), (int32_t, dsrCheck), \
    (const char*, command), (const char*, parameter), (int32_t, parameterLength)) \
  X(SendCommandRR, engine::Result, kForward, (int32_t, recMode), (int32_t, ackTimer), \
    (int32_t, busyTimeOut), (int32_t, dsrCheck), (const char*, command), \
    (const char*, parameter), (int32_t, parameterLength), (std::string*, status), \
    (std::string*, code), (std::string*, data)) \
  X(ReceiveResponse, engine::Result, kCheckRecMode, (int32_t, recMode), \
    (int32_t, responseTimer), (int32_t, busyTimeOut), (int32_t, dsrCheck), \
    (std::string*, status), (std::string*, code), (std::string*, data)) \
  X(SendDataAck, engine::Result, kForward, (int32_t, retryCount), (int32_t, ackTimer), \
    (int32_t, dsrCheck), (const char*, data), (int32_t, length)) \
  X(SendDataNoAck, engine::Result, kForward, (int32_t, ackTimer), (int32_t, dsrCheck), \
    (const char*, data), (int32_t, length)) \
  X(SendDataFramed, engine::Result, kForward, (int32_t, ackCheck), (int32_t, retryCount), \
    (int32_t, ackTimer), (int32_t, dsrCheck), (const char*, data), (int32_t, length)) \
  X(SendDataBCC, engine::Result, kForward, (int32_t, retryCount), (int32_t, ackTimer), \
    (int32_t, dsrCheck), (const char*, data), (int32_t, length), (std::string*, reply), \
    (int16_t*, replyLength)) \
  X(ReceiveDataPlain, engine::Result, kForward, (int32_t, dsrCheck), (std::string*, data), \
    (int16_t*, length)) \
  X(ReceiveDataFramed, engine::Result, kForward, (int32_t, ackResponse), \
    (int32_t, responseTimer), (int32_t, dsrCheck), (std::string*, data), (int16_t*, length)) \
  X(ReceiveDataHF, engine::Result, kForward, (int32_t, ackJudge), (int32_t, responseTimer), \
    (int32_t, dsrCheck), (std::string*, reserve), (std::string*, response), \
    (std::string*, statusCode), (std::string*, reserve2), (std::string*, response2), \
    (std::string*, statusCode2), (std::string*, data), (int16_t*, length)) \
  X(ComBufferClear, engine::Result, kForward) \
  X(SendBinaryCommandRR, engine::Result, kForward, (int32_t, ackTimer), (int32_t, retryCount), \
    (int32_t, dsrCheck), (int32_t, ctsCheck), (const uint8_t*, data), (int32_t, length), \
    (int32_t, responseTimer), (uint8_t*, reply), (int32_t, capacity), (int16_t*, replyLength)) \
  X(SendBinaryCommand, engine::Result, kForward, (int32_t, ackTimer), (int32_t, retryCount), \
    (int32_t, dsrCheck), (int32_t, ctsCheck), (const uint8_t*, data), (int32_t, length)) \
  X(ReceiveBinaryReport, engine::Result, kForward, (int32_t, responseTimer), \
    (int32_t, retryCount), (int32_t, dsrCheck), (int32_t, ctsCheck), (uint8_t*, reply), \
    (int32_t, capacity), (int16_t*, replyLength)) \
  X(SendBinaryData, engine::Result, kForward, (int32_t, timeout), (int32_t, dsrCheck), \
    (int32_t, ctsCheck), (const uint8_t*, data), (int32_t, length)) \
  X(ReceiveBinaryData, engine::Result, kForward, (int32_t, timeout), (int32_t, dsrCheck), \
    (uint8_t*, buffer), (int32_t, capacity), (int16_t*, length)) \
  X(ReceiveResponseCallback, engine::Result, kForward, (int32_t, mode), (int32_t, timeout), \
    (engine::ResponseCallback, callback), (int32_t, param), (uint32_t, mask)) \
  X(ReceiveBinaryReportAsync, engine::Result, kForward, (int32_t, timeout), \
    (engine::BinaryCallback, callback), (int32_t, param), (uint32_t, mask)) \
  X(WatchCommEvents, engine::Result, kForward, (engine::CommCallback, callback), \
    (int32_t, param), (uint32_t, mask)) \
  X(ReceiveResponseAsync, engine::Result, kForwardPortNo, (int32_t, responseTimer), \
    (int32_t, busyTimer), (int32_t, dsrCheck)) \
  X(ReceiveDataAsync, engine::Result, kForwardPortNo, (int32_t, ackMode), (int32_t, timeout), \
    (int32_t, dsrCheck), (uint32_t, mask)) \
  X(ReceiveDataHFAsync, engine::Result, kForwardPortNo, (int32_t, twoPart), \
    (int32_t, timeout), (int32_t, dsrCheck), (uint32_t, mask)) \
  X(SetCommSettings, engine::Result, kForward, (int32_t, dsrFlow), (int32_t, ctsFlow)) \
  X(GetModemStatus, engine::Result, kClearStatus, (uint32_t*, status)) \
  X(IsClaimed, int32_t, kForward) \
  X(PurgeBuffers, engine::Result, kForward) \
  X(SetEventMask, engine::Result, kForward, (uint32_t, mask)) \
  X(SetCancelFlag, engine::Result, kForward, (int32_t, flag)) \
  X(SetLineControl, engine::Result, kCheckSelector, (int32_t, selector), (int32_t, state))
// clang-format on

namespace linvo::portapi {

enum class EntryRule { kForward, kForwardPortNo, kCheckRecMode, kCheckSelector, kClearStatus };

// One argument of an entry function, as the table spells it.
struct EntryArgument {
  std::string_view type;
  std::string_view name;
};

// One entry function: its name, result type, rule and every argument (caller and portNo first).
struct EntryFunction {
  std::string_view name;
  std::string_view result;
  EntryRule rule;
  std::array<EntryArgument, 14> arguments;
  std::size_t argumentCount;
};

#define LINVO_ENTRY_ARGUMENT_TEXT(type, name) \
  EntryArgument { #type, #name }
#define LINVO_ENTRY_DESCRIPTION(Name, Result, Rule, ...)                                          \
  EntryFunction{                                                                                  \
      #Name,                                                                                      \
      #Result,                                                                                    \
      EntryRule::Rule,                                                                            \
      {EntryArgument{"engine::Caller", "caller"},                                                 \
       EntryArgument{"int32_t", "portNo"} LINVO_PP_EACH(LINVO_ENTRY_ARGUMENT_TEXT, __VA_ARGS__)}, \
      2 + LINVO_PP_COUNT(__VA_ARGS__)},

// Every entry function in table order, for code that binds them by name.
inline constexpr EntryFunction kEntryFunctions[] = {LINVO_ENTRY_FUNCTIONS(LINVO_ENTRY_DESCRIPTION)};

#undef LINVO_ENTRY_DESCRIPTION
#undef LINVO_ENTRY_ARGUMENT_TEXT

}  // namespace linvo::portapi
