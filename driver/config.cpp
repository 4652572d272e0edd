#include "driver/config.h"

#include <cstring>

#include "host/host_file.h"

Status RegisterInputFile(std::string_view operand, InputRegistry* registry) {
  const std::string path = NormalizeHostPath(operand);
  std::optional<std::string> full = ResolveFullPath(path);
  if (!full) return Error{Fault::kInvalidPathname, path};
  if (!registry->seen.insert(*full).second) return Error{Fault::kDuplicateFilename, path};
  registry->paths.push_back(std::move(*full));
  return {};
}

Result<Config> ParseArguments(int argc, const char* const* argv) {
  Config config;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-') {
      if (Status registered = RegisterInputFile(argument, &config.inputs); !registered) {
        return std::move(registered.error());
      }
      continue;
    }
    if (strcmp(argument, "--help") == 0 || strcmp(argument, "--version") == 0) {
      config.action = argument[2] == 'h' ? Config::Action::kHelp : Config::Action::kVersion;
      return config;
    }
    if (argument[1] == '-') {
      // Long options, each known by its whole word; the value of --keep is
      // the next word.
      if (strcmp(argument, "--keep") == 0) {
        if (i + 1 == argc) return Error{Fault::kMissingValue, argument};
        config.keepPath = argv[++i];
        continue;
      }
      bool* flag = strcmp(argument, "--dry-run") == 0    ? &config.dryRun
                   : strcmp(argument, "--hide") == 0     ? &config.hide
                   : strcmp(argument, "--localize") == 0 ? &config.localize
                   : strcmp(argument, "--clashes") == 0  ? &config.clashes
                                                         : nullptr;
      if (flag == nullptr) return Error{Fault::kUnknownOption, argument};
      *flag = true;
      continue;
    }
    // The described options keep reading only their second character
    // (-cfoo is -c); newer ones take nothing after their letter, so that
    // -pacme_ is never -p with the next word as its prefix.
    if (argument[1] != '\0' && argument[2] != '\0') {
      if (argument[1] == 'g') return Error{Fault::kFlagWithValue, "-g", argument};
      if (argument[1] == 'p') return Error{Fault::kValueAttached, "-p", argument + 2};
    }
    std::optional<std::string>* slot = nullptr;
    switch (argument[1]) {
      // The one option without a value; like the others, it is known by its
      // second character.
      case 'g':
        config.grow = true;
        continue;
      case 'a':
        slot = &config.listPath;
        break;
      case 'c':
        slot = &config.oldSymbol;
        break;
      case 'n':
        slot = &config.newSymbol;
        break;
      case 'o':
        slot = &config.outputPath;
        break;
      case 'p':
        slot = &config.prefix;
        break;
      default:
        return Error{Fault::kUnknownOption, argument};
    }
    if (i + 1 == argc) return Error{Fault::kMissingValue, argument};
    *slot = argv[++i];
  }
  if (config.outputPath) config.outputPath = NormalizeHostPath(*config.outputPath);
  return config;
}

Status CheckVendorOptions(const Config& config) {
  const std::pair<bool, const char*> writers[] = {
      {config.listPath.has_value(), "-a"},     {config.oldSymbol.has_value(), "-c"},
      {config.newSymbol.has_value(), "-n"},    {config.prefix.has_value(), "-p"},
      {config.outputPath.has_value(), "-o"},   {config.grow, "-g"},
      {config.keepPath.has_value(), "--keep"}, {config.hide, "--hide"},
      {config.localize, "--localize"}};
  if (config.clashes) {
    for (auto [given, option] : writers) {
      if (given) return Error{Fault::kVendorCombined, "--clashes", option};
    }
  }
  // Hiding and localizing follow what the inputs define, as -p does; pairs
  // from elsewhere would rename names the edits no longer know by.
  for (auto [given, option] : {std::pair{config.hide, "--hide"}, {config.localize, "--localize"}}) {
    if (!given) continue;
    for (size_t w = 0; w < 3; ++w) {
      if (writers[w].first) return Error{Fault::kVendorCombined, option, writers[w].second};
    }
  }
  if (config.keepPath && !config.prefix && !config.hide && !config.localize) {
    return Error{Fault::kKeepAlone};
  }
  return {};
}

Result<RenameList> GetRunPairs(const Config& config) {
  RenameList pairs;
  if (!config.prefix && (config.hide || config.localize || config.clashes)) return pairs;
  if (config.prefix) {
    // A -p run collects its own pairs, so no pair may be given with it.
    for (auto [value, option] :
         {std::pair{&config.listPath, "-a"}, std::pair{&config.oldSymbol, "-c"},
          std::pair{&config.newSymbol, "-n"}}) {
      if (*value) return Error{Fault::kPrefixCombined, "", option};
    }
    if (config.prefix->empty()) return Error{Fault::kEmptyPrefix};
    // The separators of a list file: the run's pairs could be written as one.
    if (config.prefix->find_first_of(" \t\n\v\f\r") != std::string::npos) {
      return Error{Fault::kPrefixWhitespace};
    }
    return pairs;
  }
  if (config.listPath) return ReadRenameList(*config.listPath, config.grow);
  if (!config.oldSymbol) return Error{Fault::kNoOldSymbol};
  if (!config.newSymbol) return Error{Fault::kNoNewSymbol};
  // Names end at their first zero byte, as any C string from the command
  // line does.
  const char* oldName = config.oldSymbol->c_str();
  const char* newName = config.newSymbol->c_str();
  if (config.grow) {
    for (const char* name : {oldName, newName}) {
      const size_t length = strlen(name);
      if (length == 0 || length > kMaxNameLength) {
        return Error{Fault::kNameLength, "", std::to_string(length)};
      }
    }
  } else if (strlen(oldName) != strlen(newName)) {
    return Error{Fault::kLengthMismatch};
  }
  pairs.oldNames.push_back(oldName);
  pairs.newNames.push_back(newName);
  return pairs;
}
