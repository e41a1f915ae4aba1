// Who listens on a TCP port of this machine, for the message that refuses a
// taken address.
#pragma once

#include <string>

namespace smd::service {

// "ravo3d (pid 1234)" for the process holding a listening socket on `port`,
// empty when it cannot be known (another user's process, a hidden /proc, a
// socket in another network namespace).
std::string port_holder(int port);

}  // namespace smd::service
