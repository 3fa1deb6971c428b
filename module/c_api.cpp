// The C interface of linvo/linvo.h over the class table and the dispatch objects.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/settings.h"
#include "linvo/linvo.h"
#include "linvo/version.h"
#include "module/class_table.h"
#include "module/dispatch_object.h"
#include "module/port_list.h"
#include "module/type_info.h"
#include "platform/message.h"
#include "portapi/enum_ports.h"

// An object of the interface: the dispatch object, and a message window of the creating thread
// through which a release that cannot happen at once reaches that thread.
struct lvo_object {
  lvo_object() = default;
  lvo_object(const lvo_object&) = delete;
  lvo_object& operator=(const lvo_object&) = delete;
  ~lvo_object() {
    if (releaser != 0) linvo::platform::DestroyMessageWindow(releaser);
  }

  std::unique_ptr<linvo::module::DispatchObject> impl;
  linvo::platform::WindowHandle releaser = 0;
  lvo_object* nextEnded = nullptr;  // in the list of objects whose thread ended (see below)
};

namespace {

using linvo::module::ClassEntry;
using linvo::module::Fail;
using linvo::module::Status;
using linvo::module::Variant;
namespace platform = linvo::platform;

// Asks the creating thread's window to destroy the object.
constexpr uint32_t kReleaseMessage = platform::kWmApp + 1;

thread_local int32_t t_lastError = LVO_OK;
thread_local std::string t_lastErrorText;
// What the thread's last lvo_settings_file gave.
thread_local linvo::engine::SettingsFileChoice t_settingsFile;

// Objects whose release was still waiting when their thread ended. The ending thread cannot
// destroy them: a control closes its port, which waits for the port's threads to end, and on
// Windows no thread finishes ending while another one runs its end-of-thread callbacks (the
// loader lock), so that wait would never return. The next call of the interface, on any
// thread, destroys them. The list is linked through the objects: adding one allocates nothing
// and takes no lock.
std::atomic<lvo_object*> g_endedThreadObjects{nullptr};

void AddEndedThreadObject(lvo_object* object) noexcept {
  object->nextEnded = g_endedThreadObjects.load(std::memory_order_relaxed);
  while (!g_endedThreadObjects.compare_exchange_weak(
      object->nextEnded, object, std::memory_order_release, std::memory_order_relaxed)) {
  }
}

void DestroyEndedThreadObjects() noexcept {
  if (g_endedThreadObjects.load(std::memory_order_relaxed) == nullptr) return;
  lvo_object* object = g_endedThreadObjects.exchange(nullptr, std::memory_order_acquire);
  while (object != nullptr) {
    delete std::exchange(object, object->nextEnded);
  }
}

// Runs one call of the interface: keeps its status as the thread's last error and turns an
// exception into a status, so that none crosses the C boundary. Objects left by ended threads
// are destroyed first.
template <class Call>
int32_t Run(Call&& call) noexcept {
  DestroyEndedThreadObjects();
  Status status;
  try {
    status = call();
  } catch (const std::bad_alloc&) {
    status = Fail(LVO_E_OUTOFMEMORY, "out of memory");
  } catch (const std::exception& e) {
    status = Fail(LVO_E_UNEXPECTED, e.what());
  } catch (...) {
    status = Fail(LVO_E_UNEXPECTED, "unexpected failure");
  }
  try {
    t_lastErrorText = std::move(status.message);
  } catch (...) {
    t_lastErrorText.clear();
  }
  t_lastError = status.code;
  return status.code;
}

Status NullArgument(const char* name) {
  return Fail(LVO_E_INVALIDARG, std::string(name) + " is NULL");
}

Status IndexOutOfRange(const char* what, int32_t index, std::size_t count) {
  return Fail(LVO_E_INVALIDARG, std::string(what) + " index " + std::to_string(index) +
                                    " is outside 0.." + std::to_string(count) + " - 1");
}

Status CheckObject(lvo_object* object) {
  if (object == nullptr || !object->impl) return NullArgument("object");
  Status status = object->impl->CheckThread();
  if (!status.ok() && !platform::IsMessageWindow(object->releaser)) {
    status.message = "the thread that created the object has ended; it can only be released";
  }
  return status;
}

Status ToVariant(const lvo_value& in, Variant* out) {
  switch (in.type) {
    case LVO_EMPTY:
      *out = {};
      return {};
    case LVO_LONG:
      *out = Variant::Long(in.number);
      return {};
    case LVO_BOOL:
      *out = Variant::Bool(in.number != 0);
      return {};
    case LVO_TEXT:
      if (in.text == nullptr && in.length != 0) return NullArgument("text of a value");
      *out = Variant::Text(std::string(in.text == nullptr ? "" : in.text, in.length));
      return {};
    default:
      return Fail(LVO_E_TYPEMISMATCH, "unknown value type " + std::to_string(in.type));
  }
}

// Copies the arguments, so that the caller's storage may be written afterwards (the result may
// be one of the arguments).
Status ReadArguments(const lvo_value* args, int32_t argc, std::vector<Variant>* arguments) {
  if (argc < 0) return Fail(LVO_E_INVALIDARG, "argc is negative (" + std::to_string(argc) + ")");
  if (argc > 0 && args == nullptr) return NullArgument("args");
  arguments->resize(static_cast<std::size_t>(argc));
  for (int32_t i = 0; i < argc; ++i) {
    if (Status s = ToVariant(args[i], &(*arguments)[static_cast<std::size_t>(i)]); !s.ok()) {
      return s;
    }
  }
  return {};
}

// Fills a result; the text is allocated for the caller (lvo_string_free).
void FromVariant(const Variant& in, lvo_value* out) {
  *out = lvo_value{static_cast<int32_t>(in.type), 0, in.number, nullptr};
  if (in.type != Variant::Type::kText) return;
  char* text = static_cast<char*>(std::malloc(in.text.size() + 1));
  if (text == nullptr) throw std::bad_alloc();
  std::memcpy(text, in.text.data(), in.text.size());
  text[in.text.size()] = '\0';
  out->text = text;
  out->length = static_cast<uint32_t>(in.text.size());
}

// The checks every type-information entry makes, in this order: the class name, a class with
// type information, then the caller's output pointer.
template <class Out>
Status FindTyped(const char* className, Out* out, const char* outName, const ClassEntry** entry) {
  if (className == nullptr) return NullArgument("class name");
  if (Status s = linvo::module::FindClass(className, entry); !s.ok()) return s;
  if ((*entry)->typeInfo == nullptr) {
    return Fail(LVO_E_CLASSNOTAVAILABLE,
                std::string((*entry)->progId) + " has no type information");
  }
  if (out == nullptr) return NullArgument(outName);
  return {};
}

// Item `index` of a table, or the refusal naming `what` and the table's range.
template <class T>
Status ItemAt(std::span<const T> items, int32_t index, const char* what, const T** item) {
  if (index < 0 || static_cast<std::size_t>(index) >= items.size()) {
    return IndexOutOfRange(what, index, items.size());
  }
  *item = &items[static_cast<std::size_t>(index)];
  return {};
}

// Runs on the creating thread when it handles the release message. A pump inside one of the
// object's event callbacks may get here while that event is still on the stack: then the
// release waits for the next pump (should the full queue refuse that, the object stays,
// silenced, rather than be destroyed under its caller).
void ReleaseOnOwnThread(lvo_object* object) {
  if (object->impl->InEvent()) {
    platform::PostWindowMessage(object->releaser, kReleaseMessage, 0, 0);
    return;
  }
  delete object;
}

// A release on the creating thread outside the object's events destroys it now. Otherwise the
// creating thread destroys it when it next handles its messages; should the thread end first,
// the window's dropper hands it to the next call. An object whose creating thread has ended
// can no longer be reached by anything else, so the calling thread destroys it.
Status Release(lvo_object* object) {
  const bool ownThread = object->impl->CheckThread().ok();
  if (ownThread && !object->impl->InEvent()) {
    delete object;
    return {};
  }
  object->impl->Silence();  // before the post: the owner may destroy it the moment it is queued
  if (platform::PostWindowMessage(object->releaser, kReleaseMessage, 0, 0)) return {};
  if (ownThread || platform::IsMessageWindow(object->releaser)) {
    object->impl->Unsilence();
    return Fail(LVO_E_OUTOFMEMORY,
                "the release must wait for the object's thread, whose message queue is full; "
                "the object was not released");
  }
  delete object;
  return {};
}

// Copies entry `index` of a port list's records.
template <class Info>
Status CopyListed(const lvo_port_list* list, const std::vector<Info> lvo_port_list::*records,
                  const char* what, int32_t index, Info* info) {
  if (list == nullptr) return NullArgument("list");
  if (info == nullptr) return NullArgument("info");
  const Info* entry = nullptr;
  if (Status s = ItemAt(std::span<const Info>(list->*records), index, what, &entry); !s.ok()) {
    return s;
  }
  *info = *entry;
  return {};
}

// The number of a port list's records.
template <class Info>
Status CountListed(const lvo_port_list* list, const std::vector<Info> lvo_port_list::*records,
                   int32_t* count) {
  if (list == nullptr) return NullArgument("list");
  if (count == nullptr) return NullArgument("count");
  *count = static_cast<int32_t>((list->*records).size());
  return {};
}

}  // namespace

extern "C" {

void lvo_string_free(char* text) { std::free(text); }

int32_t lvo_last_error(void) { return t_lastError; }

const char* lvo_last_error_text(void) { return t_lastErrorText.c_str(); }

const char* lvo_version(void) { return LINVO_VERSION_TEXT; }

int32_t lvo_create(const char* name, lvo_object** object) {
  return Run([&]() -> Status {
    if (object == nullptr) return NullArgument("object");
    *object = nullptr;
    if (name == nullptr) return NullArgument("name");
    auto created = std::make_unique<lvo_object>();
    if (Status s = linvo::module::CreateObject(name, &created->impl); !s.ok()) return s;
    lvo_object* const raw = created.get();
    created->releaser = platform::CreateMessageWindow(
        "LinvoRelease",
        [raw](uint32_t msg, platform::WParam, platform::LParam) -> std::intptr_t {
          if (msg == kReleaseMessage) ReleaseOnOwnThread(raw);
          return 0;
        },
        [raw](uint32_t msg, platform::WParam, platform::LParam) {
          if (msg == kReleaseMessage) AddEndedThreadObject(raw);  // the thread ended first
        });
    *object = created.release();
    return {};
  });
}

int32_t lvo_release(lvo_object* object) {
  return Run([&]() -> Status {
    if (object == nullptr) return {};
    if (!object->impl) return NullArgument("object");
    return Release(object);
  });
}

int32_t lvo_get_dispid(lvo_object* object, const char* name, int32_t* dispid) {
  return Run([&]() -> Status {
    if (Status s = CheckObject(object); !s.ok()) return s;
    if (name == nullptr) return NullArgument("name");
    if (dispid == nullptr) return NullArgument("dispid");
    return object->impl->GetDispid(name, dispid);
  });
}

int32_t lvo_invoke(lvo_object* object, int32_t dispid, int32_t flags, const lvo_value* args,
                   int32_t argc, lvo_value* result) {
  return Run([&]() -> Status {
    std::vector<Variant> arguments;
    const Status read = ReadArguments(args, argc, &arguments);  // before result is written
    if (result != nullptr) *result = lvo_value{LVO_EMPTY, 0, 0, nullptr};
    if (Status s = CheckObject(object); !s.ok()) return s;
    if (!read.ok()) return read;
    Variant value;
    if (Status s = object->impl->Invoke(dispid, flags, arguments, &value); !s.ok()) return s;
    if (result != nullptr) FromVariant(value, result);
    return {};
  });
}

int32_t lvo_get(lvo_object* object, int32_t dispid, lvo_value* result) {
  return lvo_invoke(object, dispid, LVO_PROPERTYGET, nullptr, 0, result);
}

int32_t lvo_put(lvo_object* object, int32_t dispid, const lvo_value* value) {
  if (value == nullptr) return Run([] { return NullArgument("value"); });
  return lvo_invoke(object, dispid, LVO_PROPERTYPUT, value, 1, nullptr);
}

int32_t lvo_connect(lvo_object* object, lvo_event_callback callback, void* user, int32_t* cookie) {
  return Run([&]() -> Status {
    if (Status s = CheckObject(object); !s.ok()) return s;
    if (callback == nullptr) return NullArgument("callback");
    if (cookie == nullptr) return NullArgument("cookie");
    return object->impl->Connect(
        [callback, user](const linvo::control::EventInfo& event, int32_t argument) {
          callback(user, event.dispid, event.name, argument);
        },
        cookie);
  });
}

int32_t lvo_disconnect(lvo_object* object, int32_t cookie) {
  return Run([&]() -> Status {
    if (Status s = CheckObject(object); !s.ok()) return s;
    return object->impl->Disconnect(cookie);
  });
}

int32_t lvo_pump(int32_t timeout_ms, int32_t* handled) {
  return Run([&]() -> Status {
    const int count = linvo::platform::PumpMessages(timeout_ms);
    if (handled != nullptr) *handled = count;
    return {};
  });
}

int32_t lvo_message_fd(int32_t* fd) {
  return Run([&]() -> Status {
    if (fd == nullptr) return NullArgument("fd");
    const int32_t queueFd = linvo::platform::WaitHandleNumber(linvo::platform::MessageQueueFd());
    if (queueFd < 0) return Fail(LVO_E_UNEXPECTED, "the thread's message queue is gone");
    *fd = queueFd;
    return {};
  });
}

int32_t lvo_type_library(const char* class_name, lvo_library_info* info) {
  return Run([&]() -> Status {
    const ClassEntry* entry = nullptr;
    if (Status s = FindTyped(class_name, info, "info", &entry); !s.ok()) return s;
    const auto& t = *entry->typeInfo;
    const auto& lib = t.library();
    *info = lvo_library_info{lib.libraryName,  t.libraryGuid,   lib.versionMajor, lib.versionMinor,
                             lib.lcid,         lib.libraryHelp, lib.dispatchName, t.dispatchGuid,
                             lib.dispatchHelp, lib.eventsName,  t.eventsGuid,     lib.eventsHelp};
    return {};
  });
}

int32_t lvo_member_count(const char* class_name, int32_t* count) {
  return Run([&]() -> Status {
    const ClassEntry* entry = nullptr;
    if (Status s = FindTyped(class_name, count, "count", &entry); !s.ok()) return s;
    *count = static_cast<int32_t>(entry->typeInfo->members().size());
    return {};
  });
}

int32_t lvo_member(const char* class_name, int32_t index, lvo_member_info* info) {
  return Run([&]() -> Status {
    const ClassEntry* entry = nullptr;
    const linvo::control::MemberInfo* m = nullptr;
    if (Status s = FindTyped(class_name, info, "info", &entry); !s.ok()) return s;
    if (Status s = ItemAt(entry->typeInfo->members(), index, "member", &m); !s.ok()) return s;
    *info = lvo_member_info{m->dispid,
                            linvo::module::WireKind(*m),
                            linvo::module::InvokeFlags(*m),
                            linvo::module::WireType(m->type),
                            static_cast<int32_t>(m->Params().size()),
                            0,
                            m->name};
    return {};
  });
}

int32_t lvo_parameter(const char* class_name, int32_t member_index, int32_t param_index,
                      lvo_param_info* info) {
  return Run([&]() -> Status {
    const ClassEntry* entry = nullptr;
    const linvo::control::MemberInfo* m = nullptr;
    const linvo::control::ParamInfo* p = nullptr;
    if (Status s = FindTyped(class_name, info, "info", &entry); !s.ok()) return s;
    if (Status s = ItemAt(entry->typeInfo->members(), member_index, "member", &m); !s.ok()) {
      return s;
    }
    if (Status s = ItemAt(m->Params(), param_index, "parameter", &p); !s.ok()) return s;
    *info = lvo_param_info{linvo::module::WireType(p->type), 0, p->name};
    return {};
  });
}

int32_t lvo_event_count(const char* class_name, int32_t* count) {
  return Run([&]() -> Status {
    const ClassEntry* entry = nullptr;
    if (Status s = FindTyped(class_name, count, "count", &entry); !s.ok()) return s;
    *count = static_cast<int32_t>(entry->typeInfo->events().size());
    return {};
  });
}

int32_t lvo_event(const char* class_name, int32_t index, lvo_event_info* info) {
  return Run([&]() -> Status {
    const ClassEntry* entry = nullptr;
    const linvo::control::EventInfo* e = nullptr;
    if (Status s = FindTyped(class_name, info, "info", &entry); !s.ok()) return s;
    if (Status s = ItemAt(entry->typeInfo->events(), index, "event", &e); !s.ok()) return s;
    *info = lvo_event_info{e->dispid, LVO_LONG, e->name, e->argumentName};
    return {};
  });
}

int32_t lvo_class_count(int32_t* count) {
  return Run([&]() -> Status {
    if (count == nullptr) return NullArgument("count");
    *count = static_cast<int32_t>(linvo::module::Classes().size());
    return {};
  });
}

int32_t lvo_class(int32_t index, lvo_class_info* info) {
  return Run([&]() -> Status {
    const ClassEntry* c = nullptr;
    if (info == nullptr) return NullArgument("info");
    if (Status s = ItemAt(linvo::module::Classes(), index, "class", &c); !s.ok()) return s;
    *info = lvo_class_info{c->progId,
                           c->clsid,
                           c->typeName,
                           c->threadingModel,
                           c->miscStatus,
                           c->create != nullptr ? 1 : 0,
                           static_cast<int32_t>(c->categories.size()),
                           0};
    return {};
  });
}

int32_t lvo_class_category(int32_t class_index, int32_t category_index, lvo_category_info* info) {
  return Run([&]() -> Status {
    const ClassEntry* c = nullptr;
    const linvo::module::CategoryEntry* category = nullptr;
    if (info == nullptr) return NullArgument("info");
    if (Status s = ItemAt(linvo::module::Classes(), class_index, "class", &c); !s.ok()) return s;
    if (Status s = ItemAt(c->categories, category_index, "category", &category); !s.ok()) {
      return s;
    }
    *info = lvo_category_info{category->catid, category->lcid, 0, category->description};
    return {};
  });
}

int32_t lvo_list_ports(lvo_port_list** list) {
  return Run([&]() -> Status {
    if (list == nullptr) return NullArgument("list");
    *list = nullptr;
    *list = std::make_unique<lvo_port_list>(linvo::portapi::ListPorts()).release();
    return {};
  });
}

void lvo_port_list_free(lvo_port_list* list) { delete list; }

int32_t lvo_port_count(const lvo_port_list* list, int32_t* count) {
  return Run([&] { return CountListed(list, &lvo_port_list::ports, count); });
}

int32_t lvo_port(const lvo_port_list* list, int32_t index, lvo_port_info* info) {
  return Run([&] { return CopyListed(list, &lvo_port_list::ports, "port", index, info); });
}

int32_t lvo_adapter_count(const lvo_port_list* list, int32_t* count) {
  return Run([&] { return CountListed(list, &lvo_port_list::adapters, count); });
}

int32_t lvo_adapter(const lvo_port_list* list, int32_t index, lvo_adapter_info* info) {
  return Run([&] { return CopyListed(list, &lvo_port_list::adapters, "adapter", index, info); });
}

int32_t lvo_settings_file(lvo_settings_info* info) {
  return Run([&]() -> Status {
    if (info == nullptr) return NullArgument("info");
    t_settingsFile = linvo::engine::ChooseEngineSettingsFile();
    *info = lvo_settings_info{t_settingsFile.file.c_str(), t_settingsFile.unused.c_str()};
    return {};
  });
}

}  // extern "C"
