// The control's side of the settings file "Linvo.ini": where it lives, the default file, and the
// texts a key may take.
#pragma once

#include <optional>
#include <string>

#include "platform/paths.h"
#include "platform/profile.h"

namespace linvo::control {

// The text of [Application] Name in a file this control wrote.
inline constexpr const char* kSettingsFileName = "Linvo INI File";

// "Linvo.ini" in the per-user temporary directory; nullopt when there is none.
std::optional<std::string> ControlSettingsFile();

// Writes [Application] Name, [Log] Logging and LogFileName, [Delay] Delay and [TimeOut]
// WriteFileTimeOut, in that order, with their defaults and defaultLogPath as the log file name.
// False when a key cannot be written.
bool WriteDefaultSettingsFile(const std::string& file, const std::string& defaultLogPath);

// The trace path pattern for a new settings file: "<desktop>/Linvo_%03d.log" ("\" on Windows)
// when the user has a desktop directory (a '%' in the directory's name doubled, so that only the
// port number is formatted into it), else ".\Linvo_%03d.log".
std::string DefaultLogPath();

// Whether a text can be a settings value: at most 255 bytes (the most the engine reads back)
// and no line break (which would change the file's structure).
bool SettingsTextFits(const std::string& text);

}  // namespace linvo::control
