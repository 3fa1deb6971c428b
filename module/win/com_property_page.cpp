#include "module/win/com_property_page.h"

#include <atomic>
#include <string>
#include <vector>

#include "module/win/com_module.h"
#include "module/win/com_ptr.h"

namespace linvo::module::com {
namespace {

constexpr int kDialog = 200;
constexpr int kTitle = 200;

INT_PTR CALLBACK DialogProcedure(HWND, UINT msg, WPARAM, LPARAM) {
  return msg == WM_INITDIALOG ? TRUE : FALSE;
}

HWND CreatePage(HWND parent) {
  return CreateDialogParamW(ThisModule(), MAKEINTRESOURCEW(kDialog), parent, &DialogProcedure, 0);
}

class PropertyPage final : public IPropertyPage, private ModuleObject {
 public:
  PropertyPage() = default;
  PropertyPage(const PropertyPage&) = delete;
  PropertyPage& operator=(const PropertyPage&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IPropertyPage)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IPropertyPage*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
  }

  STDMETHODIMP SetPageSite(IPropertyPageSite* site) override {
    m_site = ComPtr<IPropertyPageSite>(site);
    return S_OK;
  }

  STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL) override {
    if (rect == nullptr) return E_POINTER;
    if (m_dialog != nullptr) return E_UNEXPECTED;
    m_dialog = CreatePage(parent);
    if (m_dialog == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    Move(rect);
    return S_OK;
  }

  STDMETHODIMP Deactivate() override {
    if (m_dialog != nullptr) DestroyWindow(m_dialog);
    m_dialog = nullptr;
    return S_OK;
  }

  // The title from string 200 and the dialog's size in pixels, measured on a hidden copy (a
  // dialog's size depends on its font's metrics on this system).
  STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override {
    if (info == nullptr) return E_POINTER;
    *info = PROPPAGEINFO{};
    info->cb = sizeof *info;
    const wchar_t* title = nullptr;
    const int length = LoadStringW(ThisModule(), kTitle, reinterpret_cast<LPWSTR>(&title), 0);
    info->pszTitle = TaskMemText(std::wstring(title ? title : L"", length > 0 ? length : 0));
    if (info->pszTitle == nullptr) return E_OUTOFMEMORY;
    HWND measured = CreatePage(GetDesktopWindow());
    if (measured == nullptr) {
      CoTaskMemFree(info->pszTitle);
      info->pszTitle = nullptr;
      return HRESULT_FROM_WIN32(GetLastError());
    }
    RECT rect{};
    GetWindowRect(measured, &rect);
    DestroyWindow(measured);
    info->size = SIZE{rect.right - rect.left, rect.bottom - rect.top};
    return S_OK;
  }

  STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override {
    if (count > 0 && objects == nullptr) return E_POINTER;
    m_objects.clear();
    for (ULONG i = 0; i < count; ++i) m_objects.emplace_back(objects[i]);
    return S_OK;
  }

  STDMETHODIMP Show(UINT command) override {
    if (m_dialog == nullptr) return E_UNEXPECTED;
    ShowWindow(m_dialog, static_cast<int>(command));
    return S_OK;
  }

  STDMETHODIMP Move(LPCRECT rect) override {
    if (rect == nullptr) return E_POINTER;
    if (m_dialog == nullptr) return E_UNEXPECTED;
    MoveWindow(m_dialog, rect->left, rect->top, rect->right - rect->left,
               rect->bottom - rect->top, TRUE);
    return S_OK;
  }

  STDMETHODIMP IsPageDirty() override { return S_FALSE; }
  STDMETHODIMP Apply() override { return S_OK; }
  STDMETHODIMP Help(LPCOLESTR) override { return E_NOTIMPL; }
  STDMETHODIMP TranslateAccelerator(MSG* msg) override {
    return m_dialog != nullptr && msg != nullptr && IsDialogMessageW(m_dialog, msg) ? S_OK
                                                                                     : S_FALSE;
  }

 private:
  ~PropertyPage() { Deactivate(); }

  std::atomic<ULONG> m_refs{1};
  ComPtr<IPropertyPageSite> m_site;
  std::vector<ComPtr<IUnknown>> m_objects;
  HWND m_dialog = nullptr;
};

}  // namespace

HRESULT CreatePropertyPage(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  auto* page = new PropertyPage;
  const HRESULT hr = page->QueryInterface(riid, object);
  page->Release();
  return hr;
}

}  // namespace linvo::module::com
