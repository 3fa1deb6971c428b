// Creation by ProgID or CLSID, the class table and the type information, through the C
// interface.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "c_api_fixture.h"

namespace linvo::module {
namespace {

using ::testing::HasSubstr;

constexpr const char* kClsid = "{77A0F111-E375-4BD5-A72D-C8D24B8DA93A}";

struct CreateCase {
  const char* name;
  int32_t code;
  const char* messagePart;  // of the error text
};

TEST_F(CApiTest, CreateByProgIdOrClsid) {
  const CreateCase cases[] = {
      {"LINVO.LinvoCtrl.1", LVO_OK, ""},
      {"linvo.linvoctrl.1", LVO_OK, ""},
      {"LINVO.LINVOCTRL.1", LVO_OK, ""},
      {kClsid, LVO_OK, ""},
      {"{77a0f111-e375-4bd5-a72d-c8d24b8da93a}", LVO_OK, ""},
      {"77A0F111-E375-4BD5-A72D-C8D24B8DA93A", LVO_OK, ""},
      {"LINVO.LinvoCtrl.2", LVO_E_CLASSNOTREG, "'LINVO.LinvoCtrl.2'"},
      {"LINVO.LinvoCtrl.1 ", LVO_E_CLASSNOTREG, "class not registered"},
      {"{77A0F111-E375-4BD5-A72D-C8D24B8DA93B}", LVO_E_CLASSNOTREG, "class not registered"},
      {"{77A0F111-E375-4BD5-A72D-C8D24B8DA93A", LVO_E_CLASSNOTREG, "class not registered"},
      {"", LVO_E_CLASSNOTREG, "class not registered"},
      {"LINVO.LinvoPropPage.1", LVO_E_CLASSNOTAVAILABLE, "window system"},
  };
  for (const CreateCase& c : cases) {
    SCOPED_TRACE(c.name);
    lvo_object* object = reinterpret_cast<lvo_object*>(1);
    ASSERT_EQ(lvo_create(c.name, &object), c.code) << lvo_last_error_text();
    EXPECT_EQ(lvo_last_error(), c.code);
    if (c.code != LVO_OK) {
      EXPECT_EQ(object, nullptr);
      EXPECT_THAT(lvo_last_error_text(), HasSubstr(c.messagePart));
      continue;
    }
    int32_t dispid = 0;  // the object is the control
    EXPECT_EQ(lvo_get_dispid(object, "PortNo", &dispid), LVO_OK);
    EXPECT_EQ(dispid, 2);
    EXPECT_EQ(lvo_release(object), LVO_OK);
  }
}

TEST(ClassTable, IdentitiesAndCategories) {
  int32_t count = 0;
  ASSERT_EQ(lvo_class_count(&count), LVO_OK);
  ASSERT_EQ(count, 2);

  lvo_class_info control{};
  ASSERT_EQ(lvo_class(0, &control), LVO_OK);
  EXPECT_STREQ(control.prog_id, "LINVO.LinvoCtrl.1");
  EXPECT_STREQ(control.clsid, kClsid);
  EXPECT_STREQ(control.type_name, "Linvo Control");
  EXPECT_STREQ(control.threading_model, "Apartment");
  EXPECT_EQ(control.misc_status, 0x20191u);
  EXPECT_EQ(control.available, 1);
  ASSERT_EQ(control.category_count, 2);
  lvo_category_info scripting{}, initializing{};
  ASSERT_EQ(lvo_class_category(0, 0, &scripting), LVO_OK);
  ASSERT_EQ(lvo_class_category(0, 1, &initializing), LVO_OK);
  EXPECT_STREQ(scripting.catid, "{7DD95801-9882-11CF-9FA9-00AA006C42C4}");
  EXPECT_STREQ(scripting.description, "Controls that are safely scriptable");
  EXPECT_STREQ(initializing.catid, "{7DD95802-9882-11CF-9FA9-00AA006C42C4}");
  EXPECT_STREQ(initializing.description, "Controls safely initializable from persistent data");
  EXPECT_EQ(scripting.lcid, 0x409u);

  lvo_class_info page{};
  ASSERT_EQ(lvo_class(1, &page), LVO_OK);
  EXPECT_STREQ(page.prog_id, "LINVO.LinvoPropPage.1");
  EXPECT_STREQ(page.type_name, "Linvo Property Page");
  EXPECT_EQ(page.available, 0);
  EXPECT_EQ(page.category_count, 0);

  EXPECT_EQ(lvo_class(2, &page), LVO_E_INVALIDARG);
  EXPECT_EQ(lvo_class_category(0, 2, &scripting), LVO_E_INVALIDARG);
}

TEST(TypeInformation, LibraryAndInterfaces) {
  lvo_library_info lib{};
  ASSERT_EQ(lvo_type_library("LINVO.LinvoCtrl.1", &lib), LVO_OK);
  EXPECT_STREQ(lib.name, "LINVOLib");
  EXPECT_EQ(lib.version_major, 1);
  EXPECT_EQ(lib.version_minor, 0);
  EXPECT_EQ(lib.lcid, 0x409u);
  EXPECT_STREQ(lib.help, "Linvo ActiveX ｺﾝﾄﾛｰﾙ ﾓｼﾞｭｰﾙ");
  EXPECT_STREQ(lib.dispatch_name, "_DLinvo");
  EXPECT_STREQ(lib.events_name, "_DLinvoEvents");
  EXPECT_STREQ(lib.events_help, "Event interface for Linvo Control");
  EXPECT_EQ(std::string(lib.guid).size(), 38u);
  EXPECT_STRNE(lib.dispatch_guid, lib.events_guid);

  EXPECT_EQ(lvo_type_library("LINVO.LinvoPropPage.1", &lib), LVO_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(lvo_type_library("NoSuch.Class", &lib), LVO_E_CLASSNOTREG);
}

struct MemberRow {
  int32_t dispid;
  const char* name;
  int32_t kind;
  int32_t flags;
  int32_t type;
  std::vector<std::pair<const char*, int32_t>> params;
};

TEST(TypeInformation, MembersWithTheirParameters) {
  int32_t count = 0;
  ASSERT_EQ(lvo_member_count(kClsid, &count), LVO_OK);
  ASSERT_EQ(count, 58);
  constexpr int32_t kProp = LVO_PROPERTYGET | LVO_PROPERTYPUT;
  const MemberRow rows[] = {
      {1, "GetPortNames", LVO_KIND_PROPERTY, kProp, LVO_TEXT, {}},
      {2, "PortNo", LVO_KIND_PROPERTY, kProp, LVO_LONG, {}},
      {6, "DSRCheck", LVO_KIND_PROPERTY, kProp, LVO_BOOL, {}},
      {37, "LogFileFolder", LVO_KIND_PROPERTY, kProp, LVO_TEXT, {}},
      {38, "lvoOpenPort", LVO_KIND_METHOD, LVO_METHOD, LVO_LONG, {}},
      {40,
       "lvoSendCommandRR",
       LVO_KIND_METHOD,
       LVO_METHOD,
       LVO_LONG,
       {{"iRecMode", LVO_LONG}, {"lBusyTimeOut", LVO_LONG}}},
      {44,
       "lvoSendData",
       LVO_KIND_METHOD,
       LVO_METHOD,
       LVO_LONG,
       {{"lACKCheck", LVO_LONG}, {"lRetryCount", LVO_LONG}, {"lStxEtxBcc", LVO_LONG}}},
      {55, "lvoResPropertyClear", LVO_KIND_METHOD, LVO_METHOD, LVO_EMPTY, {}},
      {58,
       "lvoJISconvSJIS",
       LVO_KIND_METHOD,
       LVO_METHOD,
       LVO_TEXT,
       {{"lJConvMode", LVO_LONG}, {"csQJConvStr", LVO_TEXT}}},
  };
  for (const MemberRow& row : rows) {
    SCOPED_TRACE(row.name);
    lvo_member_info m{};
    ASSERT_EQ(lvo_member(kClsid, row.dispid - 1, &m), LVO_OK);
    EXPECT_EQ(m.dispid, row.dispid);
    EXPECT_STREQ(m.name, row.name);
    EXPECT_EQ(m.kind, row.kind);
    EXPECT_EQ(m.flags, row.flags);
    EXPECT_EQ(m.type, row.type);
    ASSERT_EQ(m.param_count, static_cast<int32_t>(row.params.size()));
    for (int32_t i = 0; i < m.param_count; ++i) {
      lvo_param_info p{};
      ASSERT_EQ(lvo_parameter(kClsid, row.dispid - 1, i, &p), LVO_OK);
      EXPECT_STREQ(p.name, row.params[i].first);
      EXPECT_EQ(p.type, row.params[i].second);
    }
    lvo_param_info beyond{};
    EXPECT_EQ(lvo_parameter(kClsid, row.dispid - 1, m.param_count, &beyond), LVO_E_INVALIDARG);
  }
  lvo_member_info m{};
  EXPECT_EQ(lvo_member(kClsid, 58, &m), LVO_E_INVALIDARG);
  EXPECT_EQ(lvo_member(kClsid, -1, &m), LVO_E_INVALIDARG);
}

TEST(TypeInformation, Events) {
  int32_t count = 0;
  ASSERT_EQ(lvo_event_count("LINVO.LinvoCtrl.1", &count), LVO_OK);
  ASSERT_EQ(count, 5);
  const char* names[] = {"lvoCommEvent", "lvoReceiveResponseEvent", "lvoReceiveBinaryReportEvent",
                         "lvoReceiveDataBCCEvent", "lvoReceiveDataHFEvent"};
  const char* arguments[] = {"lEvent", "lResponse", "lBinaryReport", "lResponse", "lResponse"};
  for (int32_t i = 0; i < count; ++i) {
    lvo_event_info e{};
    ASSERT_EQ(lvo_event("LINVO.LinvoCtrl.1", i, &e), LVO_OK);
    EXPECT_EQ(e.dispid, i + 1);
    EXPECT_STREQ(e.name, names[i]);
    EXPECT_STREQ(e.argument_name, arguments[i]);
    EXPECT_EQ(e.argument_type, LVO_LONG);
  }
}

// The listed members and the dispatcher agree: every listed name finds its own DISPID.
TEST_F(CApiTest, EveryListedMemberResolvesByName) {
  Create();
  int32_t count = 0;
  ASSERT_EQ(lvo_member_count("LINVO.LinvoCtrl.1", &count), LVO_OK);
  for (int32_t i = 0; i < count; ++i) {
    lvo_member_info m{};
    ASSERT_EQ(lvo_member("LINVO.LinvoCtrl.1", i, &m), LVO_OK);
    EXPECT_EQ(Dispid(m.name), m.dispid) << m.name;
  }
}

}  // namespace
}  // namespace linvo::module
