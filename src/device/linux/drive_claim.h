#pragma once

#include <filesystem>
#include <functional>

#include "device/transport.h"

namespace px {

// Opens a device node: the file descriptor, or minus the errno.
using NodeOpener = std::function<int(const char* node, int flags)>;

// A claim that holds nothing: granted, as there was no node to lock.
inline constexpr ClaimToken kClaimEmpty = -2;

// Claims a disk node against the other programs of this machine, without
// waiting. An exclusive flock() on the whole-disk node is the lock udev and
// the partitioning tools already honour on block devices, so while we hold
// it udev also leaves the disk alone instead of re-probing it in the middle
// of a knock; unlike O_EXCL it works while the volume is mounted. For
// firmware work a shared OFD lock on byte 0 of the same descriptor marks
// why, so that a refused program can tell the user. Both go with the
// descriptor, so they end with the process even if it is killed.
//
// The token is the descriptor; kClaimRefused when another descriptor holds
// the lock (in any process, this one included); kClaimEmpty when the node
// cannot be opened, since then no command can reach the disk either.
ClaimToken TryClaimNode(const std::filesystem::path& node, ClaimPurpose purpose,
                        const NodeOpener& opener);
void ReleaseNodeClaim(ClaimToken token);
// Whether the holder of `node`'s claim marked it as firmware work.
bool NodeClaimedForFirmware(const std::filesystem::path& node, const NodeOpener& opener);

}  // namespace px
