// linvo run: property puts, method calls, property reads and event waits, in the order given.
#include <chrono>
#include <cstdio>
#include <deque>

#include "commands.h"
#include "output.h"
#include "run_plan.h"

namespace linvo::cli {
namespace {

constexpr const char* kHelp =
    "Usage: linvo run [options] STEP...\n"
    "\n"
    "Creates the control LINVO.LinvoCtrl.1 and performs the steps in the order given, printing\n"
    "each step and each event as it happens. Member names compare case-insensitively.\n"
    "\n"
    "Steps:\n"
    "  --set NAME=VALUE        assign a property (--set PortNo=7, --set SendData=S1)\n"
    "  --call \"NAME [ARG...]\"  call a method with its arguments (--call lvoOpenPort,\n"
    "                          --call \"lvoSendCommandRR 0 3000\"); quotes keep blanks in an\n"
    "                          argument\n"
    "  --get NAME              read a property (--get PollCmdResData)\n"
    "  --wait-event NAME       wait for the next event of that name that this run has not\n"
    "                          waited for yet (--wait-event lvoReceiveResponseEvent)\n"
    "  --timeout MS            the time-out of the --wait-event before it (5000)\n"
    "\n"
    "Values: long members take a 32-bit integer, bool members true, false, 1, 0 or -1, text\n"
    "members any text.\n"
    "\n"
    "Options:\n"
    "  --settings-dir DIR      run in DIR: the library reads Linvo.ini there (its [Ports]\n"
    "                          lines map COM numbers to devices) and writes relative trace\n"
    "                          files there\n"
    "  --json                  print one JSON object per line; what the control prints\n"
    "                          itself (lvoPrintJobClear's \"N jobs\" line) goes to\n"
    "                          standard error then\n"
    "  --ok CODE               count this method result as a success too (e.g. --ok 11)\n"
    "  --fail CODE             count this result as a failure (e.g. --fail 2)\n"
    "\n"
    "Success: a method that returns a result code succeeds with 0 (success), 1 (background\n"
    "operation started), 2 (ACK) or 10 (response \"A\"), as changed by --ok and --fail. A wait\n"
    "succeeds when the event comes in time and, for every event but lvoCommEvent (whose\n"
    "argument is an event bit), its argument is such a success code. Every step runs whatever\n"
    "the steps before it returned.\n"
    "\n"
    "Exit status: 0 when every call and wait succeeded, 1 otherwise, 2 for bad usage (an\n"
    "unknown member, a bad value, a wrong argument count), found before any step runs.\n";

using Clock = std::chrono::steady_clock;

struct Received {
  const Event* event;
  int32_t argument;
};

class Runner {
 public:
  Runner(const TypeInfo& info, const RunPlan& plan, std::FILE* out)
      : m_info(info), m_plan(plan), m_out(plan.json, out), m_control(kProgId) {
    m_control.Connect([this](int32_t /*dispid*/, const char* name, int32_t argument) {
      OnEvent(name, argument);
    });
  }

  // Runs every step; true when all succeeded.
  bool RunAll() {
    bool ok = true;
    for (const Step& step : m_plan.steps) {
      try {
        ok = RunStep(step) && ok;
      } catch (const Error& e) {
        m_out.Line("error: " + std::string(e.what()),
                   {{"error", TextToJson(e.what())}, {"code", e.code()}});
        ok = false;
      }
      linvo::Pump(0);  // events that are already queued show before the next step
    }
    return ok;
  }

 private:
  void OnEvent(const char* name, int32_t argument) {
    const Event* event = m_info.FindEvent(name);
    if (event == nullptr) return;
    m_received.push_back({event, argument});
    m_out.Line("event " + event->name + "(" + std::to_string(argument) + ")",
               {{"event", event->name}, {"dispid", event->dispid}, {"argument", argument}});
  }

  bool Succeeded(int32_t code) const { return m_plan.successCodes.count(code) != 0; }

  static std::string Verdict(bool ok) { return ok ? "" : "  FAILED"; }

  bool RunStep(const Step& step) {
    switch (step.kind) {
      case Step::Kind::kSet: {
        const Member& m = *step.member;
        m_control.Invoke(m.dispid, LVO_PROPERTYPUT, step.values);
        const Json value = ValueJson(step.values[0]);
        m_out.Line("set " + m.name + " = " + Show(value),
                   {{"step", "set"}, {"name", m.name}, {"value", value}});
        return true;
      }
      case Step::Kind::kGet: {
        const Member& m = *step.member;
        const Json value = ValueJson(m_control.Invoke(m.dispid, LVO_PROPERTYGET, {}));
        m_out.Line("get " + m.name + " = " + Show(value),
                   {{"step", "get"}, {"name", m.name}, {"value", value}});
        return true;
      }
      case Step::Kind::kCall:
        return Call(step);
      case Step::Kind::kWait:
        return Wait(step);
    }
    return false;
  }

  bool Call(const Step& step) {
    const Member& m = *step.member;
    const Value result = m_control.Invoke(m.dispid, LVO_METHOD, step.values);
    // Only result codes are judged; text results and methods without a result succeed.
    const bool ok = result.index() != 1 || Succeeded(std::get<int32_t>(result));
    Json args = Json::array();
    std::string shown;
    for (const Value& v : step.values) {
      args.push_back(ValueJson(v));
      shown += (shown.empty() ? "" : ", ") + Show(args.back());
    }
    const Json value = ValueJson(result);
    std::string text = "call " + m.name + "(" + shown + ")";
    if (!value.is_null()) text += " = " + Show(value);
    m_out.Line(text + Verdict(ok),
               {{"step", "call"}, {"name", m.name}, {"args", args}, {"result", value}, {"ok", ok}});
    return ok;
  }

  bool Wait(const Step& step) {
    const Event& e = *step.event;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(step.timeoutMs);
    for (;;) {
      // Events are taken in the order they came, each by one wait.
      for (std::size_t i = 0; i < m_received.size(); ++i) {
        if (m_received[i].event != &e) continue;
        const int32_t argument = m_received[i].argument;
        m_received.erase(m_received.begin() + static_cast<std::ptrdiff_t>(i));
        const bool ok = e.name == "lvoCommEvent" || Succeeded(argument);
        m_out.Line("wait " + e.name + " = " + std::to_string(argument) + Verdict(ok),
                   {{"step", "wait"}, {"name", e.name}, {"argument", argument}, {"ok", ok}});
        return ok;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      linvo::Pump(static_cast<int32_t>(left));
    }
    m_out.Line("wait " + e.name + ": no event within " + std::to_string(step.timeoutMs) + " ms" +
                   Verdict(false),
               {{"step", "wait"},
                {"name", e.name},
                {"argument", nullptr},
                {"timeout", step.timeoutMs},
                {"ok", false}});
    return false;
  }

  const TypeInfo& m_info;
  const RunPlan& m_plan;
  Printer m_out;
  Object m_control;
  std::deque<Received> m_received;  // events not waited for yet
};

}  // namespace

int Run(const Args& args) {
  const TypeInfo info = LoadTypeInfo(kProgId);
  RunPlan plan;
  std::string error;
  if (!ParseRunPlan(args, info, &plan, &error)) return Usage("run", error);
  if (plan.help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (!UseSettings("run", plan.settingsDir)) return 2;
  // With --json, standard output carries the JSON lines alone.
  const FilePtr jsonOut = plan.json ? DivertStandardOutput() : nullptr;
  Runner runner(info, plan, jsonOut ? jsonOut.get() : stdout);
  return runner.RunAll() ? 0 : 1;
}

}  // namespace linvo::cli
