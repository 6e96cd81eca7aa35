#pragma once

#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

namespace px::test {

// Points XDG_RUNTIME_DIR at a private folder for the rest of the test
// program: the single-instance lock lives there, and the tests' lock must
// stay away from any copy of the program the developer runs.
inline void UsePrivateRuntimeDirectory() {
  static QTemporaryDir runtime;
  QFile::setPermissions(runtime.path(),
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
}

}  // namespace px::test
