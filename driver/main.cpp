// The namepatch command: renames symbols of ELF objects of any class, byte
// order and machine, and of the static libraries that hold them. Only here do
// errors become messages and exit statuses.
#include <cstdio>
#include <new>
#include <utility>
#include <vector>

#include "driver/config.h"
#include "driver/messages.h"
#include "driver/prefix_list.h"
#include "driver/run.h"
#include "rename/pair_index.h"

namespace {

const char kUsage[] =
    "usage: namepatch [-c old_symbol][-n new_symbol][-a list_file][-o output_elfname]"
    "[elf_files ...] \n";

// The lines of --help, one per option; a new option adds its line here.
const char* const kOptionLines[] = {
    "  -c old_symbol       the symbol name to replace\n",
    "  -n new_symbol       its new name, of the same length in bytes (any length with -g)\n",
    "  -a list_file        take the old/new pairs from list_file; -c and -n are then ignored\n",
    "  -p prefix           rename each name the inputs define to prefix + name; imports stay\n",
    "  -o output_elfname   write every input to this one path instead of over itself\n",
    "  -g                  let .strtab grow: new names of any length, names inside others\n",
    "  --help              print this help and exit\n",
    "  --version           print the version and exit\n",
};

void PrintUsage() {
  fprintf(stderr, "Velkorin kVQ Relabeler (Build " __DATE__ " " __TIME__ ")\n");
  fprintf(stderr, "namepatch " NAMEPATCH_VERSION
                  ": renames symbols of ELF objects and archives in place.\n\n");
  fprintf(stderr, "%s", kUsage);
}

// The status of an informational run: 0 only when standard output took the
// whole text, as a full disk or a closed pipe would otherwise go unseen.
int StatusAfterPrinting() {
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "ERROR: cannot write standard output\n");
    return 1;
  }
  return 0;
}

int Run(int argc, char** argv) {
  Result<Config> config = ParseArguments(argc, argv);
  if (!config) {
    PrintError(config.error());
    return 1;
  }
  if (config->action == Config::Action::kHelp) {
    fputs(kUsage, stdout);
    for (const char* line : kOptionLines) fputs(line, stdout);
    return StatusAfterPrinting();
  }
  if (config->action == Config::Action::kVersion) {
    fputs("namepatch " NAMEPATCH_VERSION
          "\n"
          "MIT License, Copyright (c) 2026 the namepatch authors\n",
          stdout);
    return StatusAfterPrinting();
  }
  Result<RenameList> pairs = GetRunPairs(*config);
  if (!pairs) {
    PrintError(pairs.error());
    return 1;
  }
  FileBuffer buffer;
  PrefixList prefixList;
  std::vector<FileStamp> collectedStamps;
  if (config->prefix) {
    prefixList.prefix = *config->prefix;
    if (Status collected = CollectPrefixList(*config, &prefixList, &collectedStamps, buffer);
        !collected) {
      PrintError(collected.error());
      return 1;
    }
    *pairs = std::move(prefixList.pairs);
  }
  // The pairs are the same for every input, and so is their index.
  OldNameIndex index = IndexOldNames(pairs->oldNames);
  index.nonLocalOnly = config->prefix.has_value();
  const std::vector<std::string>& paths = config->inputs.paths;
  for (size_t i = 0; i < paths.size(); ++i) {
    // A -p run reads each input twice; its names must be the ones collected.
    const FileStamp* collected = config->prefix ? &collectedStamps[i] : nullptr;
    if (Status done = ProcessInput(paths[i], *config, *pairs, index, collected, buffer); !done) {
      PrintError(done.error());
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return 1;
  }
  // Memory that runs out anywhere ends the run here, every owner released on
  // the way, an output's temporary file among them.
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    PrintError(Error{Fault::kNoMemory});
    return 1;
  }
}
