// quillon ports: the serial devices on this machine, the COMn each is
// reachable as, and whether this user may open it.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "commands.h"
#include "exit_codes.h"
#include "port_access.h"
#include "port_diagnosis.h"
#include "serial_devices.h"

namespace quillon::cli {

namespace {

namespace fs = std::filesystem;

// One device as the listing shows it.
struct PortRow {
  std::string device;
  std::set<std::string> aliases;  // other names that lead to it
  std::string comNames;           // "COM1,COM7" or "-"
  bool present = true;
  std::string advice;       // what would let this user open it
  std::string quillonPort;  // the name $QUILLON_PORT gives it, or empty
};

std::vector<PortRow> portRows() {
  std::map<std::string, PortRow> rows;  // by canonical device path
  for (auto& device : portmap::serialDevices()) {
    PortRow& row = rows[device.path];
    row.device = device.path;
    row.aliases = std::move(device.aliases);
    row.comNames = std::move(device.comNames);
    row.advice = std::move(device.accessAdvice);
  }
  // The ports a user set in $QUILLON_PORT (a simulator's line, a link)
  // are listed too, by the name given, even when no device is there.
  const char* env = std::getenv("QUILLON_PORT");
  for (const std::string& name :
       batch::splitPortList(env != nullptr ? env : "")) {
    const auto target = batch::resolvePort(name);
    const auto* port = std::get_if<batch::PortTarget>(&target);
    if (port == nullptr) continue;
    const std::string device = portmap::canonicalPath(port->path);
    auto [it, added] = rows.try_emplace(device);
    PortRow& row = it->second;
    if (added) {
      row.device = device;
      row.comNames = "-";
      row.present = fs::exists(device);
      if (row.present) row.advice = portmap::accessAdvice(device);
    }
    if (device != name) row.aliases.insert(name);
    if (row.quillonPort.empty()) row.quillonPort = name;
  }
  std::vector<PortRow> listed;
  for (auto& [device, row] : rows) listed.push_back(std::move(row));
  return listed;
}

std::string accessText(const PortRow& row) {
  if (!row.present) return "no: no such device";
  return row.advice.empty() ? "yes" : "no: " + row.advice;
}

void printJson(const std::vector<PortRow>& rows) {
  for (const PortRow& row : rows) {
    nlohmann::ordered_json line;
    line["device"] = row.device;
    line["names"] = row.aliases;
    auto com = nlohmann::json::array();
    if (row.comNames != "-") {
      std::string names = row.comNames;
      for (std::size_t at; (at = names.find(',')) != std::string::npos;) {
        com.push_back(names.substr(0, at));
        names.erase(0, at + 1);
      }
      com.push_back(names);
    }
    line["com"] = com;
    line["quillon_port"] = row.quillonPort.empty()
                               ? nlohmann::ordered_json(nullptr)
                               : nlohmann::ordered_json(row.quillonPort);
    line["present"] = row.present;
    line["may_open"] = row.present && row.advice.empty();
    line["advice"] = row.present ? row.advice : "no such device";
    std::cout << line.dump(-1, ' ', /*ensure_ascii=*/true) << '\n';
  }
}

}  // namespace

int runPorts(const GlobalOptions& global, const std::string& format) {
  const auto rows = portRows();
  if (rows.empty()) {
    if (!global.quiet) std::cerr << "quillon: no serial device found\n";
    return kExitPort;
  }
  if (format == "json") {
    printJson(rows);
    return kExitDone;
  }
  std::size_t width = 6;
  for (const PortRow& row : rows) width = std::max(width, row.device.size());
  const auto column = [&](const std::string& text, std::size_t size) {
    return text + std::string(size > text.size() ? size - text.size() : 0, ' ');
  };
  std::cout << column("DEVICE", width + 2) << column("PORT", 10) << "ACCESS\n";
  for (const PortRow& row : rows) {
    std::cout << column(row.device, width + 2) << column(row.comNames, 10)
              << accessText(row) << '\n';
    for (const auto& alias : row.aliases) {
      std::cout << "  = " << alias
                << (alias == row.quillonPort ? "  ($QUILLON_PORT)" : "")
                << '\n';
    }
    if (row.quillonPort == row.device) std::cout << "  = $QUILLON_PORT\n";
  }
  return kExitDone;
}

}  // namespace quillon::cli
