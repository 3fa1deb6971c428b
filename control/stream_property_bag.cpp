#include "control/stream_property_bag.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <utility>

#include "control/value.h"

namespace linvo::control {
namespace {

constexpr uint8_t kMagic[4] = {'L', 'V', 'P', 'B'};
constexpr uint16_t kMajor = 1;
constexpr uint16_t kMinor = 0;
constexpr std::size_t kMaxName = 255;
// The entry count that starts the payload.
constexpr std::size_t kCountBytes = 4;

enum Kind : uint8_t { kKindLong = 1, kKindBool = 2, kKindText = 3 };

struct Entry {
  std::string name;
  Value value;  // int32_t, bool or std::string
};

uint8_t KindOf(const Value& value) {
  if (std::holds_alternative<int32_t>(value)) return kKindLong;
  return std::holds_alternative<bool>(value) ? kKindBool : kKindText;
}

std::size_t ValueBytes(const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return 4 + text->size();
  return std::holds_alternative<bool>(value) ? 1 : 4;
}

std::size_t EntryBytes(std::string_view name, const Value& value) {
  return 2 + name.size() + ValueBytes(value);
}

// Little-endian, a byte at a time, so the record is the same on every machine. Written here: the
// layout is this record's own, which no serialization package writes.
void PutLe(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t GetLe(const uint8_t* in, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

// Reads a record front to back; a read past the end fails and takes nothing.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : m_bytes(bytes) {}

  std::size_t Offset() const { return m_offset; }
  std::size_t Left() const { return m_bytes.size() - m_offset; }
  // Only after the caller checked that the bytes are there.
  void Skip(std::size_t bytes) { m_offset += bytes; }

  bool Le(int bytes, uint32_t* value) {
    if (Left() < static_cast<std::size_t>(bytes)) return false;
    *value = GetLe(m_bytes.data() + m_offset, bytes);
    m_offset += static_cast<std::size_t>(bytes);
    return true;
  }
  // Checked before the string is made: it is never longer than the bytes that back it.
  bool Text(std::size_t length, std::string* text) {
    if (Left() < length) return false;
    text->assign(reinterpret_cast<const char*>(m_bytes.data() + m_offset), length);
    m_offset += length;
    return true;
  }

 private:
  std::span<const uint8_t> m_bytes;
  std::size_t m_offset = 0;
};

bool Fail(std::string* error, std::string why) {
  if (error) *error = std::move(why);
  return false;
}

}  // namespace

struct StreamPropertyBag::Store {
  std::vector<Entry> entries;                             // in the order first written
  std::map<std::string, std::size_t, std::less<>> index;  // name -> position in entries
  std::size_t bytes = kHeaderBytes + kCountBytes;         // the whole record's size

  const Value* Find(std::string_view name) const {
    const auto it = index.find(name);
    return it == index.end() ? nullptr : &entries[it->second].value;
  }

  // Sets the name's value unless the record could not hold it (see the class comment).
  void Put(std::string_view name, Value value) {
    if (name.empty() || name.size() > kMaxName) return;
    if (const auto* text = std::get_if<std::string>(&value); text && text->size() > kMaxText) {
      return;
    }
    const auto it = index.find(name);
    const std::size_t old = it == index.end() ? 0 : EntryBytes(name, entries[it->second].value);
    const std::size_t next = bytes - old + EntryBytes(name, value);
    if (next > kMaxBytes) return;
    bytes = next;
    if (it != index.end()) {
      entries[it->second].value = std::move(value);
    } else {
      index.emplace(name, entries.size());
      entries.push_back({std::string(name), std::move(value)});
    }
  }
};

StreamPropertyBag::StreamPropertyBag() : m_store(std::make_unique<Store>()) {}
StreamPropertyBag::~StreamPropertyBag() = default;

std::optional<std::size_t> StreamPropertyBag::RecordBytes(std::span<const uint8_t> header,
                                                          std::string* error) {
  if (header.size() < kHeaderBytes) {
    Fail(error, "a header of " + std::to_string(header.size()) + " bytes is shorter than " +
                    std::to_string(kHeaderBytes));
    return std::nullopt;
  }
  if (!std::equal(std::begin(kMagic), std::end(kMagic), header.begin())) {
    Fail(error, "not a linvo property record");
    return std::nullopt;
  }
  const uint32_t major = GetLe(&header[4], 2);
  if (major != kMajor) {
    Fail(error, "a property record of version " + std::to_string(major) + "." +
                    std::to_string(GetLe(&header[6], 2)) + " cannot be read (only version " +
                    std::to_string(kMajor) + ")");
    return std::nullopt;
  }
  // Compared before the header is added: a 32-bit size_t could not hold the sum.
  const uint32_t payload = GetLe(&header[8], 4);
  if (payload > kMaxBytes - kHeaderBytes) {
    Fail(error, "a record of " + std::to_string(uint64_t{payload} + kHeaderBytes) +
                    " bytes is larger than " + std::to_string(kMaxBytes));
    return std::nullopt;
  }
  return kHeaderBytes + payload;
}

bool StreamPropertyBag::Load(std::span<const uint8_t> record, std::string* error) {
  const std::optional<std::size_t> announced = RecordBytes(record, error);
  if (!announced) return false;
  if (*announced != record.size()) {
    return Fail(error, "the header announces a record of " + std::to_string(*announced) +
                           " bytes, but it has " + std::to_string(record.size()));
  }
  Reader in(record);
  in.Skip(kHeaderBytes);
  uint32_t count = 0;
  if (!in.Le(4, &count)) return Fail(error, "the record ends before its entry count");
  auto store = std::make_unique<Store>();
  // Each entry takes at least one byte before a short record fails, so a false count costs no
  // more than the bytes that are there.
  for (uint32_t i = 0; i < count; ++i) {
    const std::size_t start = in.Offset();
    const auto fail = [&](const std::string& why) {
      return Fail(error,
                  "entry " + std::to_string(i) + " at byte " + std::to_string(start) + ": " + why);
    };
    if (in.Left() == 0) {
      return Fail(error, "the record ends after " + std::to_string(i) + " of the " +
                             std::to_string(count) + " entries its count gives");
    }
    uint32_t kind = 0;
    uint32_t nameLength = 0;
    std::string name;
    in.Le(1, &kind);
    if (kind != kKindLong && kind != kKindBool && kind != kKindText) {
      return fail("unknown kind " + std::to_string(kind));
    }
    if (!in.Le(1, &nameLength)) return fail("the record ends before the name");
    if (nameLength == 0) return fail("empty name");
    if (!in.Text(nameLength, &name)) return fail("the record ends within the name");
    if (!store->index.emplace(name, store->entries.size()).second) {
      return fail("the name of an earlier entry again");
    }
    uint32_t number = 0;
    Value value;
    if (kind == kKindLong) {
      if (!in.Le(4, &number)) return fail("the record ends within the long value");
      value = static_cast<int32_t>(number);
    } else if (kind == kKindBool) {
      if (!in.Le(1, &number)) return fail("the record ends before the bool value");
      if (number > 1) return fail("bool value " + std::to_string(number) + " is neither 0 nor 1");
      value = number == 1;
    } else {
      if (!in.Le(4, &number)) return fail("the record ends within the text length");
      if (number > kMaxText) {
        return fail("text of " + std::to_string(number) + " bytes is longer than " +
                    std::to_string(kMaxText));
      }
      std::string text;
      if (!in.Text(number, &text)) {
        return fail("the record ends within the text of " + std::to_string(number) + " bytes");
      }
      value = std::move(text);
    }
    store->entries.push_back({std::move(name), std::move(value)});
  }
  if (in.Left() != 0) {
    return Fail(error, std::to_string(in.Left()) + " bytes follow the last of the " +
                           std::to_string(count) + " entries its count gives");
  }
  store->bytes = record.size();
  m_store = std::move(store);
  return true;
}

std::vector<uint8_t> StreamPropertyBag::Record() const {
  std::vector<uint8_t> out;
  out.reserve(m_store->bytes);
  for (const uint8_t byte : kMagic) out.push_back(byte);
  PutLe(out, kMajor, 2);
  PutLe(out, kMinor, 2);
  PutLe(out, static_cast<uint32_t>(m_store->bytes - kHeaderBytes), 4);
  PutLe(out, static_cast<uint32_t>(m_store->entries.size()), 4);
  for (const Entry& entry : m_store->entries) {
    out.push_back(KindOf(entry.value));
    out.push_back(static_cast<uint8_t>(entry.name.size()));
    out.insert(out.end(), entry.name.begin(), entry.name.end());
    if (const auto* number = std::get_if<int32_t>(&entry.value)) {
      PutLe(out, static_cast<uint32_t>(*number), 4);
    } else if (const auto* flag = std::get_if<bool>(&entry.value)) {
      out.push_back(*flag ? 1 : 0);
    } else {
      const auto& text = std::get<std::string>(entry.value);
      PutLe(out, static_cast<uint32_t>(text.size()), 4);
      out.insert(out.end(), text.begin(), text.end());
    }
  }
  return out;
}

int32_t StreamPropertyBag::ReadLong(std::string_view name, int32_t defaultValue) {
  const Value* v = m_store->Find(name);
  const auto* number = v ? std::get_if<int32_t>(v) : nullptr;
  return number ? *number : defaultValue;
}

BOOL StreamPropertyBag::ReadBool(std::string_view name, BOOL defaultValue) {
  const Value* v = m_store->Find(name);
  const auto* flag = v ? std::get_if<bool>(v) : nullptr;
  return flag ? (*flag ? TRUE : FALSE) : defaultValue;
}

std::string StreamPropertyBag::ReadText(std::string_view name, std::string_view defaultValue) {
  const Value* v = m_store->Find(name);
  const auto* text = v ? std::get_if<std::string>(v) : nullptr;
  return text ? *text : std::string(defaultValue);
}

void StreamPropertyBag::WriteLong(std::string_view name, int32_t value) {
  m_store->Put(name, value);
}

void StreamPropertyBag::WriteBool(std::string_view name, BOOL value) {
  m_store->Put(name, value != FALSE);
}

void StreamPropertyBag::WriteText(std::string_view name, std::string_view value) {
  m_store->Put(name, std::string(value));
}

}  // namespace linvo::control
