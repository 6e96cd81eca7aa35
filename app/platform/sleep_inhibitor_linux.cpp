#include <fcntl.h>

#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <cerrno>
#include <cstring>
#include <utility>

#include "app/platform/sleep_inhibitor.h"

namespace px::app {
namespace {

QString Text(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QtLogindInhibitor::QtLogindInhibitor(QDBusConnection bus, std::string who, px::Notice notice)
    : LogindInhibitor(std::move(who), std::move(notice)), bus_(std::move(bus)) {}

px::LogindInhibitor::Reply QtLogindInhibitor::Inhibit(const Request& request) {
  if (!bus_.isConnected()) {
    return {-1, "no system bus: " + bus_.lastError().message().toStdString()};
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QString::fromLatin1(px::kLogindService), QString::fromLatin1(px::kLogindPath),
      QString::fromLatin1(px::kLogindManager), QString::fromLatin1(px::kLogindInhibit));
  call << Text(request.what) << Text(request.who) << Text(request.why) << Text(request.mode);
  const QDBusMessage reply = bus_.call(call, QDBus::Block, px::kLogindReplyMs);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    return {-1, "logind: " + reply.errorMessage().toStdString()};
  }
  const QList<QVariant> arguments = reply.arguments();
  if (arguments.size() != 1 || !arguments[0].canConvert<QDBusUnixFileDescriptor>()) {
    return {-1, "logind: the answer carries no file descriptor"};
  }
  // QDBusUnixFileDescriptor closes its own copy; the hold needs one that
  // lives until Release.
  const auto descriptor = qvariant_cast<QDBusUnixFileDescriptor>(arguments[0]);
  const int own = ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 3);
  if (own < 0) return {-1, std::string("logind: ") + std::strerror(errno)};
  return {own, {}};
}

std::unique_ptr<px::SleepInhibitor> CreateSleepInhibitor(px::Notice notice) {
  return std::make_unique<QtLogindInhibitor>(QDBusConnection::systemBus(), "PX RAID Utility",
                                             std::move(notice));
}

}  // namespace px::app
