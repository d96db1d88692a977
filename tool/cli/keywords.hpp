// The keywords of kestrin's command line, one row each: what the check of the
// command line and the dispatch both go by. A new command is a row here and
// the function that runs it.
#pragma once

#include <span>
#include <string_view>

#include "procedures/run_context.hpp"

namespace kestrin {

// Runs a keyword's command after the start-up probes. `args` are the
// arguments after the program name (args[1] is the keyword), already checked
// to hold every argument the keyword requires. The exit code
// (common/tool_contract.hpp).
using KeywordHandler = int (*)(RunContext& ctx, std::span<const char* const> args);

struct Keyword {
  std::string_view name;
  // The names of the required arguments, in order, separated by one blank;
  // optional ones are not listed.
  std::string_view required;
  std::string_view usage;  // the whole form, as a refusal names it
  KeywordHandler run;
};

// Every keyword; matched exactly and case-sensitively against the argument.
std::span<const Keyword> keywords();
// Nothing for any other word: the run is then the probes only.
const Keyword* findKeyword(std::string_view name);

}  // namespace kestrin
