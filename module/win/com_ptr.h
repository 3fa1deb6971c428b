// An owning pointer to a COM interface: one reference, released when the pointer goes.
// (mingw-w64's WRL ComPtr drags in the Windows Runtime headers; this is all the module needs.)
#pragma once

#include <unknwn.h>

#include <utility>

namespace linvo::module::com {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes a new reference to p.
  explicit ComPtr(T* p) : m_p(p) {
    if (m_p) m_p->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.m_p) {}
  ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(m_p, other.m_p);
    return *this;
  }
  ~ComPtr() { Reset(); }

  void Reset() {
    if (T* p = std::exchange(m_p, nullptr)) p->Release();
  }
  T* Get() const { return m_p; }
  T* operator->() const { return m_p; }
  explicit operator bool() const { return m_p != nullptr; }
  // For functions that hand out a reference through T**: releases what is held first.
  T** Put() {
    Reset();
    return &m_p;
  }
  // Gives the reference to the caller.
  T* Detach() { return std::exchange(m_p, nullptr); }

 private:
  T* m_p = nullptr;
};

}  // namespace linvo::module::com
