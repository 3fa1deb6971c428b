// The member table: what the dispatcher, the type information and the documentation read.
#include "control/member_table.h"

#include <gmock/gmock.h>

#include "control/linvo_ctrl.h"
#include "support/test_env.h"

namespace linvo::control {
namespace {

std::string Describe(const MemberInfo& m) {
  static const char* const kTypes[] = {"void", "long", "BOOL", "BSTR"};
  std::string text = std::to_string(m.dispid) + " " + m.name +
                     (m.kind == MemberKind::kProperty ? " prop " : " method ") +
                     kTypes[static_cast<int>(m.type)];
  for (const ParamInfo& p : m.Params()) {
    text += std::string(" ") + kTypes[static_cast<int>(p.type)] + " " + p.name;
  }
  return text;
}

TEST(MemberTable, DescribesTheInterface) {
  const auto members = DispatchMembers();
  ASSERT_EQ(members.size(), 58u);
  int properties = 0;
  for (const MemberInfo& m : members) properties += m.kind == MemberKind::kProperty;
  EXPECT_EQ(properties, 37);
  const std::pair<int, const char*> rows[] = {
      {1, "1 GetPortNames prop BSTR"},
      {6, "6 DSRCheck prop BOOL"},
      {37, "37 LogFileFolder prop BSTR"},
      {38, "38 lvoOpenPort method long"},
      {44, "44 lvoSendData method long long lACKCheck long lRetryCount long lStxEtxBcc"},
      {55, "55 lvoResPropertyClear method void"},
      {56, "56 lvoCharAscHConv method BSTR long lConvMode BSTR csQConvStr"},
      {58, "58 lvoJISconvSJIS method BSTR long lJConvMode BSTR csQJConvStr"},
  };
  for (const auto& [dispid, text] : rows) EXPECT_EQ(Describe(*FindMember(dispid)), text);

  std::vector<std::string> order;
  for (const MemberInfo* m : ExchangeOrder()) order.push_back(m->name);
  EXPECT_THAT(order, ::testing::ElementsAre(
                         "GetPortNames", "PortNo", "BaudRate", "DataBit", "Parity", "DSRCheck",
                         "CTSCheck", "TXBufferSize", "RXBufferSize", "AutoHandshake", "ACKTimer",
                         "ResponseTimer", "DTRLineControl", "RTSLineControl", "BreakControl",
                         "PrinterDeviceName", "GetCommStatus", "Claimed", "Version", "EventMask",
                         "SendData", "ReceiveData", "ReceiveDataLen", "PollCmdComSts", "PollCmdSen",
                         "PollCmdErr", "PollCmdResData", "HFReceiveReserve", "HFReceiveResp",
                         "HFReceiveStat", "HFReceiveData", "HFReceiveDataLen", "CancelFlag",
                         "SendDelayTime", "WriteFileTimeOut", "LogFlag", "LogFileFolder"));

  std::vector<std::string> events;
  for (const EventInfo& e : EventMembers()) {
    events.push_back(std::to_string(e.dispid) + " " + e.name + "(" + e.argumentName + ")");
  }
  EXPECT_THAT(events, ::testing::ElementsAre("1 lvoCommEvent(lEvent)",
                                             "2 lvoReceiveResponseEvent(lResponse)",
                                             "3 lvoReceiveBinaryReportEvent(lBinaryReport)",
                                             "4 lvoReceiveDataBCCEvent(lResponse)",
                                             "5 lvoReceiveDataHFEvent(lResponse)"));
  const TypeLibraryInfo& lib = TypeLibrary();
  EXPECT_STREQ(lib.libraryName, "LINVOLib");
  EXPECT_EQ(lib.versionMajor * 10 + lib.versionMinor, 10);
  EXPECT_EQ(lib.lcid, 0x409u);
  EXPECT_STREQ(lib.classHelp, "Linvo Control");
}

TEST(MemberTable, RoutesByNameAndChecksKindsAndTypes) {
  test::ScopedWorkDir dir;
  CLinvoCtrl c;
  const MemberInfo* sendData = FindMember("senddata");
  ASSERT_NE(sendData, nullptr);
  EXPECT_EQ(sendData->dispid, 16);
  EXPECT_EQ(FindMember("NoSuchMember"), nullptr);
  EXPECT_EQ(FindMember(59), nullptr);

  EXPECT_TRUE(PutProperty(c, *sendData, std::string("414")));
  EXPECT_FALSE(PutProperty(c, *sendData, int32_t{3})) << "type mismatch";
  EXPECT_EQ(GetProperty(c, *sendData), Value(std::string("414")));
  const MemberInfo& conv = *FindMember("lvoCharAscHConv");
  const Value args[] = {int32_t{1}, std::string("414")};
  EXPECT_EQ(Invoke(c, conv, args), Value(std::string("A")));
  EXPECT_EQ(Invoke(c, conv, std::span(args, 1)), std::nullopt) << "argument count";
  EXPECT_EQ(Invoke(c, *sendData, {}), std::nullopt) << "a property is not a method";
  EXPECT_EQ(GetProperty(c, conv), std::nullopt) << "a method is not a property";
  EXPECT_EQ(Invoke(c, *FindMember("lvoComBufferClear"), std::vector<Value>{int32_t{3}}),
            Value(int32_t{100}));
  EXPECT_EQ(Invoke(c, *FindMember("lvoResPropertyClear"), {}), Value(std::monostate{}));
  EXPECT_EQ(GetProperty(c, *FindMember("DSRCheck")), Value(true));
}

}  // namespace
}  // namespace linvo::control
