#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

#include "eventlog/log_time.h"

namespace px::app {

// The user's own short-date and long-time formats, as every date the program
// shows or logs is written.
class SystemDateTimeFormat final : public px::DateTimeFormat {
 public:
  explicit SystemDateTimeFormat(QLocale locale = QLocale::system());
  std::string ShortDate(const LogTime& time) const override;
  std::string LongTime(const LogTime& time) const override;

 private:
  QLocale locale_;
  QString dateFormat_;
  QString timeFormat_;
};

// Qt's long time format may name the time zone ("t"); the system's long time
// as the program has always shown it does not, and a log line must not change
// with daylight saving. This drops the zone and the blank before it.
QString WithoutTimeZone(const QString& format);

LogTime ToLogTime(const QDateTime& moment);

}  // namespace px::app
