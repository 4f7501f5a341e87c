#include <cstdlib>

#include "tavi/ipc.hpp"
#include "tavi/text.hpp"

namespace tavi {

SocketAddress ipc_address() {
  // Only a loopback address keeps the unauthenticated control port on this machine.
  const char* value = std::getenv("TAVI_IPC_ADDR");
  if (value == nullptr || !is_valid_utf8(value)) return DEFAULT_IPC_ADDR;
  const std::optional<SocketAddress> address = parse_socket_address(value);
  if (!address || !is_loopback(address->ip)) return DEFAULT_IPC_ADDR;
  return *address;
}

}  // namespace tavi
