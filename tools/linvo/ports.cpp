// linvo ports: the COM names a host can open, and the serial adapters that have none yet.
#include <cstdio>

#include "commands.h"
#include "linvo/linvo.hpp"
#include "output.h"

namespace linvo::cli {
namespace {

constexpr const char* kHelp =
    "Usage: linvo ports [--all] [--settings-dir DIR] [--json]\n"
    "\n"
    "Lists the COM names a host can open (the control's GetPortNames), one per line: the\n"
    "[Ports] entries of Linvo.ini whose device exists or that name a network serial server\n"
    "(rfc2217://host:port, socket://host:port; the server is not asked), and COMn for each\n"
    "/dev/ttyS<n-1> with a UART behind it.\n"
    "\n"
    "  --all               also each name's device, and the USB and ACM adapters that no COM\n"
    "                      name reaches yet, by their stable /dev/serial/by-id names, with the\n"
    "                      [Ports] line of Linvo.ini that would map each\n"
    "  --settings-dir DIR  read Linvo.ini from DIR (default: the current directory, else the\n"
    "                      per-user temporary directory)\n"
    "  --json              one JSON object per line\n";

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
  const PortListing listing = ListPorts();
  for (const Port& port : listing.ports) {
    if (!all) {
      out.Line(port.name, {{"port", TextToJson(port.name)}});
      continue;
    }
    const bool resolved = !port.device.empty();
    out.Line(port.name + "  " + (resolved ? port.device : "?"),
             {{"port", TextToJson(port.name)},
              {"device", resolved ? TextToJson(port.device) : nullptr}});
  }
  if (!all) return 0;
  if (!json) {
    std::printf(listing.adapters.empty()
                    ? "no unmapped serial adapters\n"
                    : "unmapped serial adapters (add the line under [Ports] in "
                      "Linvo.ini to give one a COM name):\n");
  }
  for (const Adapter& a : listing.adapters) {
    std::string text = "  " + a.name + "  (" + a.device;
    if (!a.vendorId.empty()) text += ", " + a.vendorId + ":" + a.productId;
    if (!a.product.empty()) text += ", " + a.product;
    text += ")\n    " + a.portsLine;
    out.Line(text, {{"adapter", TextToJson(a.name)},
                    {"device", TextToJson(a.device)},
                    {"vendor_id", TextToJson(a.vendorId)},
                    {"product_id", TextToJson(a.productId)},
                    {"product", TextToJson(a.product)},
                    {"ports_line", TextToJson(a.portsLine)}});
  }
  return 0;
}

}  // namespace linvo::cli
