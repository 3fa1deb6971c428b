// The port's one background receive slot: the worker in it, the parameters it was started with,
// its thread, the stop request with its wake-up descriptor, and whether its last report reached
// the port's window.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/notify.h"
#include "platform/wake_event.h"

namespace linvo::engine {

// What a start operation hands its worker, captured by value when the worker starts.
struct WorkerParams {
  int32_t timeout = 0;  // of every read and send the worker makes (0: wait until data or a stop)
  int16_t dsrCheck = 0;
  int16_t ctsCheck = 0;   // binary report receive: its SYN ACK / SYN NAK sends
  uint32_t mask = 0;      // the event bits the worker may report
  int16_t mode = 0;       // callback-style response poll
  int32_t busyTimer = 0;  // response poll: ms of busy answers or silence before 113 (0: none)
  int32_t ackMode = 0;    // data receive: answer a frame with ACK, a bad one with NAK
  int16_t twoPart = 0;    // HF receive: a reply may come as two frames
  // Stored only: whether a callback was given decides start or stop, nothing calls it.
  ResponseCallback responseCallback = nullptr;
  BinaryCallback binaryCallback = nullptr;
};

// A flag with a wake-up event: setting it signals the event, so a wait in the kernel that
// includes the event ends at once.
class StopRequest {
 public:
  void Set() {
    m_set.store(true);
    m_wake.Signal();
  }
  void Clear() {
    m_set.store(false);
    m_wake.Clear();
  }
  bool IsSet() const { return m_set.load(); }
  const platform::WakeEvent* Wake() const { return &m_wake; }

 private:
  std::atomic<bool> m_set{false};
  platform::WakeEvent m_wake;
};

// One background receive. Its kind and parameters never change; the flags are written by its
// own thread (posted, orphaned) or by a close (closing).
class Worker {
 public:
  Worker(uint16_t workerKind, const WorkerParams& workerParams)
      : kind(workerKind), params(workerParams) {}
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  const uint16_t kind;
  const WorkerParams params;
  // The worker is about to post its last record: a report of this worker may free the slot.
  std::atomic<bool> posted{false};
  // That post failed (the port's window is gone or its queue is full): no report will come.
  std::atomic<bool> orphaned{false};
  // A close stops the worker: a stopped worker then ends without a report (except the response
  // poll, which always reports).
  std::atomic<bool> closing{false};

 private:
  friend class WorkerSlot;
  std::thread m_thread;
};

// Holds at most one worker. Every change of the slot happens under its lock, and a worker is
// destroyed only by the one caller that took it out of the slot, after joining its thread: a start
// on one thread, a report handled on the port's window thread and a close on a third cannot free a
// worker another still uses. The slot is filled only by Start, which publishes a worker whose
// thread already runs.
class WorkerSlot {
 public:
  using Procedure = std::function<void(Worker&)>;
  enum class StartOutcome { kStarted, kOccupied, kThreadFailed };

  WorkerSlot() = default;
  // Stops and joins a worker still in the slot (silently, as a close does).
  ~WorkerSlot();
  WorkerSlot(const WorkerSlot&) = delete;
  WorkerSlot& operator=(const WorkerSlot&) = delete;

  // The kind of the worker in the slot, 0 when empty. A worker that can never be reported (its
  // last post failed; or it posted and reportsCanArrive is false because the port's window is
  // gone) no longer counts: it is taken out and joined here.
  uint16_t RunningKind(bool reportsCanArrive);

  // Starts `procedure` on a new thread as the worker of this kind with these parameters, after
  // clearing the stop request. kOccupied (with *runningKind set) when the slot holds a worker.
  StartOutcome Start(uint16_t kind, const WorkerParams& params, Procedure procedure,
                     bool reportsCanArrive, uint16_t* runningKind);

  // Asks the worker to stop; it reports (or ends silently while closing) and the slot frees when
  // its report is handled.
  void RequestStop() { m_stop.Set(); }

  // On the port's window thread, for a worker's report: takes the worker out if it has posted,
  // joins it and returns it (null when the slot is empty or its worker has not posted: a report
  // that arrives after a close took its worker leaves a newer worker alone).
  std::unique_ptr<Worker> TakePosted();

  // Marks the worker as closing, asks it to stop, takes it out and joins it.
  void StopAndJoin();

  // For the receive primitives: a worker thread is running and was asked to stop.
  bool StopRequested() const { return m_running.load() > 0 && m_stop.IsSet(); }
  // The event a receive wait includes while a worker thread runs (a stop request then ends the
  // wait), else none.
  const platform::WakeEvent* Wake() const { return m_running.load() > 0 ? m_stop.Wake() : nullptr; }
  // Whether the worker was asked to stop (for the worker's own checks).
  bool Stopped() const { return m_stop.IsSet(); }
  // Waits up to ms, less when a stop is requested.
  void Pause(int ms) const;

  // The event mask of the latest started worker, for a report whose worker a close already took.
  uint32_t LatestMask() const { return m_latestMask.load(); }

 private:
  // Under m_lock: takes out a worker that can never be reported.
  std::unique_ptr<Worker> TakeUnreportableLocked(bool reportsCanArrive);
  static void Join(Worker* worker);

  mutable std::mutex m_lock;
  std::unique_ptr<Worker> m_worker;  // guarded by m_lock
  // Worker threads that have not returned from their procedure yet (a taken-out worker may still
  // be finishing while the next one starts).
  std::atomic<int> m_running{0};
  std::atomic<uint32_t> m_latestMask{0};
  StopRequest m_stop;
};

}  // namespace linvo::engine
