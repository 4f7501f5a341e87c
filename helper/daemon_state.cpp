#include "daemon_state.hpp"

namespace tavi {

std::vector<ServerStatus> initial_status(const Config& config) {
  std::vector<ServerStatus> status;
  status.reserve(config.servers.size());
  for (const Server& server : config.servers) {
    status.push_back(ServerStatus{server.name, server.name + "." + config.domain, std::nullopt,
                                  Route::unknown()});
  }
  return status;
}

}  // namespace tavi
