// A property bag kept as a JSON object, which a host can save to a file and load from one.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "control/property_bag.h"

namespace linvo::control {

// Longs are JSON integers, BOOLs JSON booleans, texts JSON strings (a text that is not valid
// UTF-8 is kept exactly as {"bytes": "<hex>"}, control/json_text.h). Reading a name whose value
// is missing, of another kind, out of range or longer than kMaxText bytes gives the default. A
// load keeps under a name only a number, a boolean, a string or that bytes form: any other
// value (null, an array, another object, deeper nesting) is skipped as it is read, reads as the
// default and is left out of Text().
class JsonPropertyBag : public PropertyBag {
 public:
  static constexpr std::size_t kMaxFileBytes = 1 << 20;
  static constexpr std::size_t kMaxText = 1 << 16;

  JsonPropertyBag();
  ~JsonPropertyBag() override;
  JsonPropertyBag(const JsonPropertyBag&) = delete;
  JsonPropertyBag& operator=(const JsonPropertyBag&) = delete;

  // Replaces the contents with a JSON object read from the text or file. On failure (not JSON,
  // not an object, a file that cannot be read, is not a regular file or is larger than
  // kMaxFileBytes) returns false with *error saying why, and the bag is left as it was.
  bool LoadText(std::string_view text, std::string* error);
  bool LoadFile(const std::string& path, std::string* error);
  // The contents as JSON text.
  std::string Text() const;
  // Writes the contents to the file atomically: a temporary file in the same directory, synced
  // and renamed over the target, so the file is either the old one or the new one.
  bool SaveFile(const std::string& path, std::string* error) const;

  int32_t ReadLong(std::string_view name, int32_t defaultValue) override;
  BOOL ReadBool(std::string_view name, BOOL defaultValue) override;
  std::string ReadText(std::string_view name, std::string_view defaultValue) override;
  void WriteLong(std::string_view name, int32_t value) override;
  void WriteBool(std::string_view name, BOOL value) override;
  void WriteText(std::string_view name, std::string_view value) override;

 private:
  struct Store;
  std::unique_ptr<Store> m_store;
};

}  // namespace linvo::control
