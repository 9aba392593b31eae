// The server loop and the listener steps that start-up and shutdown call.
#pragma once

namespace kestrune {

class Server;

// Runs until a stop flag is set; returns 0. Exceptions reach start-up.
int ServerLoop(Server& server);

// Listener steps, called by start-up and shutdown in their order.
// 0 or a negative code (start-up exits 2).
int CreateListenerRecords(Server& server);
// 0, or a negative code after which start-up exits 12 (TCP) or 13 (UDP).
int OpenTcpListeners(Server& server);
int OpenUdpListeners(Server& server);
// Shuts down and closes every listener, TCP then UDP.
void CloseListeners(Server& server);

}  // namespace kestrune
