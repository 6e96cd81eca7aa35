#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/job_request.h"

// One firmware job of pxraidd: pxraid's own firmware command, run as a
// child of the service on a copy of the client's file. The child is the
// program that users run by hand, so its words, questions, log lines,
// backups and exit status are those of pxraid by construction; and a fault
// in flash work ends a child, not the service that watches every enclosure.

namespace px::service {

// What a job says, in the order it happens.
struct JobNews {
  enum class Type {
    Said,      // a line the child printed: `stream` "stdout" or "stderr", `text`
    Asked,     // the child asks `text` and waits for Answer
    Progress,  // the child's progress line: stage `text`, `percent`
    Ended,     // the child ended with `exitCode`, pxraid's exit status
  };
  Type type = Type::Said;
  std::string stream;
  std::string text;
  int percent = 0;
  int exitCode = 0;
};

class JobRunner {
 public:
  // Starts the job on a thread of its own; `tell` is called from that thread
  // for each piece of news, the last being Ended.
  JobRunner(JobSpec spec, std::function<void(JobNews)> tell);
  // Waits for the child: a flash is never left half written because the
  // service is going away.
  ~JobRunner();
  JobRunner(const JobRunner&) = delete;
  JobRunner& operator=(const JobRunner&) = delete;

  // Answers the question the child asks; ignored when it asks none.
  void Answer(bool yes);
  // Asks the child to stop as Ctrl+C would: before the flash is erased it
  // stops and changes nothing; from then on it refuses and goes on.
  void Stop();

 private:
  void Run();
  int RunChild(const std::vector<std::string>& argv, const std::string& copy);

  JobSpec spec_;
  std::function<void(JobNews)> tell_;
  std::mutex mutex_;
  int answers_ = -1;  // the child's standard input while it runs
  int child_ = -1;    // its process while it runs
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace px::service
