// The namepatch command: renames symbols of ELF objects of any class, byte
// order and machine, and of the static libraries that hold them. Only here do
// errors become messages and exit statuses.
#include <cstdio>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "driver/config.h"
#include "driver/keep_list.h"
#include "driver/messages.h"
#include "driver/prefix_list.h"
#include "driver/run.h"
#include "rename/pair_index.h"

namespace {

const char kUsage[] =
    "usage: namepatch [-c old_symbol][-n new_symbol][-a list_file][-o output_elfname]"
    "[elf_files ...] \n";

// The lines of --help after kUsage, the usage that the run without arguments
// prints: every form with every option, then one line per option; a new
// option adds itself here.
const char* const kOptionLines[] = {
    ("   or: namepatch [-g][-c old_symbol][-n new_symbol][-a list_file][-o output_elfname]"
     "[--dry-run][elf_files ...]\n"),
    ("   or: namepatch [-p prefix][--keep keep_file][--hide][--localize][-o output_elfname]"
     "[--dry-run][elf_files ...]\n"),
    "   or: namepatch --clashes [elf_files ...]\n",
    "   or: namepatch --help | --version\n",
    "  -c old_symbol       the symbol name to replace\n",
    "  -n new_symbol       its new name, of the same length in bytes (any length with -g)\n",
    "  -a list_file        take the old/new pairs from list_file; -c and -n are then ignored\n",
    "  -p prefix           rename each name the inputs define to prefix + name; imports stay\n",
    "  -o output_elfname   write every input to this one path instead of over itself\n",
    "  -g                  let .strtab grow: new names of any length, names inside others\n",
    "  --keep FILE         with -p, --hide, --localize: leave the names in FILE as they are\n",
    "  --hide              give every name the inputs define hidden visibility\n",
    "  --localize          make local every defined name that no other input object uses\n",
    "  --clashes           list the names defined strongly in more than one place; write nothing\n",
    "  --dry-run           read and judge everything, report as the run would, write nothing\n",
    "  --help              print this help and exit\n",
    "  --version           print the version and exit\n",
    "inputs: ELF and COFF objects (.o, .obj) and libraries of them (.a, .lib)\n",
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

// A --clashes run: one line per clash on standard output; 1 when there is
// any, 0 when none, and 2 when an input cannot be read, so that a script can
// tell the three apart.
int RunClashes(const Config& config) {
  FileBuffer buffer;
  ClashCensus census;
  if (Status collected = CollectClashes(config, &census, buffer); !collected) {
    PrintError(collected.error());
    return 2;
  }
  const std::vector<Clash> clashes = ListClashes(census);
  PrintClashes(clashes, census.places);
  if (StatusAfterPrinting() != 0) return 2;
  return clashes.empty() ? 0 : 1;
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
  if (Status checked = CheckVendorOptions(*config); !checked) {
    PrintError(checked.error());
    return 1;
  }
  if (config->clashes) return RunClashes(*config);
  Result<RenameList> pairs = GetRunPairs(*config);
  if (!pairs) {
    PrintError(pairs.error());
    return 1;
  }
  std::optional<KeepList> keep;
  if (config->keepPath) {
    Result<KeepList> read = ReadKeepList(*config->keepPath);
    if (!read) {
      PrintError(read.error());
      return 1;
    }
    keep = std::move(*read);
  }
  KeepList* kept = keep ? &*keep : nullptr;
  VendorPlan plan{kept, config->hide, config->localize, {}};
  const bool editing = config->hide || config->localize;
  FileBuffer buffer;
  PrefixList prefixList;
  std::vector<FileStamp> collectedStamps;
  if (config->prefix || editing) {
    if (config->prefix) prefixList.prefix = *config->prefix;
    prefixList.keep = kept;
    if (Status collected = CollectPrefixList(*config, config->prefix ? &prefixList : nullptr,
                                             &collectedStamps, buffer, editing ? &plan : nullptr);
        !collected) {
      PrintError(collected.error());
      return 1;
    }
    if (config->prefix) *pairs = std::move(prefixList.pairs);
  }
  // A kept name that nothing defines is most likely misspelt.
  for (size_t k = 0; kept != nullptr && k < kept->store.size(); ++k) {
    if (!kept->defined.contains(kept->store[k])) {
      PrintError(Error{Fault::kKeptUndefined, "", kept->store[k]});
    }
  }
  VendorEdits edits{editing ? &plan : nullptr, 0};
  std::vector<bool> matchedPairs(pairs->oldNames.size());
  // The pairs are the same for every input, and so is their index.
  OldNameIndex index = IndexOldNames(pairs->oldNames);
  index.nonLocalOnly = config->prefix.has_value();
  const std::vector<std::string>& paths = config->inputs.paths;
  for (size_t i = 0; i < paths.size(); ++i) {
    // A run that read each input before reads it twice; its names must be
    // the ones collected.
    const FileStamp* collected = collectedStamps.empty() ? nullptr : &collectedStamps[i];
    if (Status done = ProcessInput(paths[i], *config, *pairs, index, collected, buffer, &edits,
                                   &matchedPairs);
        !done) {
      PrintError(done.error());
      return 1;
    }
  }
  if (config->dryRun) {
    for (size_t i = 0; i < matchedPairs.size(); ++i) {
      if (!matchedPairs[i]) PrintUnmatchedPair(pairs->oldNames[i], pairs->newNames[i]);
    }
    if (config->prefix) PrintPrefixCount(pairs->oldNames.size());
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
