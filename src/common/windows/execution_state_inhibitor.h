#pragma once

#include <string_view>

#include "common/sleep_inhibitor.h"

namespace px {

// Windows: the calling thread's execution state says the system is required
// (SetThreadExecutionState), which holds off sleep while it is set. Acquire
// and Release must run on the same thread; the upgrade runs on one.
class ExecutionStateInhibitor final : public SleepInhibitor {
 public:
  explicit ExecutionStateInhibitor(Notice notice) : notice_(std::move(notice)) {}
  ~ExecutionStateInhibitor() override { Release(); }
  ExecutionStateInhibitor(const ExecutionStateInhibitor&) = delete;
  ExecutionStateInhibitor& operator=(const ExecutionStateInhibitor&) = delete;

  void Acquire(std::string_view why) override;
  void Release() override;

 private:
  SleepNotHeldNotice notice_;
  bool held_ = false;
};

}  // namespace px
