#include "tavi/interfaces.hpp"

#include <ifaddrs.h>

#include <memory>

namespace tavi::platform {

OsResult<std::vector<InterfaceAddress>> list_interfaces() {
  ifaddrs* head = nullptr;
  if (::getifaddrs(&head) != 0) return std::unexpected(last_os_error());
  const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owned(head, &::freeifaddrs);

  std::vector<InterfaceAddress> listed;
  for (const ifaddrs* entry = head; entry != nullptr; entry = entry->ifa_next) {
    // ip_from_sockaddr accepts only AF_INET and AF_INET6.
    auto ip = ip_from_sockaddr(entry->ifa_addr);
    if (!ip) continue;
    listed.push_back(InterfaceAddress{entry->ifa_name != nullptr ? entry->ifa_name : "", *ip});
  }
  return listed;
}

}  // namespace tavi::platform
