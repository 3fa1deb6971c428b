// The version text where modules carry no version resource: the build's version.
#include "platform/version.h"

#include "linvo/version.h"

namespace linvo::platform {

std::optional<std::string> ModuleVersionText() { return LINVO_VERSION_TEXT; }

}  // namespace linvo::platform
