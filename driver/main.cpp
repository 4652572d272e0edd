// The namepatch command: renames symbols of ELF objects of any class, byte
// order and machine, and of the static libraries that hold them, in place, writing new names of
// the old names' lengths into .strtab and the libraries' symbol indexes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "driver/input_registry.h"
#include "driver/prefix_list.h"
#include "driver/rename_list.h"
#include "elf/archive.h"
#include "elf/elf_image.h"
#include "host/host_file.h"
#include "rename/renamer.h"

namespace {

// The option values, each in a buffer of its own; none until given.
struct RunOptions {
  char* oldSymbol;
  char* newSymbol;
  char* listPath;
  char* outputPath;
  char* prefix;
  bool grow;  // -g: new names of any length, and names inside other names
};

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

// Ends an informational run: status 0 only when standard output took the
// whole text, as a full disk or a closed pipe would otherwise go unseen.
[[noreturn]] void ExitAfterPrinting() {
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "ERROR: cannot write standard output\n");
    exit(1);
  }
  exit(0);
}

char* CopyValue(const char* value) {
  char* copy = strdup(value);
  if (copy == nullptr) {
    fprintf(stderr, "ERROR: ins. memory\n");
    exit(1);
  }
  return copy;
}

// Operands are registered as they are met, so registry errors and unknown
// options are reported in argument order.
RunOptions ParseArguments(int argc, char** argv) {
  RunOptions options{};
  for (int i = 1; i < argc; ++i) {
    char* argument = argv[i];
    if (argument[0] != '-') {
      RegisterInputFile(argument);
      continue;
    }
    if (strcmp(argument, "--help") == 0) {
      fputs(kUsage, stdout);
      for (const char* line : kOptionLines) fputs(line, stdout);
      ExitAfterPrinting();
    }
    if (strcmp(argument, "--version") == 0) {
      fputs("namepatch " NAMEPATCH_VERSION
            "\n"
            "MIT License, Copyright (c) 2026 the namepatch authors\n",
            stdout);
      ExitAfterPrinting();
    }
    char** slot = nullptr;
    switch (argument[1]) {
      // The one option without a value; like the others, it is known by its
      // second character.
      case 'g':
        options.grow = true;
        continue;
      case 'a':
        slot = &options.listPath;
        break;
      case 'c':
        slot = &options.oldSymbol;
        break;
      case 'n':
        slot = &options.newSymbol;
        break;
      case 'o':
        slot = &options.outputPath;
        break;
      case 'p':
        slot = &options.prefix;
        break;
      default:
        fprintf(stderr, "WARNING: unknown option '%s'\n", argument);
        exit(1);
    }
    if (i + 1 == argc) {
      fprintf(stderr, "ERROR: option '%s' needs a value\n", argument);
      exit(1);
    }
    free(*slot);
    *slot = CopyValue(argv[++i]);
  }
  return options;
}

// The pairs of the run: the list file's, or the one -c/-n pair, which takes
// the same path as a list of one.
RenameList CheckMode(const RunOptions& options) {
  RenameList pairs;
  if (options.prefix != nullptr) {
    // A -p run collects its own pairs, so no pair may be given with it.
    for (auto [value, option] :
         {std::pair{options.listPath, "-a"}, std::pair{options.oldSymbol, "-c"},
          std::pair{options.newSymbol, "-n"}}) {
      if (value != nullptr) {
        fprintf(stderr, "ERROR: option '-p' cannot be combined with '%s'\n", option);
        exit(1);
      }
    }
    if (options.prefix[0] == '\0') {
      fprintf(stderr, "ERROR: option '-p' needs a prefix that is not empty\n");
      exit(1);
    }
    // The separators of a list file: the run's pairs could be written as one.
    if (strpbrk(options.prefix, " \t\n\v\f\r") != nullptr) {
      fprintf(stderr, "ERROR: the prefix of option '-p' contains whitespace\n");
      exit(1);
    }
    return pairs;
  }
  if (options.listPath != nullptr) {
    ReadRenameList(options.listPath, options.grow, &pairs);
    return pairs;
  }
  if (options.oldSymbol == nullptr) {
    fprintf(stderr, "ERROR: set oldsymbol.\n");
    exit(1);
  }
  if (options.newSymbol == nullptr) {
    fprintf(stderr, "ERROR: set newsymbol.\n");
    exit(1);
  }
  if (options.grow) {
    for (const char* name : {options.oldSymbol, options.newSymbol}) {
      const size_t length = strlen(name);
      if (length == 0 || length > kMaxNameLength) {
        fprintf(stderr, "ERROR: a name must be 1 to 1023 bytes long, not %zu\n", length);
        exit(1);
      }
    }
  } else if (strlen(options.oldSymbol) != strlen(options.newSymbol)) {
    fprintf(stderr, "ERROR: newsymbol's string length must equal oldsymbol's it.\n");
    fprintf(stderr, "namepatch: -g lets the string table grow to take this rename\n");
    exit(1);
  }
  pairs.oldNames.push_back(options.oldSymbol);
  pairs.newNames.push_back(options.newSymbol);
  return pairs;
}

// What one input's renames come to: the patches of its output, in offset
// order, and the matches of its objects, in file order, to report (an archive
// member without matches has none). Every patch's bytes are a copy made for
// it, which one of the two lists owns.
struct InputRenames {
  std::vector<FilePatch> patches;
  std::vector<std::vector<RenameMatch>> reports;
  std::vector<std::unique_ptr<uint8_t, FileBuffer::Release>> copies;
  std::vector<BytePatch> grown;
};

void AddCopyPatch(InputRenames* renames, uint32_t offset, uint32_t size, uint8_t* copy) {
  renames->copies.emplace_back(copy);
  renames->patches.push_back({offset, size, size, copy});
}

// Keeps the grown patches, which must follow every patch added so far.
void AddGrownPatches(InputRenames* renames, std::vector<BytePatch>&& grown) {
  for (BytePatch& p : grown) {
    renames->patches.push_back(
        {p.offset, p.replaced, static_cast<uint32_t>(p.bytes.size()), p.bytes.data()});
    renames->grown.push_back(std::move(p));
  }
}

// Adds the object's edited .strtab, if any, to the input's patches, and gives
// back its matches; an object of its own takes the grown patches as they are.
std::vector<RenameMatch> AddObjectPatch(InputRenames* renames, uint32_t offset, const ElfImage* elf,
                                        ObjectRenames&& object) {
  if (object.table != nullptr) {
    AddCopyPatch(renames, offset + elf->strtab->sh_offset, elf->strtab->sh_size, object.table);
  }
  AddGrownPatches(renames, std::move(object.grown));
  return std::move(object.matches);
}

// Loads an archive member that is an ELF object where it lies in the
// archive's buffer, naming it path(member) in name for messages. None for a
// member of another kind (text, another object format), which is carried as
// it is; a member that cannot be loaded ends the process with status 1.
ElfImage* LoadMemberObject(const Archive* archive, const ArchiveMember& member, const char* path,
                           std::string* name) {
  uint8_t* bytes = archive->bytes + member.offset;
  if (member.special || member.size < 4 || memcmp(bytes, "\177ELF", 4) != 0) return nullptr;
  name->assign(path).append("(").append(member.name).append(")");
  ElfImage* elf = LoadElfImage(bytes, member.size, name->c_str());
  if (elf == nullptr) exit(1);
  return elf;
}

// Loads every object member where it lies in the archive's buffer and
// renames in it as in an object file; then the symbol index follows what the
// members' renames did, so that the linker still finds them. Once a member
// has grown, the index is rebuilt, since its member offsets move.
InputRenames RenameArchive(Archive* archive, const char* path, const OldNameIndex& index,
                           std::span<const char* const> newNames, bool grow) {
  InputRenames renames;
  std::vector<std::vector<RenameMatch>> memberMatches(archive->members.size());
  std::string name;
  bool grew = false;
  for (size_t m = 0; m < archive->members.size(); ++m) {
    const ArchiveMember& member = archive->members[m];
    ElfImage* elf = LoadMemberObject(archive, member, path, &name);
    if (elf == nullptr) continue;
    ObjectRenames object = RenameObject(elf, name.c_str(), index, newNames, grow);
    if (!object.grown.empty()) {
      grew = true;
      object.grown = GrowMember(archive, member, std::move(object.grown));
    }
    memberMatches[m] = AddObjectPatch(&renames, member.offset, elf, std::move(object));
    // What the renames found is kept apart from the member's view.
    delete elf;
  }
  std::vector<IndexRename> entries = FindIndexRenames(archive, memberMatches, index, newNames);
  // A member without matches reports nothing: only the others are kept.
  for (std::vector<RenameMatch>& matches : memberMatches) {
    if (!matches.empty()) renames.reports.push_back(std::move(matches));
  }
  const auto memberPatches = static_cast<ptrdiff_t>(renames.patches.size());
  if (grew) {
    AddGrownPatches(&renames, RebuildIndexes(archive, entries, renames.grown));
  } else {
    // The index's names are rewritten as one patch per index member, so
    // that thousands of entries cost one write.
    size_t next = 0;
    for (const ArchiveMember& member : archive->members) {
      if (!member.special) continue;
      const uint32_t end = member.offset + member.size;
      while (next < entries.size() && entries[next].nameOffset < member.offset) ++next;
      if (next == entries.size() || entries[next].nameOffset >= end) continue;
      auto* copy = static_cast<uint8_t*>(malloc(member.size));
      if (copy == nullptr) {
        fprintf(stderr, "ERROR: ins. memory\n");
        exit(1);
      }
      memcpy(copy, archive->bytes + member.offset, member.size);
      for (; next < entries.size() && entries[next].nameOffset < end; ++next) {
        const char* newName = entries[next].newName;
        memcpy(copy + (entries[next].nameOffset - member.offset), newName, strlen(newName));
      }
      if (memcmp(copy, archive->bytes + member.offset, member.size) == 0) {
        free(copy);
        continue;
      }
      AddCopyPatch(&renames, member.offset, member.size, copy);
    }
  }
  // The members' patches and the index's are each in offset order already.
  std::inplace_merge(renames.patches.begin(), renames.patches.begin() + memberPatches,
                     renames.patches.end(),
                     [](const FilePatch& a, const FilePatch& b) { return a.offset < b.offset; });
  return renames;
}

// Reads the input into buffer, which the next input reuses, and loads it as
// a library or an object, holding it open in source. One that cannot be read
// or loaded ends the process with status 1.
void LoadInput(InputFile* input, InputSource* source, FileBuffer* buffer) {
  if (ReadInputFile(input->fullPath, source, buffer)) {
    uint8_t* bytes = buffer->bytes.get();
    if (IsArchive(bytes, source->length)) {
      input->archive = LoadArchive(input->fullPath, bytes, source->length);
    } else {
      input->elfImage = LoadElfImage(bytes, source->length, input->fullPath);
    }
  }
  if (input->elfImage == nullptr && input->archive == nullptr) {
    // The reader or the loader has said why. An input has always been read
    // a second time before its load was judged, so a file that cannot be
    // opened or read is reported twice; scripts that match the messages keep
    // seeing that.
    uint32_t length;
    free(ReadWholeFile(input->fullPath, &length));
    exit(1);
  }
}

// The first pass of a -p run: every input is read and the names its objects
// define are collected, so that a name one input defines is renamed in all of
// them. It stops the run at an input that cannot be read or loaded, or at a
// name the prefix makes too long, before anything is written: a list built
// from some of the inputs would rename the others' uses of their names
// differently.
void CollectPrefixList(const char* prefix, PrefixList* list, FileBuffer* buffer) {
  list->prefix = prefix;
  std::string name;
  for (uint32_t i = 0; i < gInputFiles.count; ++i) {
    InputFile* input = &gInputFiles.entries[i];
    InputSource source{};
    LoadInput(input, &source, buffer);
    CloseInputFile(&source);
    if (const Archive* archive = input->archive) {
      for (const ArchiveMember& member : archive->members) {
        ElfImage* elf = LoadMemberObject(archive, member, input->fullPath, &name);
        if (elf == nullptr) continue;
        CollectDefinedNames(elf, list);
        delete elf;
      }
    } else {
      CollectDefinedNames(input->elfImage, list);
    }
    delete input->elfImage;
    delete input->archive;
    input->elfImage = nullptr;
    input->archive = nullptr;
  }
  if (const char* overlong = FindOverlongPrefixedName(*list)) {
    fprintf(stderr, "ERROR: the prefix makes <%s> longer than 1023 bytes\n", overlong);
    exit(1);
  }
}

// The input is read into buffer, which the next input reuses, and held open
// until its output is written, which copies it through the same open file.
void ProcessInput(InputFile* input, const RunOptions& options, const RenameList& pairs,
                  const OldNameIndex& index, FileBuffer* buffer) {
  InputSource source{};
  LoadInput(input, &source, buffer);

  std::span<const char* const> newNames(pairs.newNames);
  InputRenames renames;
  if (input->archive != nullptr) {
    renames = RenameArchive(input->archive, input->fullPath, index, newNames, options.grow);
  } else {
    const ElfImage* elf = input->elfImage;
    renames.reports.push_back(AddObjectPatch(
        &renames, 0, elf, RenameObject(elf, input->fullPath, index, newNames, options.grow)));
  }

  // In place, an input that its renames leave as it was is not written at
  // all, so its inode, times and links stay; whether it could have been is
  // still judged, so a run stops where it would have.
  char* outputPath = options.outputPath ? options.outputPath : input->fullPath;
  if (options.outputPath == nullptr && renames.patches.empty()) {
    CloseInputFile(&source);
    if (!CanOpenOutputFile(outputPath)) {
      fprintf(stderr, "ERROR: cannot create %s\n", outputPath);
      exit(1);
    }
  } else {
    OutputFile* output = OpenOutputFile(outputPath);
    if (output == nullptr) {
      fprintf(stderr, "ERROR: cannot create %s\n", outputPath);
      exit(1);
    }
    WritePatchedFile(output, &source, input->fullPath, renames.patches, buffer);
    delete output;
  }
  // Reported once the output stands, so no line claims a change that a
  // failing write took back.
  for (const std::vector<RenameMatch>& matches : renames.reports) {
    ReportRenames(matches, pairs.oldNames, newNames);
  }

  // A finished input is released, so that a run over a large tree holds one
  // input at a time.
  delete input->elfImage;
  delete input->archive;
  input->elfImage = nullptr;
  input->archive = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return 1;
  }
  RunOptions options = ParseArguments(argc, argv);
  RenameList pairs = CheckMode(options);
  FileBuffer buffer;
  PrefixList prefixList;
  if (options.prefix != nullptr) {
    CollectPrefixList(options.prefix, &prefixList, &buffer);
    pairs = std::move(prefixList.pairs);
    // A prefix always makes names longer.
    options.grow = true;
  }
  // The pairs are the same for every input, and so is their index.
  OldNameIndex index = IndexOldNames(pairs.oldNames);
  index.nonLocalOnly = options.prefix != nullptr;
  for (uint32_t i = 0; i < gInputFiles.count; ++i) {
    ProcessInput(&gInputFiles.entries[i], options, pairs, index, &buffer);
  }
  return 0;
}
