// The JSON property bag refuses to load what is not a regular file, without waiting: a FIFO (no
// writer ever comes), a link to one, a device.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "control/json_property_bag.h"
#include "support/test_env.h"

namespace linvo::control {
namespace {

using ::testing::HasSubstr;

TEST(JsonPropertyBagPosix, LoadRefusesFifosAndDevicesAtOnce) {
  test::ScopedWorkDir dir;
  const std::string fifo = dir.Path() + "/bag.fifo";
  const std::string link = dir.Path() + "/bag.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::symlink(fifo.c_str(), link.c_str()), 0);
  for (const std::string& path : {fifo, link, std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    JsonPropertyBag bag;
    bag.WriteLong("PortNo", 4);
    std::string error;
    std::promise<bool> loaded;
    std::future<bool> result = loaded.get_future();
    std::thread loader([&] { loaded.set_value(bag.LoadFile(path, &error)); });
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "the load waits on " << path;
      // A writer that comes and goes lets a reader stuck in the open finish.
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) ::close(writer);
    }
    loader.join();
    EXPECT_FALSE(result.get());
    EXPECT_EQ(error, path + ": is not a regular file");
    EXPECT_EQ(bag.ReadLong("PortNo", 0), 4) << "the bag is left as it was";
  }
}

}  // namespace
}  // namespace linvo::control
