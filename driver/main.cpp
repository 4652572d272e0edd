// The namepatch command: renames symbols of big-endian PowerPC ELF32 objects
// in place, writing new names of the old names' lengths into .strtab.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "driver/input_registry.h"
#include "driver/rename_list.h"
#include "elf/elf_image.h"
#include "elf/host_file.h"
#include "rename/renamer.h"

namespace {

// The option values, each in a buffer of its own; none until given.
struct RunOptions {
  char* oldSymbol;
  char* newSymbol;
  char* listPath;
  char* outputPath;
};

void PrintUsage() {
  fprintf(stderr, "Velkorin kVQ Relabeler (Build " __DATE__ " " __TIME__ ")\n");
  fprintf(stderr,
          "namepatch " NAMEPATCH_VERSION
          ": renames symbols of big-endian PowerPC ELF32 objects and archives in place.\n\n");
  fprintf(stderr,
          "usage: namepatch [-c old_symbol][-n new_symbol][-a list_file][-o output_elfname]"
          "[elf_files ...] \n");
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
    char** slot = nullptr;
    switch (argument[1]) {
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
  if (options.listPath != nullptr) {
    ReadRenameList(options.listPath, &pairs);
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
  if (strlen(options.oldSymbol) != strlen(options.newSymbol)) {
    fprintf(stderr, "ERROR: newsymbol's string length must equal oldsymbol's it.\n");
    exit(1);
  }
  pairs.oldNames.push_back(options.oldSymbol);
  pairs.newNames.push_back(options.newSymbol);
  return pairs;
}

// Writes the input's own bytes, copied from the file once more, with the
// edited table in place of .strtab's region. The copy streams through a small
// buffer, so a large object is never held twice, and nothing is written twice,
// so the output need not be seekable.
void WriteOutput(OutputFile* output, char* inputPath, const ElfImage* elf, const uint8_t* table) {
  FILE* input = OpenHostFile(inputPath, "rb");
  if (input == nullptr) {
    fprintf(stderr, "ERROR: cannot open file '%s'\n", inputPath);
    exit(1);
  }
  if (table == nullptr) {
    CopyChecked(output->stream, input, elf->length, inputPath);
  } else {
    uint32_t offset = elf->strtabHeader->sh_offset;
    uint32_t size = elf->strtabHeader->sh_size;
    CopyChecked(output->stream, input, offset, inputPath);
    WriteChecked(output->stream, table, size);
    if (fseek(input, static_cast<long>(offset) + static_cast<long>(size), SEEK_SET) != 0) {
      fprintf(stderr, "ERROR: cannot read file '%s'\n", inputPath);
      exit(1);
    }
    CopyChecked(output->stream, input, elf->length - offset - size, inputPath);
  }
  // The table's place was checked against the loaded file only.
  if (fgetc(input) != EOF) {
    fprintf(stderr, "ERROR: %s changed while it was read\n", inputPath);
    exit(1);
  }
  fclose(input);
  CommitOutputFile(output);
}

void ProcessInput(InputFile* input, const RunOptions& options, const RenameList& pairs) {
  input->elfImage = LoadElfFile(input->fullPath);
  if (input->elfImage == nullptr) {
    // The loader has said why. An input has always been read a second time
    // before its load was judged, so a file that cannot be opened or read is
    // reported twice; scripts that match the messages keep seeing that.
    uint32_t length;
    free(ReadWholeFile(input->fullPath, &length));
    exit(1);
  }
  const ElfImage* elf = input->elfImage;
  char* outputPath = options.outputPath ? options.outputPath : input->fullPath;

  // Without both tables there is no name to change, and the object is written
  // out as it is.
  bool hasNames = elf->symtabHeader != nullptr && elf->strtabHeader != nullptr;
  std::span<const char* const> oldNames(pairs.oldNames);
  std::span<const char* const> newNames(pairs.newNames);
  std::vector<RenameMatch> matches;
  if (hasNames) {
    matches = FindRenames(elf, oldNames);
    RenameClash clash = FindRenameClash(elf, matches, oldNames, newNames);
    if (clash.victim != nullptr) {
      fprintf(stderr, "ERROR: renaming <%s> would also change <%s> in %s\n", clash.writerOld,
              clash.victim, input->fullPath);
      exit(1);
    }
  }

  OutputFile* output = OpenOutputFile(outputPath, elf->length);
  if (output == nullptr) {
    fprintf(stderr, "ERROR: cannot create %s\n", outputPath);
    exit(1);
  }
  uint8_t* table = nullptr;
  if (hasNames) {
    table = CopyStringTable(elf);
    WriteRenames(table, matches, oldNames, newNames);
  }
  WriteOutput(output, input->fullPath, elf, table);
  // Reported once the output stands, so no line claims a change that a
  // failing write took back.
  ReportRenames(matches, oldNames, newNames);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return 1;
  }
  RunOptions options = ParseArguments(argc, argv);
  RenameList pairs = CheckMode(options);
  for (uint32_t i = 0; i < gInputFiles.count; ++i) {
    ProcessInput(&gInputFiles.entries[i], options, pairs);
  }
  return 0;
}
