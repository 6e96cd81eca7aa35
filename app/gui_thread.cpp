#include "app/gui_thread.h"

#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <deque>
#include <mutex>
#include <utility>

namespace px::app {
namespace {

struct Posted {
  QPointer<QObject> context;
  std::function<void()> work;
};

struct PostedCalls {
  std::mutex mutex;
  std::deque<Posted> calls;
};

PostedCalls& Queue() {
  static PostedCalls queue;
  return queue;
}

// One at a time: a call that opens a modal box runs the event loop inside,
// and the calls posted after it must still run in their order there.
void RunPosted() {
  PostedCalls& queue = Queue();
  for (;;) {
    Posted next;
    {
      const std::lock_guard lock(queue.mutex);
      if (queue.calls.empty()) return;
      next = std::move(queue.calls.front());
      queue.calls.pop_front();
    }
    if (next.context) next.work();
  }
}

}  // namespace

void PostToGuiThread(QObject* context, std::function<void()> work) {
  {
    PostedCalls& queue = Queue();
    const std::lock_guard lock(queue.mutex);
    queue.calls.push_back({context, std::move(work)});
  }
  // Only a wake-up goes through Qt; the first to arrive runs every call.
  QMetaObject::invokeMethod(
      context, [] { RunPosted(); }, Qt::QueuedConnection);
}

void RunOnGuiThread(QObject* context, std::function<void()> work) {
  if (QThread::currentThread() == context->thread()) {
    work();
  } else {
    PostToGuiThread(context, std::move(work));
  }
}

}  // namespace px::app
