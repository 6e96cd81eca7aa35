#pragma once

#include <QObject>
#include <functional>

namespace px::app {

// Runs `work` later on the GUI thread, called from any thread; nothing runs
// when `context` (an object of the GUI thread) is gone by then. Calls run in
// the order they were posted.
//
// The calls wait in a queue of our own rather than inside Qt's event queue:
// Qt is not built with ThreadSanitizer, which would otherwise not see the
// hand-over and take what a call carries for a race.
void PostToGuiThread(QObject* context, std::function<void()> work);

// Runs `work` at once when called on `context`'s thread, else as
// PostToGuiThread does.
void RunOnGuiThread(QObject* context, std::function<void()> work);

}  // namespace px::app
