#include "device/linux/drive_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace px {
namespace {

constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

struct flock FirmwareMark(short type) {
  struct flock mark {};
  mark.l_type = type;
  mark.l_whence = SEEK_SET;
  mark.l_start = 0;
  mark.l_len = 1;
  return mark;
}

}  // namespace

ClaimToken TryClaimNode(const std::filesystem::path& node, ClaimPurpose purpose,
                        const NodeOpener& opener) {
  const int fd = opener(node.c_str(), kOpenFlags);
  if (fd < 0) return kClaimEmpty;
  int locked = 0;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    ::close(fd);
    return kClaimRefused;
  }
  if (purpose == ClaimPurpose::Firmware) {
    // Only a hint for others' messages: the claim stands without it.
    struct flock mark = FirmwareMark(F_RDLCK);
    (void)::fcntl(fd, F_OFD_SETLK, &mark);
  }
  return fd;
}

void ReleaseNodeClaim(ClaimToken token) {
  if (token >= 0) ::close(static_cast<int>(token));
}

bool NodeClaimedForFirmware(const std::filesystem::path& node, const NodeOpener& opener) {
  const int fd = opener(node.c_str(), kOpenFlags);
  if (fd < 0) return false;
  // A write lock would conflict with the holder's read lock on byte 0: the
  // kernel then describes that lock instead of answering F_UNLCK.
  struct flock probe = FirmwareMark(F_WRLCK);
  const bool marked = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  ::close(fd);
  return marked;
}

}  // namespace px
