// pages: the wizard's list-page addresses for a page range.
#include "cli/common.h"
#include "net/codec.h"
#include "wizard/page_addresses.h"

namespace kelvora::cli {

int RunPages(const Options& o, CliHost&) {
  // The page boxes start with "1" and "3".
  std::string first = "1", last = "3";
  std::vector<std::string> positional;
  for (size_t i = 0; i < o.arguments.size(); ++i) {
    const std::string& arg = o.arguments[i];
    std::string* target = arg == "--first" ? &first : arg == "--last" ? &last : nullptr;
    if (target) {
      if (i + 1 >= o.arguments.size()) {
        ErrorLine("pages: " + arg + " needs a value");
        return kExitUsage;
      }
      *target = o.arguments[++i];
    } else if (arg.rfind("--first=", 0) == 0) {
      first = arg.substr(8);
    } else if (arg.rfind("--last=", 0) == 0) {
      last = arg.substr(7);
    } else if (arg.size() > 2 && arg.rfind("--", 0) == 0) {
      ErrorLine("pages: unknown option " + arg);
      return kExitUsage;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 1) {
    ErrorLine("pages: give one list ADDRESS");
    return kExitUsage;
  }
  for (const std::string& address : WizardPageAddresses(Utf8ToGbk(first), Utf8ToGbk(last), Utf8ToGbk(positional[0])))
    WriteOut(GbkToUtf8(address) + "\n");
  return ExitCodeAfterRun();
}

}  // namespace kelvora::cli
