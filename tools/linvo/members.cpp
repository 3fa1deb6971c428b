// linvo members: the control's type information.
#include <cstdio>

#include "commands.h"
#include "output.h"
#include "type_info.h"

namespace linvo::cli {
namespace {

constexpr const char* kHelp =
    "Usage: linvo members [--json]\n"
    "\n"
    "Lists the type information of the control LINVO.LinvoCtrl.1: each member of its dispatch\n"
    "interface (DISPID, property or method, type, name and parameters) and each event of its\n"
    "event interface with its argument.\n"
    "\n"
    "  --json   one JSON object per line: {\"dispid\", \"kind\", \"name\", \"type\", \"params\"}\n";

Json ParamsJson(const std::vector<Param>& params) {
  Json list = Json::array();
  for (const Param& p : params) list.push_back({{"name", p.name}, {"type", TypeName(p.type)}});
  return list;
}

}  // namespace

int Members(const Args& args) {
  bool json = false;
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg != "--json") return Usage("members", "unknown option " + arg);
    json = true;
  }
  const TypeInfo info = LoadTypeInfo(kProgId);
  const Printer out(json);
  if (!json) {
    std::printf("%s: dispatch interface %s, event interface %s\n", info.library.c_str(),
                info.interface.c_str(), info.eventsInterface.c_str());
  }
  for (const Member& m : info.members) {
    char dispid[16];
    std::snprintf(dispid, sizeof dispid, "%6d", m.dispid);
    const char* kind = m.method ? "method  " : "property";
    Json object = {{"dispid", m.dispid},
                   {"kind", m.method ? "method" : "property"},
                   {"name", m.name},
                   {"type", TypeName(m.type)}};
    if (m.method) object["params"] = ParamsJson(m.params);
    out.Line(std::string(dispid) + "  " + kind + "  " + Signature(m), object);
  }
  for (const Event& e : info.events) {
    char dispid[16];
    std::snprintf(dispid, sizeof dispid, "%6d", e.dispid);
    const std::vector<Param> params{{e.argument, LVO_LONG}};
    out.Line(std::string(dispid) + "  event     " + e.name + "(" + e.argument + ": long)",
             {{"dispid", e.dispid},
              {"kind", "event"},
              {"name", e.name},
              {"params", ParamsJson(params)}});
  }
  return 0;
}

}  // namespace linvo::cli
