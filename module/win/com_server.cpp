// The module's class objects: one class factory per class of the class table that can be created
// here, served by DllGetClassObject; DllCanUnloadNow while no object lives and no lock is held.
#include <windows.h>
#include <olectl.h>

#include "module/win/com_control.h"
#include "module/win/com_module.h"

namespace linvo::module::com {
namespace {

// The control's class factory: a static object, so its references do not count; LockServer does.
class ControlFactory final : public IClassFactory {
 public:
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
      return ComControl::Create(riid, object);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      // The control could not be set up on this thread (no message window for it).
      return E_FAIL;
    }
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    com::LockServer(lock != FALSE);
    return S_OK;
  }
};

ControlFactory g_controlFactory;

}  // namespace
}  // namespace linvo::module::com

using linvo::module::com::Control;

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid,
                                                                          REFIID riid,
                                                                          void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  // The property page is a class of the module, but it cannot be created yet.
  if (!IsEqualCLSID(clsid, Control().clsid)) return CLASS_E_CLASSNOTAVAILABLE;
  return linvo::module::com::g_controlFactory.QueryInterface(riid, object);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return linvo::module::com::CanUnload() ? S_OK : S_FALSE;
}
