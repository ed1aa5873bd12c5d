#include "station_name.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>

namespace quillon::batch {

namespace {

// The first eight hexadecimal digits of the id in `path`, or empty.
std::string machineIdPrefix(const std::string& path) {
  std::ifstream file(path);
  std::string id;
  if (!std::getline(file, id) || id.size() < 8) return {};
  id.resize(8);
  const bool hex = std::all_of(id.begin(), id.end(), [](unsigned char c) {
    return std::isxdigit(c) != 0;
  });
  return hex ? id : std::string();
}

}  // namespace

std::string defaultStationName(const std::string& machineIdFile) {
  char host[256] = "";
  ::gethostname(host, sizeof host - 1);
  std::string id = machineIdPrefix(machineIdFile);
  if (id.empty()) id = machineIdPrefix("/var/lib/dbus/machine-id");
  std::string name = host;
  if (!id.empty()) name += (name.empty() ? "" : "-") + id;
  return name;
}

}  // namespace quillon::batch
