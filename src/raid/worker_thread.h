#pragma once

#include <atomic>
#include <stop_token>
#include <thread>

namespace px {

// A background loop that runs Step over and over until it is told to stop or
// the application closes. Step does its own pausing through the injected
// clock. The owner may wait for Finished() while it keeps its own events
// going (a step may be waiting for the owner's thread), then Join.
class WorkerThread {
 public:
  explicit WorkerThread(const std::atomic<bool>& closing) : closing_(closing) {}
  virtual ~WorkerThread() { Stop(); }
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void RequestStop() { thread_.request_stop(); }
  bool Finished() const { return finished_.load(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  void Stop() {
    RequestStop();
    Join();
  }

 protected:
  // Called by the derived constructor once everything Step uses exists; the
  // derived destructor must Stop before its members go.
  void Start() {
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  }
  virtual void Step() = 0;
  bool Closing() const { return closing_.load(); }

 private:
  void Run(const std::stop_token& stop) {
    while (!stop.stop_requested() && !Closing()) Step();
    finished_ = true;
  }

  const std::atomic<bool>& closing_;
  std::atomic<bool> finished_{false};
  std::jthread thread_;
};

}  // namespace px
