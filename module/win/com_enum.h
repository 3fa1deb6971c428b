// The standard enumerator objects (IEnumConnections, IEnumConnectionPoints) over a snapshot of
// items, each of which holds one reference to a COM object while the snapshot lives.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <atomic>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "module/win/com_module.h"

namespace linvo::module::com {

inline IUnknown* ReferenceOf(const CONNECTDATA& item) { return item.pUnk; }
inline IUnknown* ReferenceOf(IConnectionPoint* item) { return item; }

template <class Enum, class Item>
class Enumerator final : public Enum, private ModuleObject {
 public:
  // Takes the items, whose references the caller has added; answers Enum through *out.
  static HRESULT Create(REFIID iid, std::vector<Item> items, Enum** out) {
    *out = nullptr;
    std::shared_ptr<Items> shared;
    try {
      shared = std::make_shared<Items>();
    } catch (const std::bad_alloc&) {
      for (const Item& item : items) ReferenceOf(item)->Release();
      return E_OUTOFMEMORY;
    }
    shared->list = std::move(items);
    *out = new (std::nothrow) Enumerator(iid, std::move(shared), 0);
    return *out ? S_OK : E_OUTOFMEMORY;
  }

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, m_iid)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<Enum*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
  }

  STDMETHODIMP Next(ULONG count, Item* items, ULONG* fetched) override {
    if (items == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    ULONG taken = 0;
    for (; taken < count && m_pos < m_items->list.size(); ++taken, ++m_pos) {
      items[taken] = m_items->list[m_pos];
      ReferenceOf(items[taken])->AddRef();
    }
    if (fetched != nullptr) *fetched = taken;
    return taken == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    const std::size_t left = m_items->list.size() - m_pos;
    m_pos += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    m_pos = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(Enum** clone) override {
    if (clone == nullptr) return E_POINTER;
    *clone = new (std::nothrow) Enumerator(m_iid, m_items, m_pos);
    return *clone ? S_OK : E_OUTOFMEMORY;
  }

 private:
  struct Items {
    std::vector<Item> list;
    Items() = default;
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;
    ~Items() {
      for (const Item& item : list) ReferenceOf(item)->Release();
    }
  };

  Enumerator(REFIID iid, std::shared_ptr<const Items> items, std::size_t pos)
      : m_iid(iid), m_items(std::move(items)), m_pos(pos) {}
  ~Enumerator() = default;

  IID m_iid;
  std::atomic<ULONG> m_refs{1};
  std::shared_ptr<const Items> m_items;
  std::size_t m_pos;
};

}  // namespace linvo::module::com
