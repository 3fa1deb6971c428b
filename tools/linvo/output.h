// How the linvo command prints: lines of text for people, or one JSON object per line. Every
// text from outside the command (names, paths, values, messages) goes into the JSON through
// control::TextToJson, so a line is valid JSON whatever bytes it holds.
#pragma once

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "control/json_text.h"
#include "linvo/linvo.hpp"

namespace linvo::cli {

using Json = nlohmann::ordered_json;
using control::TextToJson;

// A value of the control as JSON: a number, true/false, a text as control::TextToJson gives
// it (a string, or {"bytes": "<hex>"} when it is not UTF-8), or null (empty).
Json ValueJson(const Value& value);
// The JSON text of a value, in ASCII: "READY", 10, true, null.
std::string Show(const Json& value);

class Printer {
 public:
  explicit Printer(bool json, std::FILE* stream = stdout) : m_json(json), m_stream(stream) {}
  // Prints the text line, or the object as one JSON line; flushed at once so that a reader of a
  // pipe sees each step as it happens.
  void Line(const std::string& text, const Json& object) const;

 private:
  bool m_json;
  std::FILE* m_stream;
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Keeps standard output for the command's own lines: returns a stream on a copy of it and points
// descriptor 1 at standard error, so that what the library itself prints on standard output
// (lvoPrintJobClear's "N jobs" line) reaches the user there and a reader of --json lines sees
// only JSON. Null, with nothing changed, when the descriptors cannot be arranged.
FilePtr DivertStandardOutput();

}  // namespace linvo::cli
