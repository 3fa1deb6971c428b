// linvo ports: the COM names a host can open, and the serial adapters that have none yet.
#include <cstdio>
#include <optional>
#include <sstream>

#include "commands.h"
#include "engine/settings.h"
#include "output.h"
#include "platform/serial.h"
#include "portapi/enum_ports.h"

namespace linvo::cli {
namespace {

constexpr const char* kHelp =
    "Usage: linvo ports [--all] [--settings-dir DIR] [--json]\n"
    "\n"
    "Lists the COM names a host can open (the control's GetPortNames), one per line: the\n"
    "[Ports] entries of Linvo.ini whose device exists and COMn for each /dev/ttyS<n-1> with a\n"
    "UART behind it.\n"
    "\n"
    "  --all               also each name's device, and the USB and ACM adapters that no COM\n"
    "                      name reaches yet, by their stable /dev/serial/by-id names, with the\n"
    "                      [Ports] line of Linvo.ini that would map each\n"
    "  --settings-dir DIR  read Linvo.ini from DIR (default: the current directory, else the\n"
    "                      per-user temporary directory)\n"
    "  --json              one JSON object per line\n";

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> names;
  std::istringstream in(list);
  for (std::string name; std::getline(in, name, ',');) {
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

}  // namespace

int Ports(const Args& args) {
  bool all = false;
  bool json = false;
  std::string settingsDir;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (arg == "--all") {
      all = true;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--settings-dir" && i + 1 < args.size()) {
      settingsDir = args[++i];
    } else if (arg.rfind("--settings-dir=", 0) == 0) {
      settingsDir = arg.substr(arg.find('=') + 1);
    } else {
      return Usage("ports",
                   arg == "--settings-dir" ? arg + " needs a directory" : "unknown option " + arg);
    }
  }
  if (!UseSettings("ports", settingsDir)) return 2;

  const Printer out(json);
  Object control(kProgId);
  const Value list = control.Get("GetPortNames");
  const std::string settingsFile = engine::EngineSettingsFile();
  for (const std::string& name : SplitList(std::get<std::string>(list))) {
    if (!all) {
      out.Line(name, {{"port", TextToJson(name)}});
      continue;
    }
    const std::optional<std::string> device = platform::ResolvePortName(name, settingsFile);
    out.Line(name + "  " + device.value_or("?"),
             {{"port", TextToJson(name)}, {"device", device ? TextToJson(*device) : nullptr}});
  }
  if (!all) return 0;
  const std::vector<platform::UnmappedDevice> unmapped = portapi::UnmappedPorts();
  if (!json) {
    std::printf(unmapped.empty() ? "no unmapped serial adapters\n"
                                 : "unmapped serial adapters (add the line under [Ports] in "
                                   "Linvo.ini to give one a COM name):\n");
  }
  for (const platform::UnmappedDevice& u : unmapped) {
    const platform::SerialDevice& d = u.device;
    const std::string name = d.stablePath.empty() ? d.path : d.stablePath;
    std::string text = "  " + name + "  (" + d.path;
    if (!d.vendorId.empty()) text += ", " + d.vendorId + ":" + d.productId;
    if (!d.product.empty()) text += ", " + d.product;
    text += ")\n    " + u.portsLine;
    out.Line(text, {{"adapter", TextToJson(name)},
                    {"device", TextToJson(d.path)},
                    {"vendor_id", TextToJson(d.vendorId)},
                    {"product_id", TextToJson(d.productId)},
                    {"product", TextToJson(d.product)},
                    {"ports_line", TextToJson(u.portsLine)}});
  }
  return 0;
}

}  // namespace linvo::cli
