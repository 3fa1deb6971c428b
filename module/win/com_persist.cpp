// The control's persistence through a host's stream (IPersistStreamInit: one binary property
// record) and a host's property bag (IPersistPropertyBag: one named value per property). Both run
// the control's property exchange, so the four settings-file properties come from Linvo.ini after
// a load, exactly as with the JSON bag. A load reads and checks everything first; a stream or bag
// that is truncated, foreign or hostile is refused with the reason as error information, and the
// control keeps every value it had.
#include <array>
#include <string>
#include <vector>

#include "control/linvo_ctrl.h"
#include "control/stream_property_bag.h"
#include "module/win/com_control.h"
#include "module/win/com_errors.h"
#include "module/win/com_variant.h"

namespace linvo::module::com {
namespace {

using control::StreamPropertyBag;
using control::VarType;

// LogFileFolder comes back from Linvo.ini during a save, at most this long (the settings read's
// buffer), so a save's record may exceed the current values' record by this much.
constexpr std::size_t kSettingsTextSlack = 256;

Status ReadExactly(IStream* stream, uint8_t* data, std::size_t size, const char* what) {
  std::size_t done = 0;
  while (done < size) {
    ULONG read = 0;
    const HRESULT hr =
        stream->Read(data + done, static_cast<ULONG>(size - done), &read);
    if (FAILED(hr)) return Fail(hr, std::string("reading the stream failed in the ") + what);
    if (read == 0) {
      return Fail(E_FAIL, "the stream ends in the " + std::string(what) + " after " +
                              std::to_string(done) + " of " + std::to_string(size) + " bytes");
    }
    done += read;
  }
  return {};
}

// A value a bag may hold for a property: a number, a boolean, a text or nothing. Objects (whose
// conversion would call into them) and arrays are refused.
bool ScalarValue(const VARIANT& v) {
  switch (V_VT(&v)) {
    case VT_EMPTY:
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL:
    case VT_BOOL:
    case VT_BSTR:
      return true;
    default:
      return false;
  }
}

// Writes the control's values into a host's bag; keeps the first failure.
class HostBagWriter final : public control::PropertyBag {
 public:
  explicit HostBagWriter(IPropertyBag* bag) : m_bag(bag) {}

  HRESULT result() const { return m_result; }
  const std::string& failedName() const { return m_failedName; }

  int32_t ReadLong(std::string_view, int32_t d) override { return d; }
  control::BOOL ReadBool(std::string_view, control::BOOL d) override { return d; }
  std::string ReadText(std::string_view, std::string_view d) override { return std::string(d); }

  void WriteLong(std::string_view name, int32_t value) override {
    ScopedVariant v;
    V_VT(&v.v) = VT_I4;
    V_I4(&v.v) = value;
    Write(name, v.v);
  }
  void WriteBool(std::string_view name, control::BOOL value) override {
    ScopedVariant v;
    V_VT(&v.v) = VT_BOOL;
    V_BOOL(&v.v) = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    Write(name, v.v);
  }
  void WriteText(std::string_view name, std::string_view value) override {
    ScopedVariant v;
    V_BSTR(&v.v) = AllocBstr(value);
    V_VT(&v.v) = VT_BSTR;
    Write(name, v.v);
  }

 private:
  void Write(std::string_view name, VARIANT& value) {
    if (FAILED(m_result)) return;
    const std::wstring wide = Widen(std::string(name).c_str());
    m_result = m_bag->Write(wide.c_str(), &value);
    if (FAILED(m_result)) m_failedName = name;
  }

  IPropertyBag* m_bag;
  HRESULT m_result = S_OK;
  std::string m_failedName;
};

}  // namespace

STDMETHODIMP ComControl::GetClassID(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = Control().clsid;
  return S_OK;
}

STDMETHODIMP ComControl::IsDirty() {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  return m_object->Control().IsModified() ? S_OK : S_FALSE;
}

STDMETHODIMP ComControl::InitNew() {
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  return GuardWithErrorInfo(IID_IPersistStreamInit, [&]() -> Status {
    m_object->Control().InitNew();
    return {};
  });
}

STDMETHODIMP ComControl::Load(IStream* stream) {
  if (stream == nullptr) return E_POINTER;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  return GuardWithErrorInfo(IID_IPersistStreamInit, [&]() -> Status {
    std::array<uint8_t, StreamPropertyBag::kHeaderBytes> header{};
    if (Status s = ReadExactly(stream, header.data(), header.size(), "header"); !s.ok()) return s;
    std::string error;
    const std::optional<std::size_t> size = StreamPropertyBag::RecordBytes(header, &error);
    if (!size) return Fail(E_FAIL, "the stream holds no linvo control: " + error);
    std::vector<uint8_t> record(*size);
    std::copy(header.begin(), header.end(), record.begin());
    if (Status s = ReadExactly(stream, record.data() + header.size(), record.size() - header.size(),
                               "properties");
        !s.ok()) {
      return s;
    }
    StreamPropertyBag bag;
    if (!bag.Load(record, &error)) return Fail(E_FAIL, "the control's record is damaged: " + error);
    m_object->Control().Load(bag);
    return {};
  });
}

STDMETHODIMP ComControl::Save(IStream* stream, BOOL clearDirty) {
  if (stream == nullptr) return E_POINTER;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  return GuardWithErrorInfo(IID_IPersistStreamInit, [&]() -> Status {
    control::CLinvoCtrl& ctl = m_object->Control();
    const bool wasModified = ctl.IsModified();
    StreamPropertyBag bag;
    ctl.Save(bag, clearDirty != FALSE);
    const std::vector<uint8_t> record = bag.Record();
    ULONG written = 0;
    HRESULT hr = stream->Write(record.data(), static_cast<ULONG>(record.size()), &written);
    if (SUCCEEDED(hr) && written != record.size()) hr = STG_E_MEDIUMFULL;
    if (FAILED(hr)) {
      if (wasModified) ctl.SetModifiedFlag();
      return Fail(hr, "writing the control's " + std::to_string(record.size()) +
                          "-byte record to the stream failed");
    }
    return {};
  });
}

STDMETHODIMP ComControl::GetSizeMax(ULARGE_INTEGER* size) {
  if (size == nullptr) return E_POINTER;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  return GuardWithErrorInfo(IID_IPersistStreamInit, [&]() -> Status {
    StreamPropertyBag bag;
    m_object->Control().WriteProperties(bag);
    size->QuadPart = bag.Record().size() + kSettingsTextSlack;
    return {};
  });
}

// A storage keeps the stream's record in its stream "Contents", and the class beside it.
constexpr wchar_t kContents[] = L"Contents";

STDMETHODIMP ComControl::InitNew(IStorage*) { return InitNew(); }

STDMETHODIMP ComControl::Load(IStorage* storage) {
  if (storage == nullptr) return E_POINTER;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  ComPtr<IStream> stream;
  if (HRESULT hr = storage->OpenStream(kContents, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                       stream.Put());
      FAILED(hr)) {
    return ErrorInfoResult(Fail(hr, "the storage has no stream \"Contents\" of a linvo control"),
                           IID_IPersistStorage);
  }
  return Load(stream.Get());
}

STDMETHODIMP ComControl::Save(IStorage* storage, BOOL) {
  if (storage == nullptr) return E_POINTER;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  ComPtr<IStream> stream;
  HRESULT hr = WriteClassStg(storage, Control().clsid);
  if (SUCCEEDED(hr)) {
    hr = storage->CreateStream(kContents, STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                               stream.Put());
  }
  if (FAILED(hr)) {
    return ErrorInfoResult(Fail(hr, "the storage refused the stream \"Contents\""),
                           IID_IPersistStorage);
  }
  return Save(stream.Get(), TRUE);
}

STDMETHODIMP ComControl::SaveCompleted(IStorage*) { return CheckThread(); }
STDMETHODIMP ComControl::HandsOffStorage() { return CheckThread(); }

STDMETHODIMP ComControl::Load(IPropertyBag* bag, IErrorLog* log) {
  if (bag == nullptr) return E_POINTER;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  return GuardWithErrorInfo(IID_IPersistPropertyBag, [&]() -> Status {
    StreamPropertyBag staged;
    for (const control::MemberInfo* m : control::ExchangeOrder()) {
      const std::wstring name = Widen(m->name);
      ScopedVariant value;
      const HRESULT hr = bag->Read(name.c_str(), &value.v, log);
      if (hr == E_INVALIDARG) continue;  // not in the bag: the property takes its default
      const std::string which = std::string("property '") + m->name + "'";
      if (FAILED(hr)) return Fail(hr, "reading " + which + " from the property bag failed");
      Variant converted;
      Status s = ScalarValue(value.v)
                     ? FromVariant(value.v, m->type, LOCALE_INVARIANT, &converted)
                     : Fail(DISP_E_TYPEMISMATCH, "the bag holds an object or an array");
      if (s.ok() && converted.text.size() > StreamPropertyBag::kMaxText) {
        s = Fail(E_FAIL, "a text of " + std::to_string(converted.text.size()) +
                             " bytes is longer than " +
                             std::to_string(StreamPropertyBag::kMaxText));
      }
      if (!s.ok()) {
        s.message = which + ": " + s.message;
        if (log != nullptr) {
          EXCEPINFO info{};
          info.scode = s.code;
          try {
            info.bstrDescription = AllocBstr(s.message);
          } catch (const std::bad_alloc&) {
          }
          log->AddError(name.c_str(), &info);
          SysFreeString(info.bstrDescription);
        }
        return s;
      }
      switch (m->type) {
        case VarType::kText:
          staged.WriteText(m->name, converted.text);
          break;
        case VarType::kBool:
          staged.WriteBool(m->name, converted.number != 0 ? 1 : 0);
          break;
        default:
          staged.WriteLong(m->name, static_cast<int32_t>(converted.number));
          break;
      }
    }
    m_object->Control().Load(staged);
    return {};
  });
}

STDMETHODIMP ComControl::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) {
  if (bag == nullptr) return E_POINTER;
  if (HRESULT hr = CheckThread(); FAILED(hr)) return hr;
  return GuardWithErrorInfo(IID_IPersistPropertyBag, [&]() -> Status {
    control::CLinvoCtrl& ctl = m_object->Control();
    const bool wasModified = ctl.IsModified();
    HostBagWriter writer(bag);
    ctl.Save(writer, clearDirty != FALSE);
    if (FAILED(writer.result())) {
      if (wasModified) ctl.SetModifiedFlag();
      return Fail(writer.result(),
                  "writing property '" + writer.failedName() + "' to the property bag failed");
    }
    return {};
  });
}

}  // namespace linvo::module::com
