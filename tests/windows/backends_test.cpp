// The Win32 backends of the platform layer against the system calls they stand on.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/print_spooler.h"
#include "linvo/version.h"
#include "platform/error_text.h"
#include "platform/log_output.h"
#include "platform/named_mutex.h"
#include "platform/paths.h"
#include "platform/ports.h"
#include "platform/profile.h"
#include "platform/serial.h"
#include "platform/version.h"
#include "support/test_env.h"

namespace linvo::platform {
namespace {

std::string UniqueName(const char* what) {
  return std::string("linvo.test.") + what + "." + std::to_string(GetCurrentProcessId());
}

TEST(Win32Version, ProductVersionFromTheResourceAndItsOneTranslation) {
  const std::string expected =
      std::to_string(LINVO_VERSION_MAJOR) + ", " + std::to_string(LINVO_VERSION_MINOR) + ", " +
      std::to_string(LINVO_VERSION_PATCH) + ", " + std::to_string(LINVO_VERSION_TWEAK);
  EXPECT_EQ(ModuleVersionText(), expected);

  // The program carries the library's resource: language 0x0411, code page 0x04B0.
  char path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, path, sizeof path), 0u);
  DWORD ignored = 0;
  std::vector<char> block(GetFileVersionInfoSizeA(path, &ignored));
  ASSERT_FALSE(block.empty());
  ASSERT_TRUE(GetFileVersionInfoA(path, 0, static_cast<DWORD>(block.size()), block.data()));
  void* value = nullptr;
  UINT size = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &size));
  ASSERT_EQ(size, 4u);
  const auto* words = static_cast<const WORD*>(value);
  EXPECT_EQ(words[0], 0x0411);
  EXPECT_EQ(words[1], 0x04B0);
}

TEST(Win32NamedMutex, IsTheSystemMutexOfThatName) {
  const std::string name = UniqueName("mutex");
  NamedMutex mutex(name);
  ASSERT_TRUE(mutex.IsSystemWide()) << mutex.Problem();
  // What another holder of the same name sees: taken (WAIT_TIMEOUT) or free (WAIT_OBJECT_0).
  const auto seenFromOutside = [&] {
    return std::async(std::launch::async,
                      [&] {
                        HANDLE h = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
                        if (h == nullptr) return DWORD{WAIT_FAILED};
                        const DWORD seen = WaitForSingleObject(h, 0);
                        if (seen == WAIT_OBJECT_0) ReleaseMutex(h);
                        CloseHandle(h);
                        return seen;
                      })
        .get();
  };
  mutex.lock();
  EXPECT_EQ(seenFromOutside(), DWORD{WAIT_TIMEOUT});
  mutex.unlock();
  EXPECT_EQ(seenFromOutside(), DWORD{WAIT_OBJECT_0});
}

TEST(Win32NamedMutex, AbandonedMutexIsTakenOver) {
  const std::string name = UniqueName("abandoned");
  HANDLE kept = nullptr;
  // A holder that ends without releasing, as a process that crashed with the log locked.
  std::thread([&] { kept = CreateMutexA(nullptr, TRUE, name.c_str()); }).join();
  ASSERT_NE(kept, nullptr);
  NamedMutex mutex(name);
  auto locked = std::async(std::launch::async, [&] {
    mutex.lock();
    mutex.unlock();
  });
  EXPECT_EQ(locked.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  CloseHandle(kept);
}

TEST(Win32Profile, WritesAndReadsThroughTheSystemProfileFunctions) {
  test::ScopedWorkDir dir;
  const std::string file = dir.Path() + "\\settings.ini";
  ASSERT_TRUE(WriteProfileValue("Linvo", "LogFlag", "1", file));
  ASSERT_TRUE(WriteProfileValue("Linvo", "LogFileFolder", ".\\Log%03d.log", file));
  EXPECT_EQ(test::ReadFile(file), "[Linvo]\r\nLogFlag=1\r\nLogFileFolder=.\\Log%03d.log\r\n");

  char raw[64];
  GetPrivateProfileStringA("linvo", "logflag", "", raw, sizeof raw, file.c_str());
  EXPECT_STREQ(raw, "1");
  EXPECT_EQ(ReadProfileString("LINVO", "LOGFILEFOLDER", "", file, 256), ".\\Log%03d.log");
  EXPECT_EQ(ReadProfileString("Linvo", "Missing", "dflt", file, 256), "dflt");
  EXPECT_EQ(ReadProfileString("Linvo", "LogFileFolder", "", file, 5), ".\\Lo");
  EXPECT_EQ(ReadProfileInt("Linvo", "LogFlag", 7, file), 1);
  EXPECT_EQ(ReadProfileInt("Linvo", "Missing", 7, file), 7);
  const auto section = ReadProfileSection("Linvo", file);
  ASSERT_EQ(section.size(), 2u);
  EXPECT_EQ(section[0], (std::pair<std::string, std::string>{"LogFlag", "1"}));
  EXPECT_EQ(section[1].first, "LogFileFolder");
}

TEST(Win32Paths, TemporaryAndDesktopDirectoriesComeFromTheSystem) {
  test::ScopedWorkDir dir;  // points TMP and TEMP at itself
  char temp[MAX_PATH + 1];
  ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
  EXPECT_EQ(TempDirectory(), std::string(temp));
  EXPECT_EQ(TempDirectory()->back(), '\\');
  const auto desktop = DesktopDirectory();
  ASSERT_TRUE(desktop.has_value());
  EXPECT_TRUE(FileExists(*desktop)) << *desktop;
  EXPECT_EQ(NativePath(".\\Linvo%03d.log"), ".\\Linvo%03d.log");
}

TEST(Win32Ports, ListedFromTheSerialDeviceMap) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, 0,
                      KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    GTEST_SKIP() << "the serial device map cannot be written here (needs administrator rights)";
  }
  const std::string value = "\\Device\\LinvoTest" + std::to_string(GetCurrentProcessId());
  const char port[] = "COM57";
  ASSERT_EQ(RegSetValueExA(key, value.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                           sizeof port),
            ERROR_SUCCESS);
  const auto listed = ListPortNames("");
  RegDeleteValueA(key, value.c_str());
  RegCloseKey(key);
  EXPECT_NE(std::find(listed.begin(), listed.end(), "COM57"), listed.end());
  const auto after = ListPortNames("");
  EXPECT_EQ(std::find(after.begin(), after.end(), "COM57"), after.end());
}

TEST(Win32Serial, OpenOfAMissingPortSaysWhy) {
  const OpenResult result = OpenSerialLine("COM251", "");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error.code, ERROR_FILE_NOT_FOUND);
  EXPECT_NE(result.error.message.find("\\\\.\\COM251"), std::string::npos) << result.error.message;
  EXPECT_NE(result.error.message.find(':'), 0u) << "the system's reason comes first";
}

// The debugger output as a debug monitor reads it: the shared buffer the system's
// OutputDebugString fills when a monitor has created it (process id, then the text).
TEST(Win32DebugOutput, ReachesADebugMonitor) {
  HANDLE monitorMutex = CreateMutexA(nullptr, FALSE, "DBWinMutex");
  HANDLE buffer =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER");
  HANDLE bufferReady = CreateEventA(nullptr, FALSE, TRUE, "DBWIN_BUFFER_READY");
  HANDLE dataReady = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
  ASSERT_TRUE(monitorMutex && buffer && bufferReady && dataReady);
  auto* view = static_cast<const char*>(MapViewOfFile(buffer, FILE_MAP_READ, 0, 0, 4096));
  ASSERT_NE(view, nullptr);

  WriteDebugOutput("[Info]linvo debug output\r\n");
  const bool arrived = WaitForSingleObject(dataReady, 2000) == WAIT_OBJECT_0;
  DWORD pid = 0;
  std::memcpy(&pid, view, sizeof pid);
  const std::string text(view + sizeof pid);
  UnmapViewOfFile(view);
  for (HANDLE h : {dataReady, bufferReady, buffer, monitorMutex}) CloseHandle(h);
  if (!arrived) GTEST_SKIP() << "this system does not serve debug monitors";
  EXPECT_EQ(pid, GetCurrentProcessId());
  EXPECT_EQ(text, "[Info]linvo debug output\r\n");
}

TEST(Win32Spooler, AnUnknownPrinterCannotBeOpened) {
  const auto spooler = MakeSystemSpooler();
  ASSERT_NE(spooler, nullptr);
  EXPECT_EQ(spooler->Open("linvo no such printer " + std::to_string(GetCurrentProcessId())),
            nullptr);
}

// The spooler says why: the system's error of the refused open and its text with the name.
TEST(Win32Spooler, AnUnknownPrinterSaysWhy) {
  const auto spooler = MakeSystemSpooler();
  const std::string name = "linvo no such printer " + std::to_string(GetCurrentProcessId());
  ASSERT_EQ(spooler->Open(name), nullptr);
  const SpoolerError error = spooler->LastError();
  EXPECT_NE(error.code, 0);
  EXPECT_EQ(error.message, SystemErrorText(error.code) + ": " + name);
}

}  // namespace
}  // namespace linvo::platform
