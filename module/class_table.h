// The classes this library serves, compiled in (there is no system registry to consult): the
// control and its property page with their identities, and creation by ProgID or CLSID.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "control/member_table.h"
#include "module/dispatch_object.h"
#include "module/status.h"

namespace linvo::module {

// A component category a class belongs to; descriptions are those registered with locale
// 0x409.
struct CategoryEntry {
  const char* catid;  // "{...}"
  uint32_t lcid;
  const char* description;
};

// A class's type information: the GUIDs of its type library and interfaces (fixed like the
// CLSIDs) and the tables that describe them.
struct TypeInformation {
  const char* libraryGuid;
  const char* dispatchGuid;
  const char* eventsGuid;
  const control::TypeLibraryInfo& (*library)();
  std::span<const control::MemberInfo> (*members)();
  std::span<const control::EventInfo> (*events)();
};

struct ClassEntry {
  const char* progId;
  const char* clsid;  // "{...}", upper case
  const char* typeName;
  const char* threadingModel;  // "" when none is registered
  uint32_t miscStatus;
  std::span<const CategoryEntry> categories;
  const TypeInformation* typeInfo;  // null: the class has no type information
  // Creates an object; null where the class cannot exist (unavailableReason says why).
  std::unique_ptr<DispatchObject> (*create)();
  const char* unavailableReason;
  const char* propertyPage;  // the CLSID of the class's property page, or null
};

std::span<const ClassEntry> Classes();

// The class named by its ProgID (compared case-insensitively) or its CLSID text (braces
// optional, any case); LVO_E_CLASSNOTREG when there is none.
Status FindClass(std::string_view name, const ClassEntry** entry);

// Creates an object of the named class: LVO_E_CLASSNOTREG for an unknown name,
// LVO_E_CLASSNOTAVAILABLE for a class this platform cannot create.
Status CreateObject(std::string_view name, std::unique_ptr<DispatchObject>* object);

}  // namespace linvo::module
