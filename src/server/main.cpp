#include "server/server.h"
#include "server/startup.h"

int main(int argc, char** argv) {
  // Before anything can open a socket.
  kestrune::OpenStandardDescriptors();
  kestrune::Server server;
  return kestrune::RunServer(server, argc, argv);
}
