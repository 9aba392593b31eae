// Stand-in loop until connections and listeners exist: it only waits for a
// stop flag, so start-up and shutdown run their full course.
#include "server/loop.h"

#include <ctime>

#include "server/server.h"

namespace kestrune {

int ServerLoop(Server& /*server*/) {
  while (!StopRequested()) {
    timespec pause{0, 150 * 1000 * 1000};
    nanosleep(&pause, nullptr);  // a signal cuts it short
  }
  return 0;
}

int CreateListenerRecords(Server& /*server*/) { return 0; }
int OpenTcpListeners(Server& /*server*/) { return 0; }
int OpenUdpListeners(Server& /*server*/) { return 0; }
void CloseListeners(Server& /*server*/) {}

}  // namespace kestrune
