// linvo for C++ hosts: a header-only wrapper over the C interface (linvo/linvo.h), so that a
// program depends only on the library's C ABI. Failures throw linvo::Error with the status and
// its text. The thread rule of linvo/linvo.h applies: use an Object on the thread that created it.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "linvo/linvo.h"

namespace linvo {

class Error : public std::runtime_error {
 public:
  Error(int32_t code, const std::string& text) : std::runtime_error(text), m_code(code) {}
  int32_t code() const { return m_code; }

 private:
  int32_t m_code;
};

// empty, long, BOOL, text
using Value = std::variant<std::monostate, int32_t, bool, std::string>;

namespace detail {
inline void Check(int32_t status) {
  if (status != LVO_OK) throw Error(status, lvo_last_error_text());
}
inline lvo_value ToC(const Value& value) {
  switch (value.index()) {
    case 1:
      return {LVO_LONG, 0, std::get<int32_t>(value), nullptr};
    case 2:
      return {LVO_BOOL, 0, std::get<bool>(value) ? -1 : 0, nullptr};
    case 3: {
      const std::string& text = std::get<std::string>(value);
      return {LVO_TEXT, static_cast<uint32_t>(text.size()), 0, const_cast<char*>(text.data())};
    }
    default:
      return {LVO_EMPTY, 0, 0, nullptr};
  }
}
// Takes a result, releasing its text.
inline Value FromC(lvo_value& value) {
  switch (value.type) {
    case LVO_LONG:
      return static_cast<int32_t>(value.number);
    case LVO_BOOL:
      return value.number != 0;
    case LVO_TEXT: {
      std::string text(value.text, value.length);
      lvo_string_free(value.text);
      value.text = nullptr;
      return text;
    }
    default:
      return {};
  }
}
}  // namespace detail

// A control created by ProgID or CLSID text, reached by member names.
class Object {
 public:
  using EventHandler = std::function<void(int32_t dispid, const char* name, int32_t argument)>;

  explicit Object(const char* progIdOrClsid) {
    detail::Check(lvo_create(progIdOrClsid, &m_object));
  }
  ~Object() { lvo_release(m_object); }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  int32_t Dispid(const char* name) const {
    int32_t dispid = 0;
    detail::Check(lvo_get_dispid(m_object, name, &dispid));
    return dispid;
  }
  Value Invoke(int32_t dispid, int32_t flags, const std::vector<Value>& args) {
    std::vector<lvo_value> in;
    for (const Value& v : args) in.push_back(detail::ToC(v));
    lvo_value out{};
    detail::Check(
        lvo_invoke(m_object, dispid, flags, in.data(), static_cast<int32_t>(in.size()), &out));
    return detail::FromC(out);
  }
  Value Get(const char* name) { return Invoke(Dispid(name), LVO_PROPERTYGET, {}); }
  void Put(const char* name, const Value& value) { Invoke(Dispid(name), LVO_PROPERTYPUT, {value}); }
  Value Call(const char* name, std::initializer_list<Value> args = {}) {
    return Invoke(Dispid(name), LVO_METHOD, args);
  }

  // The handler is kept by the object until it is disconnected or the object is destroyed.
  int32_t Connect(EventHandler handler) {
    m_handlers.push_back(std::move(handler));
    int32_t cookie = 0;
    const int32_t status = lvo_connect(m_object, &Object::Dispatch, &m_handlers.back(), &cookie);
    if (status != LVO_OK) m_handlers.pop_back();
    detail::Check(status);
    return cookie;
  }
  void Disconnect(int32_t cookie) { detail::Check(lvo_disconnect(m_object, cookie)); }

  lvo_object* Handle() const { return m_object; }

 private:
  static void Dispatch(void* user, int32_t dispid, const char* name, int32_t argument) {
    (*static_cast<EventHandler*>(user))(dispid, name, argument);
  }

  lvo_object* m_object = nullptr;
  std::list<EventHandler> m_handlers;  // stable addresses for the callbacks' user pointers
};

// The machine's serial ports (lvo_list_ports).
struct Port {
  std::string name;    // "COM3"
  std::string device;  // "/dev/ttyUSB0"; "" when it stopped resolving
};
struct Adapter {
  std::string name;  // its stable name, else its device
  std::string device;
  std::string vendorId;  // "" for other buses than USB
  std::string productId;
  std::string product;
  std::string portsLine;  // the [Ports] line that would map it, "" when no number is free
};
struct PortListing {
  std::vector<Port> ports;
  std::vector<Adapter> adapters;  // those no COM name reaches yet
};

inline PortListing ListPorts() {
  lvo_port_list* list = nullptr;
  detail::Check(lvo_list_ports(&list));
  const std::unique_ptr<lvo_port_list, decltype(&lvo_port_list_free)> owned(list,
                                                                           &lvo_port_list_free);
  PortListing listing;
  int32_t count = 0;
  detail::Check(lvo_port_count(list, &count));
  for (int32_t i = 0; i < count; ++i) {
    lvo_port_info p{};
    detail::Check(lvo_port(list, i, &p));
    listing.ports.push_back({p.name, p.device});
  }
  detail::Check(lvo_adapter_count(list, &count));
  for (int32_t i = 0; i < count; ++i) {
    lvo_adapter_info a{};
    detail::Check(lvo_adapter(list, i, &a));
    listing.adapters.push_back(
        {a.name, a.device, a.vendor_id, a.product_id, a.product, a.ports_line});
  }
  return listing;
}

// The settings file the library reads, and why a Linvo.ini that is there is not used ("": none
// is) (lvo_settings_file).
struct SettingsFile {
  std::string file;
  std::string unused;
};

inline SettingsFile ChosenSettingsFile() {
  lvo_settings_info info{};
  detail::Check(lvo_settings_file(&info));
  return {info.file, info.unused};
}

// Handles the calling thread's queued messages; returns how many were handled.
inline int32_t Pump(int32_t timeoutMs) {
  int32_t handled = 0;
  detail::Check(lvo_pump(timeoutMs, &handled));
  return handled;
}

}  // namespace linvo
