// Every message handler, the remote console, the status responder and the
// update check's answer sink, plugged into a server's hooks for as long as the
// object lives. Start-up builds one after the stores are loaded; the fuzz
// targets build one around a server that never runs its loop.
#pragma once

#include <functional>
#include <memory>

namespace kestrune {

class Protocol;
class Server;

// What the console changes beyond the settings: copies of diag and timestamp
// that live outside the server (the fatal-signal handler's). Unset: nothing.
struct ConsoleSwitches {
  std::function<void(int)> diag;
  std::function<void(int)> timeStamp;
};

class ServerServices {
 public:
  // `server` must have loaded its stores (bans, ranks, accounts) and outlive
  // this object.
  ServerServices(Server& server, ConsoleSwitches switches);
  // Puts every hook back to its harmless default before the handlers go.
  ~ServerServices();
  ServerServices(const ServerServices&) = delete;
  ServerServices& operator=(const ServerServices&) = delete;

  Protocol& protocol();

 private:
  struct Parts;
  Server& server_;
  std::unique_ptr<Parts> parts_;
};

}  // namespace kestrune
