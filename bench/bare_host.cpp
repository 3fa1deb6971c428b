// The bare reference host of the side-by-side benchmark: the same exchange and echo as
// linvo_exchange_host and the pyserial host, written straight on the system calls with nothing
// else (no watcher, no trace, no checks beyond the reply's status letter): write, wait for the
// reply with poll, read, and wait out the 1 ms quiet gap. Its CPU per exchange is what the
// kernel's part of such an exchange costs on the machine at hand (the pseudo-terminal writes,
// the sleeps and wake-ups), the share no host can avoid; the benchmark prints it beside the two
// hosts so that their figures can be judged against it.
//
// `sleep` mode measures one piece of that share alone: the CPU the kernel charges for a 1 ms
// sleep that its timer ends (poll with no descriptor), as the quiet gap is. DEVICE is not opened.
// Usage: linvo_bare_host DEVICE COUNT [exchange|echo|sleep]
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/host_loop.h"

namespace {

constexpr uint8_t STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06;
constexpr int kQuietGapMs = 1;
constexpr int kReplyTimeoutMs = 1000;
constexpr std::size_t kBlock = 4096;

bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

bool WriteAll(int fd, const uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n > 0) {
      bytes += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, kReplyTimeoutMs) <= 0) return false;
  }
  return true;
}

// Reads what is there and whatever follows until the line has been quiet for the gap.
void ReadUntilQuiet(int fd, std::vector<uint8_t>* into) {
  uint8_t chunk[4096];
  do {
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) into->insert(into->end(), chunk, chunk + n);
  } while (WaitReadable(fd, kQuietGapMs));
}

std::string Exchange(int fd) {
  static const std::vector<uint8_t> command = [] {
    std::vector<uint8_t> frame = {EOT, STX, 'S', '1', ETX};
    uint8_t bcc = 0;
    for (std::size_t i = 2; i < frame.size(); ++i) bcc ^= frame[i];
    frame.push_back(bcc);
    return frame;
  }();
  static const uint8_t kPoll[] = {EOT, ENQ};
  if (!WriteAll(fd, command.data(), command.size())) return "write failed";
  uint8_t ack = 0;
  if (!WaitReadable(fd, kReplyTimeoutMs) || read(fd, &ack, 1) != 1 || ack != ACK) return "no ACK";
  if (!WriteAll(fd, kPoll, sizeof kPoll)) return "write failed";
  if (!WaitReadable(fd, kReplyTimeoutMs)) return "no response";
  std::vector<uint8_t> response;
  ReadUntilQuiet(fd, &response);
  return response.size() >= 3 && response[1] == 'A' ? "" : "bad response";
}

std::string Echo(int fd) {
  static const std::vector<uint8_t> block = [] {
    std::vector<uint8_t> bytes(kBlock);  // the bytes linvo_exchange_host sends
    for (std::size_t i = 0; i < kBlock; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return bytes;
  }();
  if (!WriteAll(fd, block.data(), block.size())) return "write failed";
  std::vector<uint8_t> back;
  while (back.size() < kBlock) {
    if (!WaitReadable(fd, kReplyTimeoutMs)) return "time-out";
    ReadUntilQuiet(fd, &back);
  }
  return back == block ? "" : "the block came back changed";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 4 ? argv[3] : "exchange";
  if ((argc != 3 && argc != 4) || (mode != "exchange" && mode != "echo" && mode != "sleep")) {
    std::fprintf(stderr, "usage: linvo_bare_host DEVICE COUNT [exchange|echo|sleep]\n");
    return 2;
  }
  if (mode == "sleep") {
    return linvo::bench::RunMeasuredSteps("bare", std::atoi(argv[2]), [] {
      poll(nullptr, 0, kQuietGapMs);
      return std::string();
    });
  }
  const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios settings{};
  if (fd < 0 || tcgetattr(fd, &settings) != 0) {
    std::fprintf(stderr, "linvo_bare_host: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  cfmakeraw(&settings);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  cfsetspeed(&settings, B115200);
  tcsetattr(fd, TCSANOW, &settings);
  const int count = std::atoi(argv[2]);
  std::string (*const step)(int) = mode == "echo" ? Echo : Exchange;
  const int result = linvo::bench::RunMeasuredSteps("bare", count, [&] { return step(fd); });
  close(fd);
  return result;
}
