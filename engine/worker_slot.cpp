#include "engine/worker_slot.h"

#include <system_error>
#include <utility>

namespace linvo::engine {

WorkerSlot::~WorkerSlot() { StopAndJoin(); }

void WorkerSlot::Join(Worker* worker) {
  if (worker != nullptr && worker->m_thread.joinable()) worker->m_thread.join();
}

std::unique_ptr<Worker> WorkerSlot::TakeUnreportableLocked(bool reportsCanArrive) {
  if (m_worker == nullptr) return nullptr;
  const bool unreportable =
      m_worker->orphaned.load() || (!reportsCanArrive && m_worker->posted.load());
  return unreportable ? std::move(m_worker) : nullptr;
}

uint16_t WorkerSlot::RunningKind(bool reportsCanArrive) {
  std::unique_ptr<Worker> finished;
  uint16_t kind = 0;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    finished = TakeUnreportableLocked(reportsCanArrive);
    if (m_worker != nullptr) kind = m_worker->kind;
  }
  // The worker has made its last post: joining it is a matter of its thread returning.
  Join(finished.get());
  return kind;
}

WorkerSlot::StartOutcome WorkerSlot::Start(uint16_t kind, const WorkerParams& params,
                                           Procedure procedure, bool reportsCanArrive,
                                           uint16_t* runningKind) {
  std::unique_ptr<Worker> finished;
  StartOutcome outcome = StartOutcome::kStarted;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    finished = TakeUnreportableLocked(reportsCanArrive);
    if (m_worker != nullptr) {
      *runningKind = m_worker->kind;
      outcome = StartOutcome::kOccupied;
    } else {
      m_stop.Clear();
      auto worker = std::make_unique<Worker>(kind, params);
      Worker& self = *worker;
      m_running.fetch_add(1);
      try {
        // The thread may run (and post) at once; its report is handled only after the slot
        // holds the worker, because taking it out needs this lock.
        worker->m_thread = std::thread([this, &self, run = std::move(procedure)] {
          run(self);
          m_running.fetch_sub(1);
        });
        m_latestMask.store(params.mask);
        m_worker = std::move(worker);
      } catch (const std::system_error&) {
        m_running.fetch_sub(1);
        outcome = StartOutcome::kThreadFailed;
      }
    }
  }
  Join(finished.get());
  return outcome;
}

std::unique_ptr<Worker> WorkerSlot::TakePosted() {
  std::unique_ptr<Worker> worker;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_worker != nullptr && m_worker->posted.load()) worker = std::move(m_worker);
  }
  Join(worker.get());
  return worker;
}

void WorkerSlot::StopAndJoin() {
  std::unique_ptr<Worker> worker;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_worker == nullptr) return;
    m_worker->closing.store(true);
    m_stop.Set();
    worker = std::move(m_worker);
  }
  Join(worker.get());
}

void WorkerSlot::Pause(int ms) const { m_stop.Wake()->Wait(ms); }

}  // namespace linvo::engine
