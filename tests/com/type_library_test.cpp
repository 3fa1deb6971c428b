// The type library in linvo.dll as a host reads it: loaded straight from the DLL beside this
// program (no registration) and compared with the member table and the class table, entry by
// entry: the library, the dispatch interface, the event interface and the class.
#include <gtest/gtest.h>
#include <oaidl.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "com/com_support.h"
#include "control/member_table.h"
#include "module/class_table.h"

namespace {

using namespace linvo;
using test::com::ComPtr;

struct BstrFree {
  void operator()(OLECHAR* text) const { SysFreeString(text); }
};
using Bstr = std::unique_ptr<OLECHAR, BstrFree>;

std::wstring Text(const Bstr& text) {
  return text ? std::wstring(text.get(), SysStringLen(text.get())) : std::wstring();
}

// The descriptions a type information lends, given back when they go.
struct GiveBack {
  ITypeInfo* info;
  void operator()(TYPEATTR* attr) const { info->ReleaseTypeAttr(attr); }
  void operator()(FUNCDESC* desc) const { info->ReleaseFuncDesc(desc); }
};
template <typename D>
using Lent = std::unique_ptr<D, GiveBack>;

// Each is null when the type information refuses.
Lent<TYPEATTR> Attributes(ITypeInfo* info) {
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  return Lent<TYPEATTR>(attr, GiveBack{info});
}
Lent<FUNCDESC> Function(ITypeInfo* info, UINT index) {
  FUNCDESC* desc = nullptr;
  info->GetFuncDesc(index, &desc);
  return Lent<FUNCDESC>(desc, GiveBack{info});
}

std::wstring Decode(std::string_view bytes, UINT codePage) {
  const int size = static_cast<int>(bytes.size());
  std::wstring text(MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0), L'\0');
  MultiByteToWideChar(codePage, 0, bytes.data(), size, text.data(), static_cast<int>(text.size()));
  return text;
}
std::wstring Wide(std::string_view utf8) { return Decode(utf8, CP_UTF8); }

// A type library keeps its help strings as bytes, which a host decodes in its ANSI code page;
// linvo's are the member table's texts in code page 932. A host whose code page is 932 reads the
// text itself; one with another code page reads those bytes as its code page has them (1252
// gives every byte a character of its own, so the comparison there is still byte for byte).
std::wstring HostHelp(const char* utf8) {
  const std::wstring text = Wide(utf8);
  const int size = static_cast<int>(text.size());
  BOOL lost = FALSE;
  std::string bytes(WideCharToMultiByte(932, 0, text.data(), size, nullptr, 0, nullptr, nullptr),
                    '\0');
  WideCharToMultiByte(932, 0, text.data(), size, bytes.data(), static_cast<int>(bytes.size()),
                      nullptr, &lost);
  EXPECT_FALSE(lost) << "code page 932 lacks a character of: " << utf8;
  return Decode(bytes, CP_ACP);
}

GUID Guid(const char* braced) {
  GUID guid{};
  EXPECT_EQ(CLSIDFromString(Wide(braced).c_str(), &guid), S_OK) << braced;
  return guid;
}

struct Documentation {
  std::wstring name;
  std::wstring help;
};
Documentation Document(ITypeInfo* info, MEMBERID id) {
  BSTR name = nullptr;
  BSTR help = nullptr;
  EXPECT_EQ(info->GetDocumentation(id, &name, &help, nullptr, nullptr), S_OK) << "member " << id;
  return {Text(Bstr(name)), Text(Bstr(help))};
}

// The names of a function: its own, then its parameters'.
std::vector<std::wstring> Names(ITypeInfo* info, MEMBERID id) {
  std::array<BSTR, 8> names{};
  UINT count = 0;
  EXPECT_EQ(info->GetNames(id, names.data(), names.size(), &count), S_OK) << "member " << id;
  std::vector<std::wstring> texts;
  for (UINT i = 0; i < count; ++i) texts.push_back(Text(Bstr(names[i])));
  return texts;
}

// The automation type a host sees for an interface type.
VARTYPE AutomationType(control::VarType type) {
  switch (type) {
    case control::VarType::kLong:
      return VT_I4;
    case control::VarType::kBool:
      return VT_BOOL;
    case control::VarType::kText:
      return VT_BSTR;
    default:
      return VT_VOID;
  }
}

// The class whose type information the library describes; null when the class table has none.
const module::ClassEntry* ControlClass() {
  const auto classes = module::Classes();
  const auto found = std::find_if(classes.begin(), classes.end(),
                                  [](const module::ClassEntry& c) { return c.typeInfo; });
  return found == classes.end() ? nullptr : &*found;
}

// A dispatch function of the library against its row: DISPID, name, result, parameters (names
// and types) and help.
struct Row {
  int32_t dispid;
  const char* name;
  control::VarType result;
  std::span<const control::ParamInfo> params;
  const char* help;
  INVOKEKIND kind = INVOKE_FUNC;  // a method, or a property's get or put
};

void ExpectFunction(ITypeInfo* info, UINT index, const Row& row) {
  SCOPED_TRACE(row.name);
  const Lent<FUNCDESC> desc = Function(info, index);
  ASSERT_TRUE(desc) << "no function " << index;
  EXPECT_EQ(desc->memid, row.dispid);
  EXPECT_EQ(desc->funckind, FUNC_DISPATCH);
  EXPECT_EQ(desc->invkind, row.kind);
  EXPECT_EQ(desc->elemdescFunc.tdesc.vt, AutomationType(row.result));
  ASSERT_EQ(desc->cParams, static_cast<SHORT>(row.params.size()));
  std::vector<std::wstring> expectedNames{Wide(row.name)};
  for (std::size_t p = 0; p < row.params.size(); ++p) {
    EXPECT_EQ(desc->lprgelemdescParam[p].tdesc.vt, AutomationType(row.params[p].type))
        << row.params[p].name;
    expectedNames.push_back(Wide(row.params[p].name));
  }
  // GetNames finds a DISPID's first function: a method's names, a property's get's.
  if (row.kind != INVOKE_PROPERTYPUT) {
    EXPECT_EQ(Names(info, desc->memid), expectedNames);
  }
  EXPECT_EQ(Document(info, desc->memid).help, HostHelp(row.help));
}

class TypeLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_class) << "no class in the class table has type information";
    ASSERT_EQ(LoadTypeLibEx(test::com::DllPath().c_str(), REGKIND_NONE, m_library.Put()), S_OK)
        << "the type library of linvo.dll beside this program";
  }

  // The type information with this GUID; fails the test when there is none.
  ComPtr<ITypeInfo> TypeInfo(const char* guid) {
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(m_library->GetTypeInfoOfGuid(Guid(guid), info.Put()), S_OK) << guid;
    return info;
  }

  // (SetUp has checked that the class exists.)
  const module::TypeInformation& Types() const { return *m_class->typeInfo; }
  const control::TypeLibraryInfo& Info() const { return Types().library(); }

  const module::ClassEntry* const m_class = ControlClass();
  ComPtr<ITypeLib> m_library;
};

TEST_F(TypeLibrary, Library) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(m_library->GetLibAttr(&attr), S_OK);
  EXPECT_EQ(attr->guid, Guid(Types().libraryGuid));
  EXPECT_EQ(attr->wMajorVerNum, Info().versionMajor);
  EXPECT_EQ(attr->wMinorVerNum, Info().versionMinor);
  EXPECT_EQ(attr->lcid, Info().lcid);
  EXPECT_EQ(attr->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  m_library->ReleaseTLibAttr(attr);

  BSTR name = nullptr;
  BSTR help = nullptr;
  ASSERT_EQ(m_library->GetDocumentation(-1, &name, &help, nullptr, nullptr), S_OK);
  EXPECT_EQ(Text(Bstr(name)), Wide(Info().libraryName));
  EXPECT_EQ(Text(Bstr(help)), HostHelp(Info().libraryHelp));
  EXPECT_EQ(m_library->GetTypeInfoCount(), 3u);  // the two interfaces and the class
}

TEST_F(TypeLibrary, DispatchInterface) {
  const ComPtr<ITypeInfo> info = TypeInfo(Types().dispatchGuid);
  ASSERT_TRUE(info);
  const Lent<TYPEATTR> attr = Attributes(info.Get());
  ASSERT_TRUE(attr);
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE);  // not dual
  const Documentation doc = Document(info.Get(), MEMBERID_NIL);
  EXPECT_EQ(doc.name, Wide(Info().dispatchName));
  EXPECT_EQ(doc.help, HostHelp(Info().dispatchHelp));

  // Dispatch only: it derives from IDispatch itself.
  ASSERT_EQ(attr->cImplTypes, 1);
  HREFTYPE base = 0;
  ComPtr<ITypeInfo> baseInfo;
  ASSERT_EQ(info->GetRefTypeOfImplType(0, &base), S_OK);
  ASSERT_EQ(info->GetRefTypeInfo(base, baseInfo.Put()), S_OK);
  const Lent<TYPEATTR> baseAttr = Attributes(baseInfo.Get());
  ASSERT_TRUE(baseAttr);
  EXPECT_EQ(baseAttr->guid, IID_IDispatch);

  // In DISPID order: each property as a get and a put function (read-write, with its help), each
  // method as a function.
  UINT functions = 0;
  for (const control::MemberInfo& m : Types().members()) {
    SCOPED_TRACE(m.name);
    if (m.kind == control::MemberKind::kMethod) {
      ExpectFunction(info.Get(), functions++, {m.dispid, m.name, m.type, m.Params(), m.help});
      continue;
    }
    const control::ParamInfo value{"newValue", m.type};
    ExpectFunction(info.Get(), functions++,
                   {m.dispid, m.name, m.type, {}, m.help, INVOKE_PROPERTYGET});
    ExpectFunction(info.Get(), functions++,
                   {m.dispid, m.name, control::VarType::kVoid, {&value, 1}, m.help,
                    INVOKE_PROPERTYPUT});
    EXPECT_EQ(Document(info.Get(), m.dispid).name, Wide(m.name));
  }
  EXPECT_EQ(attr->cVars, 0);
  EXPECT_EQ(UINT{attr->cFuncs}, functions);  // 37 * 2 + 21
}

TEST_F(TypeLibrary, EventInterface) {
  const ComPtr<ITypeInfo> info = TypeInfo(Types().eventsGuid);
  ASSERT_TRUE(info);
  const Lent<TYPEATTR> attr = Attributes(info.Get());
  ASSERT_TRUE(attr);
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FDISPATCHABLE);
  const Documentation doc = Document(info.Get(), MEMBERID_NIL);
  EXPECT_EQ(doc.name, Wide(Info().eventsName));
  EXPECT_EQ(doc.help, HostHelp(Info().eventsHelp));

  // Each event: a function returning nothing with one long argument.
  UINT functions = 0;
  for (const control::EventInfo& e : Types().events()) {
    const control::ParamInfo argument{e.argumentName, control::VarType::kLong};
    ExpectFunction(info.Get(), functions++,
                   {e.dispid, e.name, control::VarType::kVoid, {&argument, 1}, e.help});
  }
  EXPECT_EQ(UINT{attr->cFuncs}, functions);  // 5
  EXPECT_EQ(attr->cVars, 0);
}

TEST_F(TypeLibrary, Class) {
  const ComPtr<ITypeInfo> info = TypeInfo(m_class->clsid);
  ASSERT_TRUE(info);
  const Lent<TYPEATTR> attr = Attributes(info.Get());
  ASSERT_TRUE(attr);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL);
  const Documentation doc = Document(info.Get(), MEMBERID_NIL);
  EXPECT_EQ(doc.name, Wide(Info().className));
  EXPECT_EQ(doc.help, HostHelp(Info().classHelp));

  // The dispatch interface is its default interface, the event interface its default source.
  struct Implemented {
    const char* guid;
    INT flags;
  };
  const Implemented expected[] = {
      {Types().dispatchGuid, IMPLTYPEFLAG_FDEFAULT},
      {Types().eventsGuid, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
  };
  ASSERT_EQ(attr->cImplTypes, static_cast<WORD>(std::size(expected)));
  for (UINT i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(expected[i].guid);
    INT flags = 0;
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> implemented;
    EXPECT_EQ(info->GetImplTypeFlags(i, &flags), S_OK);
    EXPECT_EQ(flags, expected[i].flags);
    ASSERT_EQ(info->GetRefTypeOfImplType(i, &ref), S_OK);
    ASSERT_EQ(info->GetRefTypeInfo(ref, implemented.Put()), S_OK);
    const Lent<TYPEATTR> implementedAttr = Attributes(implemented.Get());
    ASSERT_TRUE(implementedAttr);
    EXPECT_EQ(implementedAttr->guid, Guid(expected[i].guid));
  }
}

}  // namespace
