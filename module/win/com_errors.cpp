#include "module/win/com_errors.h"

#include "module/win/com_module.h"
#include "module/win/com_ptr.h"
#include "module/win/com_variant.h"

namespace linvo::module::com {

HRESULT DispatchResult(const Status& status, EXCEPINFO* exception) {
  if (status.ok()) return S_OK;
  if (exception == nullptr || status.message.empty()) return status.code;
  *exception = EXCEPINFO{};
  try {
    exception->bstrSource = AllocBstr(Control().entry->progId);
    exception->bstrDescription = AllocBstr(status.message);
  } catch (const std::bad_alloc&) {
    SysFreeString(exception->bstrSource);
    *exception = EXCEPINFO{};
    return status.code;
  }
  exception->scode = status.code;
  return DISP_E_EXCEPTION;
}

HRESULT ErrorInfoResult(const Status& status, REFIID source) {
  if (status.ok()) {
    SetErrorInfo(0, nullptr);
    return S_OK;
  }
  ComPtr<ICreateErrorInfo> create;
  if (!status.message.empty() && SUCCEEDED(CreateErrorInfo(create.Put()))) {
    create->SetGUID(source);
    BSTR text = nullptr;
    try {
      text = AllocBstr(Control().entry->progId);
      create->SetSource(text);
      SysFreeString(text);
      text = AllocBstr(status.message);
      create->SetDescription(text);
      SysFreeString(text);
    } catch (const std::bad_alloc&) {
    }
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.Put())))) {
      SetErrorInfo(0, info.Get());
    }
  }
  return status.code;
}

}  // namespace linvo::module::com
