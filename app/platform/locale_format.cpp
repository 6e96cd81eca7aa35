#include "app/platform/locale_format.h"

namespace px::app {

namespace {

QDateTime ToDateTime(const LogTime& time) {
  return QDateTime(QDate(time.year, time.month, time.day),
                   QTime(time.hour, time.minute, time.second));
}

}  // namespace

QString WithoutTimeZone(const QString& format) {
  QString out;
  bool quoted = false;
  for (qsizetype i = 0; i < format.size(); ++i) {
    const QChar c = format.at(i);
    if (c == QLatin1Char('\'')) quoted = !quoted;
    if (!quoted && c == QLatin1Char('t')) {
      while (!out.isEmpty() && out.back().isSpace()) out.chop(1);
      continue;
    }
    out.append(c);
  }
  return out.trimmed();
}

SystemDateTimeFormat::SystemDateTimeFormat(QLocale locale)
    : locale_(std::move(locale)),
      dateFormat_(locale_.dateFormat(QLocale::ShortFormat)),
      timeFormat_(WithoutTimeZone(locale_.timeFormat(QLocale::LongFormat))) {}

std::string SystemDateTimeFormat::ShortDate(const LogTime& time) const {
  return locale_.toString(ToDateTime(time).date(), dateFormat_).toStdString();
}

std::string SystemDateTimeFormat::LongTime(const LogTime& time) const {
  return locale_.toString(ToDateTime(time).time(), timeFormat_).toStdString();
}

LogTime ToLogTime(const QDateTime& moment) {
  const QDate d = moment.date();
  const QTime t = moment.time();
  return {d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second()};
}

}  // namespace px::app
