#include "run_plan.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <optional>

namespace linvo::cli {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::optional<int64_t> ParseNumber(const std::string& text, int64_t low, int64_t high) {
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

// The text as a value of the type; nullopt when it is not one.
std::optional<Value> Convert(const std::string& text, int32_t type) {
  switch (type) {
    case LVO_LONG: {
      const auto n = ParseNumber(text, std::numeric_limits<int32_t>::min(),
                                 std::numeric_limits<int32_t>::max());
      if (!n) return std::nullopt;
      return Value(static_cast<int32_t>(*n));
    }
    case LVO_BOOL: {
      const std::string word = Lower(text);
      if (word == "true" || word == "1" || word == "-1") return Value(true);
      if (word == "false" || word == "0") return Value(false);
      return std::nullopt;
    }
    default:
      return Value(text);
  }
}

const char* ValueHint(int32_t type) {
  switch (type) {
    case LVO_LONG:
      return "a 32-bit integer";
    case LVO_BOOL:
      return "true, false, 1, 0 or -1";
    default:
      return "text";
  }
}

Step MakeStep(Step::Kind kind, const Member* member, const Event* event = nullptr) {
  Step step;
  step.kind = kind;
  step.member = member;
  step.event = event;
  return step;
}

class Parser {
 public:
  Parser(const TypeInfo& info, RunPlan* plan, std::string* error)
      : m_info(info), m_plan(plan), m_error(error) {}

  bool Parse(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
      std::string name = args[i];
      std::optional<std::string> value;
      if (const std::size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
      }
      if (name == "--help" || name == "-h") {
        m_plan->help = true;
        return true;
      }
      if (name == "--json" && !value) {
        m_plan->json = true;
        continue;
      }
      if (!TakesValue(name))
        return Fail(name == "--json" ? "--json takes no value" : "unknown option " + name);
      if (!value) {
        if (i + 1 >= args.size()) return Fail(name + " needs a value");
        value = args[++i];
      }
      if (!Option(name, *value)) return false;
    }
    if (m_plan->steps.empty())
      return Fail("nothing to run: give --set, --call, --get or --wait-event");
    return true;
  }

 private:
  static constexpr std::size_t npos = std::string::npos;

  static bool TakesValue(const std::string& name) {
    return name == "--set" || name == "--get" || name == "--call" || name == "--wait-event" ||
           name == "--timeout" || name == "--ok" || name == "--fail" || name == "--settings-dir";
  }

  bool Fail(const std::string& message) {
    *m_error = message;
    return false;
  }

  const Member* FindMember(const std::string& name, bool method) {
    const Member* member = m_info.FindMember(name);
    if (member == nullptr) {
      Fail("unknown member '" + name + "' (linvo members lists them)");
    } else if (member->method != method) {
      Fail("'" + member->name + "' is a " +
           (member->method ? "method: use --call" : "property: use --set or --get"));
      return nullptr;
    }
    return member;
  }

  bool Convert(const std::string& text, int32_t type, const std::string& what, Value* out) {
    const std::optional<Value> value = cli::Convert(text, type);
    if (!value) {
      return Fail("bad value '" + text + "' for " + what + ": it takes " + ValueHint(type));
    }
    *out = *value;
    return true;
  }

  bool Option(const std::string& name, const std::string& value) {
    if (name == "--set") {
      const std::size_t eq = value.find('=');
      if (eq == npos) return Fail("--set takes NAME=VALUE, not '" + value + "'");
      const Member* member = FindMember(value.substr(0, eq), false);
      if (member == nullptr) return false;
      Step step = MakeStep(Step::Kind::kSet, member);
      step.values.emplace_back();
      if (!Convert(value.substr(eq + 1), member->type, member->name, &step.values[0])) {
        return false;
      }
      m_plan->steps.push_back(std::move(step));
    } else if (name == "--get") {
      const Member* member = FindMember(value, false);
      if (member == nullptr) return false;
      m_plan->steps.push_back(MakeStep(Step::Kind::kGet, member));
    } else if (name == "--call") {
      return Call(value);
    } else if (name == "--wait-event") {
      const Event* event = m_info.FindEvent(value);
      if (event == nullptr) return Fail("unknown event '" + value + "' (linvo members lists them)");
      m_plan->steps.push_back(MakeStep(Step::Kind::kWait, nullptr, event));
    } else if (name == "--timeout") {
      if (m_plan->steps.empty() || m_plan->steps.back().kind != Step::Kind::kWait) {
        return Fail("--timeout gives the time-out of the --wait-event before it");
      }
      const auto ms = ParseNumber(value, 0, std::numeric_limits<int32_t>::max());
      if (!ms) return Fail("bad value '" + value + "' for --timeout: milliseconds, 0 or more");
      m_plan->steps.back().timeoutMs = static_cast<int32_t>(*ms);
    } else if (name == "--ok" || name == "--fail") {
      const auto code = ParseNumber(value, std::numeric_limits<int32_t>::min(),
                                    std::numeric_limits<int32_t>::max());
      if (!code) return Fail("bad value '" + value + "' for " + name + ": a result code");
      if (name == "--ok") {
        m_plan->successCodes.insert(static_cast<int32_t>(*code));
      } else {
        m_plan->successCodes.erase(static_cast<int32_t>(*code));
      }
    } else {  // --settings-dir
      if (value.empty()) return Fail("--settings-dir needs a directory");
      m_plan->settingsDir = value;
    }
    return true;
  }

  bool Call(const std::string& text) {
    std::vector<std::string> words;
    if (!SplitWords(text, &words, m_error)) return false;
    if (words.empty()) return Fail("--call needs a method name");
    const Member* member = FindMember(words[0], true);
    if (member == nullptr) return false;
    const std::size_t given = words.size() - 1;
    if (given != member->params.size()) {
      return Fail(member->name + " takes " + std::to_string(member->params.size()) + " argument" +
                  (member->params.size() == 1 ? "" : "s") + ", got " + std::to_string(given) +
                  ": " + Signature(*member));
    }
    Step step = MakeStep(Step::Kind::kCall, member);
    step.values.resize(given);
    for (std::size_t i = 0; i < given; ++i) {
      const Param& param = member->params[i];
      if (!Convert(words[i + 1], param.type, member->name + " argument " + param.name,
                   &step.values[i])) {
        return false;
      }
    }
    m_plan->steps.push_back(std::move(step));
    return true;
  }

  const TypeInfo& m_info;
  RunPlan* m_plan;
  std::string* m_error;
};

}  // namespace

bool SplitWords(const std::string& text, std::vector<std::string>* words, std::string* error) {
  std::optional<std::string> word;
  char quote = 0;
  for (const char c : text) {
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else {
        *word += c;
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
      if (!word) word.emplace();
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      if (word) words->push_back(std::move(*word));
      word.reset();
    } else {
      if (!word) word.emplace();
      *word += c;
    }
  }
  if (quote != 0) {
    *error = std::string("unbalanced ") + quote + " in '" + text + "'";
    return false;
  }
  if (word) words->push_back(std::move(*word));
  return true;
}

bool ParseRunPlan(const std::vector<std::string>& args, const TypeInfo& info, RunPlan* plan,
                  std::string* error) {
  return Parser(info, plan, error).Parse(args);
}

}  // namespace linvo::cli
