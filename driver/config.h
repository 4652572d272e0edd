// The run's configuration, parsed from the command line once: everything
// below the driver takes it, or the parts it needs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/result.h"
#include "driver/rename_list.h"

// The input files in command-line order, as full paths.
struct InputRegistry {
  std::vector<std::string> paths;
  std::unordered_set<std::string> seen;  // so that the duplicate test is no scan
};

// Rewrites operand with NormalizeHostPath, resolves it to a full path and
// appends it. kInvalidPathname or kDuplicateFilename, naming the rewritten
// operand, refuse it.
Status RegisterInputFile(std::string_view operand, InputRegistry* registry);

struct Config {
  enum class Action { kRun, kHelp, kVersion };
  Action action = Action::kRun;
  std::optional<std::string> oldSymbol;   // -c
  std::optional<std::string> newSymbol;   // -n
  std::optional<std::string> listPath;    // -a
  std::optional<std::string> outputPath;  // -o, rewritten with NormalizeHostPath
  std::optional<std::string> prefix;      // -p
  bool grow = false;                      // -g: names of any length, names inside others
  std::optional<std::string> keepPath;    // --keep: the names of the inputs' API
  bool hide = false;                      // --hide
  bool localize = false;                  // --localize
  bool clashes = false;                   // --clashes
  bool dryRun = false;                    // --dry-run: judge everything, write nothing
  InputRegistry inputs;
};

// Parses the arguments after the program name. Operands are registered as
// they are met and --help and --version end the parse where they stand, so
// errors come in argument order: kUnknownOption, kMissingValue, the
// registry's, and for the options that take their value only as the next
// word (-g, -p) kFlagWithValue or kValueAttached. A later value of an option
// replaces the earlier one.
Result<Config> ParseArguments(int argc, const char* const* argv);

// Refuses a combination of the vendoring options (--keep, --hide,
// --localize, --clashes) that means nothing: kKeepAlone, kVendorCombined
// (--hide or --localize with a pair option; --clashes with any option that
// writes).
Status CheckVendorOptions(const Config& config);

// The pairs of the run: the list file's, or the one -c/-n pair, which takes
// the same path as a list of one; none for a -p run, which collects its own,
// or a --hide, --localize or --clashes run, which renames nothing.
// Fails with the list reader's faults, kNoOldSymbol, kNoNewSymbol,
// kNameLength (with -g, a name that is empty or too long), kLengthMismatch
// (without it), or for -p kPrefixCombined, kEmptyPrefix, kPrefixWhitespace.
Result<RenameList> GetRunPairs(const Config& config);
