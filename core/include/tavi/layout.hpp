// The absolute paths the system uses on the machine. Production code uses
// default_layout(); tests pass a layout rooted in a scratch folder whose
// "programs" are small scripts.
#pragma once

#include <string>

namespace tavi {

inline constexpr const char* SERVICE_LABEL = "id.tavi.helper";

struct Layout {
  std::string installed_executable = "/Library/PrivilegedHelperTools/id.tavi.helper";
  std::string job_file = "/Library/LaunchDaemons/id.tavi.helper.plist";
  std::string launchctl = "/bin/launchctl";
  std::string ifconfig = "/sbin/ifconfig";
  std::string dscacheutil = "/usr/bin/dscacheutil";
  std::string killall = "/usr/bin/killall";
};

inline const Layout& default_layout() {
  static const Layout layout;
  return layout;
}

}  // namespace tavi
