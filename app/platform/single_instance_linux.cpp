#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QStandardPaths>

#include "app/platform/single_instance.h"

namespace px::app {

namespace {

// One copy per user and login: the runtime directory has that scope; the
// temporary directory is shared, so the fallback name carries the user id.
QString LockFilePath(const std::string& name) {
  QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  QString file = QString::fromStdString(name) + QStringLiteral(".lock");
  if (dir.isEmpty() || !QDir(dir).exists()) {
    dir = QDir::tempPath();
    file = QString::fromStdString(name) + QStringLiteral("-%1.lock").arg(getuid());
  }
  return QDir(dir).filePath(file);
}

}  // namespace

SingleInstance::SingleInstance(const std::string& name) {
  const QByteArray path = QFile::encodeName(LockFilePath(name));
  // In the shared temporary folder the name may be another user's link or
  // pipe; neither is followed or waited on.
  fd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    // A lock we cannot even create must not keep the program from running.
    acquired_ = true;
    return;
  }
  acquired_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

SingleInstance::~SingleInstance() {
  // Closing the descriptor releases the lock. The file stays: removing it
  // would race with a copy starting right now that opened the old file.
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace px::app
