#include "module/dispatch_object.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>

#include "control/linvo_ctrl.h"

namespace linvo::module {
namespace {

using control::MemberInfo;
using control::MemberKind;

constexpr int32_t kAllFlags = LVO_METHOD | LVO_PROPERTYGET | LVO_PROPERTYPUT;

// The calling thread's serial number, given on first use: unlike std::thread::id, which the
// system hands to a new thread once the old one has ended, no two threads ever share one.
uint64_t ThreadSerial() {
  static std::atomic<uint64_t> last{0};
  thread_local uint64_t serial = 0;  // trivially destructible: readable in thread-exit code
  if (serial == 0) serial = last.fetch_add(1, std::memory_order_relaxed) + 1;
  return serial;
}

Status BadCount(const MemberInfo& member, std::size_t expected, std::size_t got) {
  std::string message = Quoted(member.name) + " takes " + std::to_string(expected) + " argument" +
                        (expected == 1 ? "" : "s");
  if (expected > 0) {
    message += " (";
    for (const control::ParamInfo& p : member.Params()) {
      if (message.back() != '(') message += ", ";
      message += p.name;
    }
    message += ")";
  }
  return Fail(LVO_E_BADPARAMCOUNT, message + ", got " + std::to_string(got));
}

}  // namespace

// One connected callback, seen by the control as an event sink. It stays allocated until no
// event of the object is running, so that a callback may disconnect itself or another one.
class DispatchObject::Connection final : public control::EventSink {
 public:
  Connection(DispatchObject& owner, EventCallback callback)
      : m_owner(owner), m_callback(std::move(callback)) {}

  void OnEvent(const control::EventInfo& event, int32_t argument) override {
    if (!connected || m_owner.m_silenced.load(std::memory_order_acquire)) return;
    ++m_owner.m_eventDepth;
    struct Leave {
      int& depth;
      ~Leave() { --depth; }
    } leave{m_owner.m_eventDepth};
    m_callback(event, argument);
  }

  int32_t cookie = 0;
  bool connected = true;

 private:
  DispatchObject& m_owner;
  EventCallback m_callback;
};

DispatchObject::DispatchObject(std::unique_ptr<control::CLinvoCtrl> control)
    : m_thread(ThreadSerial()), m_control(std::move(control)) {}

DispatchObject::~DispatchObject() {
  for (const auto& connection : m_connections) {
    if (connection->connected) m_control->Unadvise(connection->cookie);
  }
  m_control.reset();  // before the connections it might still name
}

Status DispatchObject::CheckThread() const {
  if (ThreadSerial() == m_thread) return {};
  return Fail(LVO_E_WRONG_THREAD,
              "the object was created on another thread; call it on the thread that created it");
}

Status DispatchObject::GetDispid(std::string_view name, int32_t* dispid) const {
  if (Status s = CheckThread(); !s.ok()) return s;
  const MemberInfo* member = control::FindMember(name);
  if (member == nullptr) {
    return Fail(LVO_E_UNKNOWNNAME, "unknown member name " + Quoted(name));
  }
  *dispid = member->dispid;
  return {};
}

Status DispatchObject::Invoke(int32_t dispid, int32_t flags, std::span<const Variant> args,
                              Variant* result) {
  if (Status s = CheckThread(); !s.ok()) return s;
  Sweep();
  const MemberInfo* member = control::FindMember(dispid);
  if (member == nullptr) {
    return Fail(LVO_E_MEMBERNOTFOUND, "no member with DISPID " + std::to_string(dispid));
  }
  const bool put = (flags & LVO_PROPERTYPUT) != 0;
  if (flags == 0 || (flags & ~kAllFlags) != 0 || (put && flags != LVO_PROPERTYPUT)) {
    return Fail(LVO_E_INVALIDARG, "invalid invoke flags " + std::to_string(flags));
  }
  const bool property = member->kind == MemberKind::kProperty;
  control::Value value;

  if (put) {
    if (!property) {
      return Fail(LVO_E_MEMBERNOTFOUND,
                  Quoted(member->name) + " is a method; it cannot be assigned a value");
    }
    if (args.size() != 1) {
      return Fail(LVO_E_BADPARAMCOUNT, "a put of " + Quoted(member->name) +
                                           " takes one value, got " + std::to_string(args.size()));
    }
    if (Status s = Coerce(args[0], member->type, &value); !s.ok()) {
      s.message = Quoted(member->name) + ": " + s.message;
      return s;
    }
    control::PutProperty(*m_control, *member, value);  // a refused value is still a success
    if (result != nullptr) *result = {};
    return {};
  }

  // A get or a method call; as automation hosts do, a property may be read with the method
  // flag and a method called with the get flag.
  if (property) {
    if (!args.empty()) return BadCount(*member, 0, args.size());
    value = control::GetProperty(*m_control, *member).value_or(control::Value{});
  } else {
    const auto params = member->Params();
    if (args.size() != params.size()) return BadCount(*member, params.size(), args.size());
    std::vector<control::Value> converted(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (Status s = Coerce(args[i], params[i].type, &converted[i]); !s.ok()) {
        s.message = Quoted(member->name) + " argument " + std::to_string(i + 1) + " (" +
                    params[i].name + "): " + s.message;
        return s;
      }
    }
    value = control::Invoke(*m_control, *member, converted).value_or(control::Value{});
  }
  if (result != nullptr) *result = FromValue(value);
  return {};
}

Status DispatchObject::Connect(EventCallback callback, int32_t* cookie) {
  if (Status s = CheckThread(); !s.ok()) return s;
  Sweep();
  auto connection = std::make_unique<Connection>(*this, std::move(callback));
  connection->cookie = m_control->Advise(connection.get());
  *cookie = connection->cookie;
  m_connections.push_back(std::move(connection));
  return {};
}

Status DispatchObject::Disconnect(int32_t cookie) {
  if (Status s = CheckThread(); !s.ok()) return s;
  const auto it = std::find_if(m_connections.begin(), m_connections.end(),
                               [cookie](auto& c) { return c->connected && c->cookie == cookie; });
  if (it == m_connections.end()) {
    return Fail(LVO_E_NOCONNECTION, "no connection with cookie " + std::to_string(cookie));
  }
  m_control->Unadvise(cookie);
  (*it)->connected = false;
  Sweep();
  return {};
}

void DispatchObject::Sweep() {
  if (InEvent()) return;
  std::erase_if(m_connections, [](const auto& c) { return !c->connected; });
}

}  // namespace linvo::module
