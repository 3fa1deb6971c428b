// The module's class objects: a class factory for the control and one for its property page,
// served by DllGetClassObject; DllCanUnloadNow while no object lives and no lock is held.
#include <windows.h>
#include <olectl.h>

#include <new>

#include "module/win/com_control.h"
#include "module/win/com_module.h"
#include "module/win/com_property_page.h"

namespace linvo::module::com {
namespace {

using Creator = HRESULT (*)(REFIID riid, void** object);

// A class factory: a static object, so its references do not count; LockServer does.
class Factory final : public IClassFactory {
 public:
  explicit constexpr Factory(Creator create) : m_create(create) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    try {
      return m_create(riid, object);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      // The object could not be set up on this thread (no message window for it).
      return E_FAIL;
    }
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    com::LockServer(lock != FALSE);
    return S_OK;
  }

 private:
  Creator m_create;
};

Factory g_controlFactory(&ComControl::Create);
Factory g_pageFactory(&CreatePropertyPage);

}  // namespace
}  // namespace linvo::module::com

using linvo::module::com::Control;

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid,
                                                                          REFIID riid,
                                                                          void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  linvo::module::com::ComControl::DestroyEndedThreadControls();
  if (IsEqualCLSID(clsid, Control().clsid)) {
    return linvo::module::com::g_controlFactory.QueryInterface(riid, object);
  }
  if (IsEqualCLSID(clsid, Control().propertyPage)) {
    return linvo::module::com::g_pageFactory.QueryInterface(riid, object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  linvo::module::com::ComControl::DestroyEndedThreadControls();
  return linvo::module::com::CanUnload() ? S_OK : S_FALSE;
}
