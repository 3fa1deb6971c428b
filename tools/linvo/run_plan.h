// linvo run's command line as a checked plan: every step names a member or event that exists,
// with values of the member's types, before anything runs.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "linvo/linvo.hpp"
#include "type_info.h"

namespace linvo::cli {

struct Step {
  enum class Kind { kSet, kGet, kCall, kWait } kind = Kind::kGet;
  const Member* member = nullptr;  // set, get, call
  const Event* event = nullptr;    // wait
  std::vector<Value> values;       // set: the value; call: the arguments
  int32_t timeoutMs = 5000;        // wait
};

struct RunPlan {
  std::vector<Step> steps;
  std::set<int32_t> successCodes{0, 1, 2, 10};  // method results and event arguments that succeed
  std::string settingsDir;
  bool json = false;
  bool help = false;
};

// Parses the arguments of linvo run; false with *error saying what is wrong.
bool ParseRunPlan(const std::vector<std::string>& args, const TypeInfo& info, RunPlan* plan,
                  std::string* error);

// "lvoSendCommandRR 0 3000" or 'lvoCharAscHConv 0 "A B"': words separated by blanks; single or
// double quotes keep blanks inside a word.
bool SplitWords(const std::string& text, std::vector<std::string>* words, std::string* error);

}  // namespace linvo::cli
