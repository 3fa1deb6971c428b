// Helpers of the simulator tests: hex byte strings, the host end of a line, and a fixture that
// serves a simulator on a virtual line.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/serial.h"
#include "sim/device_sim.h"
#include "sim/endpoint.h"

namespace linvo::sim {

// Bytes from "04 02 53".
inline std::string Bytes(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 3) {
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return out;
}

// Reads from the host end until `count` bytes have arrived or timeoutMs passes; with count 0,
// collects whatever arrives within timeoutMs.
inline std::string ReadFromDevice(platform::SerialLine& host, std::size_t count, int timeoutMs) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (count == 0 || got.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    if (host.WaitReadable(static_cast<int>(left), nullptr) != platform::WaitResult::kReady)
      continue;
    uint8_t buffer[4096];
    const platform::IoResult r = host.ReadAvailable(
        buffer, count == 0 ? sizeof buffer : std::min(sizeof buffer, count - got.size()));
    if (r.status != platform::IoStatus::kOk) break;
    got.append(reinterpret_cast<const char*>(buffer), r.bytes);
  }
  return got;
}

// Frames the tests send: a text command ("S1") and the poll; a binary command (data 01 16 02: the
// 0x16 doubled, the check byte 01 ^ 16 ^ 02 ^ 03 = 16 not doubled) and the host's SYN ACK.
inline const std::string kCommandS1 = Bytes("04 02 53 31 03 61");
inline const std::string kPoll = Bytes("04 05");
inline const std::string kBinaryCommand = Bytes("16 02 01 16 16 02 16 03 16");
inline const std::string kSynAck = Bytes("16 06");

inline void WriteToDevice(platform::SerialLine& host, std::string_view bytes) {
  const platform::IoResult r =
      host.Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  ASSERT_EQ(r.status, platform::IoStatus::kOk);
  ASSERT_EQ(r.bytes, bytes.size());
}

inline constexpr int kArrive = 2000;  // limit for bytes that must come (only a failing test
                                      // waits it)
inline constexpr int kQuiet = 50;     // how long "nothing comes" is watched

class SimOnVirtualLine : public ::testing::Test {
 protected:
  static constexpr const char* kPort = "COM201";

  void StartSim(Config config = {}) {
    m_peer = platform::RegisterVirtualLine(kPort);
    m_host = platform::OpenSerialLine(kPort, "").line;
    ASSERT_NE(m_host, nullptr);
    m_sim = std::make_unique<DeviceSimulator>(MakeVirtualEndpoint(m_peer), std::move(config));
    ASSERT_TRUE(m_sim->Start());
  }
  void TearDown() override {
    m_sim.reset();
    m_host.reset();
    platform::UnregisterVirtualLine(kPort);
  }
  // Sends the bytes and returns the `count` bytes the device answers.
  std::string Exchange(std::string_view bytes, std::size_t count) {
    WriteToDevice(*m_host, bytes);
    return HexBytes(ReadFromDevice(*m_host, count, kArrive));
  }
  // Sends the bytes and returns everything the device sends within kQuiet ms.
  std::string ExchangeQuiet(std::string_view bytes) {
    WriteToDevice(*m_host, bytes);
    return HexBytes(ReadFromDevice(*m_host, 0, kQuiet));
  }

  std::shared_ptr<platform::VirtualPeer> m_peer;
  std::unique_ptr<platform::SerialLine> m_host;
  std::unique_ptr<DeviceSimulator> m_sim;
};

}  // namespace linvo::sim
