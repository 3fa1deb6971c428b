#include "portapi/table_lock.h"

namespace linvo::portapi {

std::mutex& TableLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace linvo::portapi
