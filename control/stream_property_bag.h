// A property bag kept as one binary record: the form a control's state takes in a host's stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "control/property_bag.h"

namespace linvo::control {

// The record, every integer little-endian:
//   header (kHeaderBytes): "LVPB", u16 major = 1, u16 minor = 0, u32 payload bytes that follow;
//   payload: u32 entry count, then per entry u8 kind (1 long, 2 bool, 3 text), u8 name length
//   (1..255), the name, and the value: i32 for a long, u8 0 or 1 for a bool, u32 length and the
//   bytes (any bytes, at most kMaxText) for a text.
// A reader takes any minor version of major 1. The whole record is at most kMaxBytes.
//
// A write the record cannot hold is ignored, leaving the bag as it was (the name keeps its
// previous value, or stays absent): an empty name, a name longer than 255 bytes, a text longer
// than kMaxText, or a write that would make the record longer than kMaxBytes. Truncating would
// store a value nobody wrote; ignoring it keeps every Record() loadable, and a read gives the
// old value or the default, as for a value that was never saved.
class StreamPropertyBag final : public PropertyBag {
 public:
  static constexpr std::size_t kHeaderBytes = 12;
  static constexpr std::size_t kMaxBytes = 1 << 20;  // a whole record, header included
  static constexpr std::size_t kMaxText = 1 << 16;   // longest text value (as the JSON bag)

  StreamPropertyBag();
  ~StreamPropertyBag() override;
  StreamPropertyBag(const StreamPropertyBag&) = delete;
  StreamPropertyBag& operator=(const StreamPropertyBag&) = delete;

  // The size of the whole record (header included) that a header announces (only its first
  // kHeaderBytes are read); nullopt with *error saying why: too short, not a record of this kind,
  // a major version this cannot read, or larger than kMaxBytes.
  static std::optional<std::size_t> RecordBytes(std::span<const uint8_t> header,
                                                std::string* error);
  // Replaces the contents with the one whole record in `record`. On any fault returns false with
  // *error saying what and where (entries counted from 0, byte offsets in the record), and the
  // bag is left exactly as it was.
  bool Load(std::span<const uint8_t> record, std::string* error);
  // The contents as one record, names in the order first written (or loaded).
  std::vector<uint8_t> Record() const;

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
