#include "cli/commands.h"
#include "cli/events_client.h"

namespace px::cli {

int FollowServiceEvents(bool) {
  Complain("this pxraid was built without the message bus: there are no pxraidd events to follow");
  return kExitNoDevice;
}

}  // namespace px::cli
