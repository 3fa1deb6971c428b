#include "module/win/com_control.h"

#include <olectl.h>

#include <cwctype>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "module/win/com_errors.h"
#include "module/win/com_events.h"
#include "module/win/com_variant.h"
#include "platform/text.h"

namespace linvo::module::com {
namespace {

using control::MemberInfo;

// The message the reaper window handles: destroy the object now.
constexpr uint32_t kDestroyMessage = platform::kWmApp + 0x100;

constexpr DWORD kSafetyOptions = INTERFACESAFE_FOR_UNTRUSTED_CALLER |
                                 INTERFACESAFE_FOR_UNTRUSTED_DATA;

bool IsDispatchIid(REFIID riid) {
  return IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, Control().dispatch);
}
bool IsPersistIid(REFIID riid) {
  return IsEqualIID(riid, IID_IPersistStreamInit) || IsEqualIID(riid, IID_IPersistStream) ||
         IsEqualIID(riid, IID_IPersistPropertyBag) || IsEqualIID(riid, IID_IPersistStorage) ||
         IsEqualIID(riid, IID_IPersist);
}

// A name a host passes, as the narrow text the member table compares; nothing for a name with
// characters no member name has.
bool AsciiName(const wchar_t* name, std::string* out) {
  if (name == nullptr) return false;
  out->clear();
  for (; *name != L'\0'; ++name) {
    if (*name > 0x7E || *name < 0x20) return false;
    out->push_back(static_cast<char>(*name));
  }
  return true;
}

// A host's arguments in parameter order: the positional ones come last-first in rgvarg, the
// named ones carry their parameter index (their DISPID from GetIDsOfNames). Each slot points at
// its VARIANT and remembers its rgvarg index for puArgErr.
struct Arguments {
  std::vector<const VARIANT*> values;
  std::vector<UINT> positions;
};

Status ArrangeArguments(const MemberInfo& member, const DISPPARAMS& params, Arguments* out,
                        UINT* argError) {
  const auto declared = member.Params();
  const UINT named = params.cNamedArgs;
  const UINT positional = params.cArgs - named;
  std::string expected = "'" + std::string(member.name) + "' takes " +
                         std::to_string(declared.size()) + " argument" +
                         (declared.size() == 1 ? "" : "s");
  if (!declared.empty()) {
    expected += " (";
    for (std::size_t i = 0; i < declared.size(); ++i) {
      expected += (i ? ", " : "") + std::string(declared[i].name);
    }
    expected += ")";
  }
  if (params.cArgs > declared.size() || (named == 0 && params.cArgs < declared.size())) {
    return Fail(DISP_E_BADPARAMCOUNT, expected + ", got " + std::to_string(params.cArgs));
  }
  out->values.assign(declared.size(), nullptr);
  out->positions.assign(declared.size(), 0);
  for (UINT i = 0; i < positional; ++i) {
    out->values[i] = &params.rgvarg[params.cArgs - 1 - i];
    out->positions[i] = params.cArgs - 1 - i;
  }
  for (UINT i = 0; i < named; ++i) {
    const DISPID index = params.rgdispidNamedArgs[i];
    if (index < 0 || static_cast<std::size_t>(index) >= declared.size() ||
        out->values[static_cast<std::size_t>(index)] != nullptr) {
      *argError = i;
      return Fail(DISP_E_PARAMNOTFOUND, "'" + std::string(member.name) +
                                            "' has no parameter " + std::to_string(index) +
                                            " to name, or it was given twice");
    }
    out->values[static_cast<std::size_t>(index)] = &params.rgvarg[i];
    out->positions[static_cast<std::size_t>(index)] = i;
  }
  for (std::size_t i = 0; i < declared.size(); ++i) {
    const VARIANT* v = out->values[i];
    // A script's omitted argument arrives as VT_ERROR with DISP_E_PARAMNOTFOUND.
    const bool omitted = v == nullptr || (V_VT(v) == VT_ERROR && V_ERROR(v) == DISP_E_PARAMNOTFOUND);
    if (omitted) {
      if (v != nullptr) *argError = out->positions[i];
      return Fail(DISP_E_PARAMNOTOPTIONAL,
                  "'" + std::string(member.name) + "': argument " + std::to_string(i + 1) + " (" +
                      declared[i].name + ") is not optional");
    }
  }
  return {};
}

// Controls whose creating thread ended with their destruction queued (ComControl::Destroy).
std::mutex g_endedThreadsMutex;
std::vector<ComControl*> g_endedThreadControls;

void PinModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&PinModule), &module);
}

}  // namespace

void ComControl::DeferDestruction(ComControl* control) {
  std::lock_guard hold(g_endedThreadsMutex);
  try {
    g_endedThreadControls.push_back(control);
  } catch (const std::bad_alloc&) {
    // Out of memory at a thread's end: the control is left, which is better than a hang.
  }
}

void ComControl::DestroyEndedThreadControls() {
  std::vector<ComControl*> ended;
  {
    std::lock_guard hold(g_endedThreadsMutex);
    ended.swap(g_endedThreadControls);
  }
  for (ComControl* control : ended) delete control;
}

HRESULT ComControl::Create(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  PinModule();
  std::unique_ptr<DispatchObject> dispatch;
  if (Status s = CreateObject(Control().entry->progId, &dispatch); !s.ok()) return s.code;
  ComControl* control = new ComControl(std::move(dispatch));
  const HRESULT hr = control->QueryInterface(riid, object);
  control->Release();  // the reference QueryInterface took is the caller's
  return hr;
}

ComControl::ComControl(std::unique_ptr<DispatchObject> object)
    : m_object(std::move(object)), m_events(std::make_unique<EventPoint>(*this)) {
  // The natural size: the design-mode picture's, in HIMETRIC at 96 pixels an inch.
  const SIZE picture = DesignPictureSize();
  m_extent = SIZEL{MulDiv(picture.cx, 2540, 96), MulDiv(picture.cy, 2540, 96)};
  int32_t cookie = 0;
  m_object->Connect([this](const control::EventInfo& event, int32_t argument) {
    Fire(event, argument);
  }, &cookie);
  m_reaper = platform::CreateMessageWindow(
      "LinvoComControl",
      [this](uint32_t msg, platform::WParam, platform::LParam) -> std::intptr_t {
        if (msg == kDestroyMessage) delete this;
        return 0;
      },
      // The thread ended with the destruction still queued: it cannot destroy the control while
      // it ends (closing a port waits for the port's threads, and on Windows no thread finishes
      // ending while another runs its end-of-thread callbacks), so the module's next entry does.
      [this](uint32_t msg, platform::WParam, platform::LParam) {
        if (msg == kDestroyMessage) DeferDestruction(this);
      });
}

ComControl::~ComControl() {
  if (m_window != nullptr) DestroyWindow(m_window);
  platform::DestroyMessageWindow(m_reaper);
  m_events.reset();
  m_object.reset();
}

HRESULT ComControl::CheckThread() const {
  Status s = m_object->CheckThread();
  return s.code;
}

// ---- IUnknown ----

STDMETHODIMP ComControl::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsDispatchIid(riid)) {
    *object = static_cast<IDispatch*>(this);
  } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
    *object = static_cast<IConnectionPointContainer*>(this);
  } else if (IsEqualIID(riid, IID_IProvideClassInfo) ||
             IsEqualIID(riid, IID_IProvideClassInfo2)) {
    *object = static_cast<IProvideClassInfo2*>(this);
  } else if (IsEqualIID(riid, IID_IPersist) || IsEqualIID(riid, IID_IPersistStreamInit) ||
             IsEqualIID(riid, IID_IPersistStream)) {
    // IPersistStream's functions are the first ones of IPersistStreamInit.
    *object = static_cast<IPersistStreamInit*>(this);
  } else if (IsEqualIID(riid, IID_IPersistPropertyBag)) {
    *object = static_cast<IPersistPropertyBag*>(this);
  } else if (IsEqualIID(riid, IID_IObjectSafety)) {
    *object = static_cast<IObjectSafety*>(this);
  } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
    *object = static_cast<ISupportErrorInfo*>(this);
  } else if (IsEqualIID(riid, IID_IPersistStorage)) {
    *object = static_cast<IPersistStorage*>(this);
  } else if (IsEqualIID(riid, IID_IOleObject)) {
    *object = static_cast<IOleObject*>(this);
  } else if (IsEqualIID(riid, IID_IOleControl)) {
    *object = static_cast<IOleControl*>(this);
  } else if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IOleInPlaceObject)) {
    *object = static_cast<IOleInPlaceObject*>(this);
  } else if (IsEqualIID(riid, IID_IOleInPlaceActiveObject)) {
    *object = static_cast<IOleInPlaceActiveObject*>(this);
  } else if (IsEqualIID(riid, IID_IViewObject) || IsEqualIID(riid, IID_IViewObject2)) {
    *object = static_cast<IViewObject2*>(this);
  } else if (IsEqualIID(riid, IID_ISpecifyPropertyPages)) {
    *object = static_cast<ISpecifyPropertyPages*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) ComControl::AddRef() { return ++m_refs; }

STDMETHODIMP_(ULONG) ComControl::Release() {
  const ULONG refs = --m_refs;
  if (refs == 0) Destroy();
  return refs;
}

void ComControl::Destroy() {
  // The control and its windows belong to the creating thread, and an event's caller is still on
  // the stack while the event runs: then the thread destroys it when it next handles messages.
  const bool now = CheckThread() == S_OK && !m_object->InEvent();
  if (now || !platform::PostWindowMessage(m_reaper, kDestroyMessage, 0, 0)) delete this;
}

// ---- IDispatch ----

STDMETHODIMP ComControl::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

STDMETHODIMP ComControl::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  return TypeInfoOf(Control().dispatch, info);
}

HRESULT ComControl::TypeInfoOf(REFGUID guid, ITypeInfo** info) {
  if (!m_typeLib) {
    if (HRESULT hr = LoadModuleTypeLib(m_typeLib.Put()); FAILED(hr)) return hr;
  }
  return m_typeLib->GetTypeInfoOfGuid(guid, info);
}

STDMETHODIMP ComControl::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                       DISPID* dispids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (count == 0) return S_OK;
  if (names == nullptr || dispids == nullptr) return E_POINTER;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  for (UINT i = 0; i < count; ++i) dispids[i] = DISPID_UNKNOWN;
  std::string name;
  const MemberInfo* member =
      AsciiName(names[0], &name) ? control::FindMember(std::string_view(name)) : nullptr;
  if (member == nullptr) return DISP_E_UNKNOWNNAME;
  dispids[0] = member->dispid;
  // Further names are the member's parameter names; their DISPIDs are their positions.
  HRESULT hr = S_OK;
  const auto declared = member->Params();
  for (UINT i = 1; i < count; ++i) {
    hr = DISP_E_UNKNOWNNAME;
    if (!AsciiName(names[i], &name)) continue;
    for (std::size_t p = 0; p < declared.size(); ++p) {
      if (platform::EqualsNoCase(name, declared[p].name)) {
        dispids[i] = static_cast<DISPID>(p);
        hr = S_OK;
      }
    }
    if (dispids[i] == DISPID_UNKNOWN) break;
  }
  for (UINT i = 1; i < count; ++i) {
    if (dispids[i] == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
  }
  return hr;
}

STDMETHODIMP ComControl::Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags,
                                DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                UINT* argError) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr) ||
      params->cNamedArgs > params->cArgs ||
      (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr)) {
    return E_INVALIDARG;
  }
  UINT ignoredArgError = 0;
  if (argError == nullptr) argError = &ignoredArgError;
  if (result != nullptr) VariantInit(result);

  return GuardDispatch(exception, [&]() -> Status {
    const MemberInfo* member = control::FindMember(static_cast<int32_t>(dispid));
    if (member == nullptr) {
      return Fail(DISP_E_MEMBERNOTFOUND, "no member with DISPID " + std::to_string(dispid));
    }
    const bool property = member->kind == control::MemberKind::kProperty;
    if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) == DISPATCH_PROPERTYPUTREF) {
      return Fail(DISP_E_MEMBERNOTFOUND, "'" + std::string(member->name) +
                                             "' holds no object; assign it without Set");
    }
    if (flags & DISPATCH_PROPERTYPUT) {
      if (!property) {
        return Fail(DISP_E_MEMBERNOTFOUND,
                    "'" + std::string(member->name) + "' is a method; it cannot be assigned");
      }
      // The new value is the one argument, named DISPID_PROPERTYPUT by convention.
      if (params->cArgs != 1 ||
          (params->cNamedArgs == 1 && params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) ||
          params->cNamedArgs > 1) {
        return Fail(DISP_E_BADPARAMCOUNT, "a put of '" + std::string(member->name) +
                                              "' takes one value, got " +
                                              std::to_string(params->cArgs));
      }
      Variant value;
      if (Status s = FromVariant(params->rgvarg[0], member->type, lcid, &value); !s.ok()) {
        *argError = 0;
        s.message = "'" + std::string(member->name) + "': " + s.message;
        return s;
      }
      return m_object->Invoke(member->dispid, LVO_PROPERTYPUT, {&value, 1}, nullptr);
    }
    if ((flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) {
      return Fail(E_INVALIDARG, "invalid invoke flags " + std::to_string(flags));
    }
    if (property && params->cArgs != 0) {
      return Fail(DISP_E_BADPARAMCOUNT, "'" + std::string(member->name) +
                                            "' is a property; it takes no arguments, got " +
                                            std::to_string(params->cArgs));
    }
    Arguments arranged;
    if (Status s = ArrangeArguments(*member, *params, &arranged, argError); !s.ok()) return s;
    std::vector<Variant> values(arranged.values.size());
    const auto declared = member->Params();
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (Status s = FromVariant(*arranged.values[i], declared[i].type, lcid, &values[i]);
          !s.ok()) {
        *argError = arranged.positions[i];
        s.message = "'" + std::string(member->name) + "' argument " + std::to_string(i + 1) +
                    " (" + declared[i].name + "): " + s.message;
        return s;
      }
    }
    Variant value;
    const int32_t how = property ? LVO_PROPERTYGET : LVO_METHOD;
    if (Status s = m_object->Invoke(member->dispid, how, values, &value); !s.ok()) return s;
    if (result != nullptr) ToVariant(value, result);
    return {};
  });
}

// ---- IProvideClassInfo2 ----

STDMETHODIMP ComControl::GetClassInfo(ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  return TypeInfoOf(Control().clsid, info);
}

STDMETHODIMP ComControl::GetGUID(DWORD kind, GUID* guid) {
  if (guid == nullptr) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *guid = GUID_NULL;
    return E_INVALIDARG;
  }
  *guid = Control().events;
  return S_OK;
}

// ---- IObjectSafety ----

STDMETHODIMP ComControl::GetInterfaceSafetyOptions(REFIID riid, DWORD* supported,
                                                   DWORD* enabled) {
  if (supported == nullptr || enabled == nullptr) return E_POINTER;
  *supported = *enabled = 0;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  if (IsDispatchIid(riid)) {
    *enabled = m_safeDispatch;
  } else if (IsPersistIid(riid)) {
    *enabled = m_safePersist;
  } else {
    return E_NOINTERFACE;
  }
  *supported = kSafetyOptions;
  return S_OK;
}

STDMETHODIMP ComControl::SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  DWORD* options = IsDispatchIid(riid)  ? &m_safeDispatch
                   : IsPersistIid(riid) ? &m_safePersist
                                        : nullptr;
  if (options == nullptr) return E_NOINTERFACE;
  // Only the two options exist; asking for any other fails as the caller must be told.
  if ((mask & ~kSafetyOptions) != 0) return E_FAIL;
  *options = (*options & ~mask) | (enabled & mask);
  return S_OK;
}

// ---- ISupportErrorInfo ----

STDMETHODIMP ComControl::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsPersistIid(riid) ? S_OK : S_FALSE;
}

}  // namespace linvo::module::com
