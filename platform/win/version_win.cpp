// The version text from the version resource of the module that holds this code.
#include <windows.h>

#include <cstdio>
#include <vector>

#include "platform/version.h"

namespace linvo::platform {

std::optional<std::string> ModuleVersionText() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&ModuleVersionText), &module)) {
    return std::nullopt;
  }
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(module, path, sizeof path);
  if (length == 0 || length == sizeof path) return std::nullopt;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  if (size == 0) return std::nullopt;
  std::vector<char> block(size + 1);
  if (!GetFileVersionInfoA(path, 0, size, block.data())) return std::nullopt;
  struct Translation {
    WORD language;
    WORD codePage;
  };
  void* value = nullptr;
  UINT valueSize = 0;
  if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &valueSize) ||
      valueSize < sizeof(Translation)) {
    return std::nullopt;
  }
  const auto* first = static_cast<const Translation*>(value);
  char query[64];
  std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\ProductVersion", first->language,
                first->codePage);
  if (!VerQueryValueA(block.data(), query, &value, &valueSize) || valueSize == 0) {
    return std::nullopt;
  }
  return std::string(static_cast<const char*>(value));
}

}  // namespace linvo::platform
