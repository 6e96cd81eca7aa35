#include "bus/logind_inhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "bus/sd_bus_handles.h"

namespace px::bus {
namespace {

std::string ErrorText(const sd_bus_error& error, int rc) {
  if (error.message != nullptr) return error.message;
  if (error.name != nullptr) return error.name;
  return std::strerror(-rc);
}

}  // namespace

SdBusLogindInhibitor::SdBusLogindInhibitor(std::string who, Notice notice, std::string busAddress)
    : LogindInhibitor(std::move(who), std::move(notice)), busAddress_(std::move(busAddress)) {}

LogindInhibitor::Reply SdBusLogindInhibitor::Inhibit(const Request& request) {
  Bus bus;
  if (const int rc = Connect(busAddress_, bus); rc < 0) {
    return {-1, std::string("no system bus: ") + std::strerror(-rc)};
  }
  sd_bus_message* rawCall = nullptr;
  int rc = sd_bus_message_new_method_call(bus.get(), &rawCall, kLogindService, kLogindPath,
                                          kLogindManager, kLogindInhibit);
  const Message call(rawCall);
  if (rc >= 0) {
    rc = sd_bus_message_append(call.get(), "ssss", std::string(request.what).c_str(),
                               std::string(request.who).c_str(), std::string(request.why).c_str(),
                               std::string(request.mode).c_str());
  }
  if (rc < 0) return {-1, std::string("logind: ") + std::strerror(-rc)};

  sd_bus_error error{};  // SD_BUS_ERROR_NULL, which is a C compound literal
  sd_bus_message* rawReply = nullptr;
  rc = sd_bus_call(bus.get(), call.get(), uint64_t{kLogindReplyMs} * 1000, &error, &rawReply);
  const Message reply(rawReply);
  if (rc < 0) {
    std::string failure = "logind: " + ErrorText(error, rc);
    sd_bus_error_free(&error);
    return {-1, std::move(failure)};
  }
  int fd = -1;
  if ((rc = sd_bus_message_read(reply.get(), "h", &fd)) < 0) {
    return {-1, std::string("logind: ") + std::strerror(-rc)};
  }
  // The reply owns its descriptor and closes it with the message.
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) return {-1, std::string("logind: ") + std::strerror(errno)};
  return {own, {}};
}

}  // namespace px::bus
