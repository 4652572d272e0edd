#include "driver/messages.h"

#include <cstdio>
#include <cstring>

#include "rename/pair_index.h"

namespace {

void PrintGrowHint() {
  fprintf(stderr, "namepatch: -g lets the string table grow to take this rename\n");
}

}  // namespace

void PrintError(const Error& error) {
  const char* subject = error.subject.c_str();
  const char* detail = error.detail.c_str();
  switch (error.fault) {
    case Fault::kCannotOpen:
      fprintf(stderr, "ERROR: cannot open file '%s'\n", subject);
      return;
    case Fault::kCannotRead:
      fprintf(stderr, "ERROR: cannot read file '%s'\n", subject);
      return;
    case Fault::kNoMemory:
      fprintf(stderr, "ERROR: ins. memory\n");
      return;
    case Fault::kNoDiskSpace:
      fprintf(stderr, "ERROR: ins. disk space\n");
      return;
    case Fault::kChangedWhileRead:
      fprintf(stderr, "ERROR: %s changed while it was read\n", subject);
      return;
    case Fault::kCannotCreate:
      fprintf(stderr, "ERROR: cannot create %s\n", subject);
      return;
    case Fault::kNotElf:
      fprintf(stderr, "LoadElfFile: %s is not an ELF file\n", subject);
      return;
    case Fault::kUnknownElfLayout:
      fprintf(stderr, "LoadElfFile: %s is not an ELF file of a known class and byte order\n",
              subject);
      return;
    case Fault::kCoffImportMember:
      fprintf(stderr,
              "ERROR: %s is a COFF import member (of a Windows import library), whose "
              "names namepatch cannot rename; it renames ELF objects only\n",
              subject);
      return;
    case Fault::kMachOObject:
      fprintf(stderr,
              "ERROR: %s is a Mach-O object, whose names namepatch cannot rename; it "
              "renames ELF objects only\n",
              subject);
      return;
    case Fault::kLlvmBitcode:
      fprintf(stderr,
              "ERROR: %s is LLVM bitcode (an LTO object), whose names namepatch cannot "
              "rename; build it without -flto\n",
              subject);
      return;
    case Fault::kGccLtoSlim:
      fprintf(stderr,
              "ERROR: %s is a GCC LTO object (slim: all its code is GCC's own form), "
              "whose names namepatch cannot rename; build it without -flto\n",
              subject);
      return;
    case Fault::kGccLtoFat:
      fprintf(stderr,
              "ERROR: %s is a GCC LTO object (fat: its LTO code would keep the old "
              "names), whose names namepatch cannot rename; build it without -flto\n",
              subject);
      return;
    case Fault::kDamaged:
      fprintf(stderr, "LoadElfFile: %s is damaged: %s\n", subject, detail);
      return;
    case Fault::kThinArchive:
      fprintf(stderr, "LoadElfFile: %s is a thin archive; rename its member files instead\n",
              subject);
      return;
    case Fault::kFixedIndex:
      fprintf(stderr, "LoadElfFile: %s has a symbol index that cannot be updated\n", subject);
      return;
    case Fault::kRenameClash:
      fprintf(stderr, "ERROR: renaming <%s> would also change <%s> in %s\n", detail,
              error.other.c_str(), subject);
      PrintGrowHint();
      return;
    case Fault::kFixedStringTable:
      fprintf(stderr, "ERROR: .strtab of %s is section 0, which cannot move\n", subject);
      return;
    case Fault::kStringTableNotLast:
      fprintf(stderr,
              "ERROR: the string table of %s is followed by section data, which cannot move\n",
              subject);
      return;
    case Fault::kUnknownOption:
      fprintf(stderr, "WARNING: unknown option '%s'\n", subject);
      return;
    case Fault::kMissingValue:
      fprintf(stderr, "ERROR: option '%s' needs a value\n", subject);
      return;
    case Fault::kInvalidPathname:
      fprintf(stderr, "ERROR: invalid pathname '%s'.\n", subject);
      return;
    case Fault::kDuplicateFilename:
      fprintf(stderr, "ERROR: duplicate filename '%s'.\n", subject);
      return;
    case Fault::kNoOldSymbol:
      fprintf(stderr, "ERROR: set oldsymbol.\n");
      return;
    case Fault::kNoNewSymbol:
      fprintf(stderr, "ERROR: set newsymbol.\n");
      return;
    case Fault::kNameLength:
      fprintf(stderr, "ERROR: a name must be 1 to %zu bytes long, not %s\n", kMaxNameLength,
              detail);
      return;
    case Fault::kLengthMismatch:
      fprintf(stderr, "ERROR: newsymbol's string length must equal oldsymbol's it.\n");
      PrintGrowHint();
      return;
    case Fault::kListLengthMismatch:
      fprintf(stderr,
              "ERROR: newsymbol's string length must equal oldsymbol's it.\n --- %s\n +++ %s\n",
              detail, error.other.c_str());
      PrintGrowHint();
      return;
    case Fault::kListNameTooLong:
      fprintf(stderr, "ERROR: name longer than %zu bytes in list file '%s'\n", kMaxNameLength,
              subject);
      return;
    case Fault::kListNoNewName:
      fprintf(stderr, "ERROR: no new name for '%s' in list file '%s'\n", detail, subject);
      return;
    case Fault::kListEmptyName:
      fprintf(stderr, "ERROR: empty name in list file '%s'\n", subject);
      return;
    case Fault::kListUtf16:
      fprintf(stderr, "ERROR: list file '%s' is UTF-16 text; save it as UTF-8 or ASCII\n", subject);
      return;
    case Fault::kValueAttached:
      fprintf(stderr, "ERROR: write %s and its value as two words: %s %s\n", subject, subject,
              detail);
      return;
    case Fault::kFlagWithValue:
      fprintf(stderr, "ERROR: option '%s' takes no value: write %s alone, not '%s'\n", subject,
              subject, detail);
      return;
    case Fault::kPrefixCombined:
      fprintf(stderr, "ERROR: option '-p' cannot be combined with '%s'\n", detail);
      return;
    case Fault::kEmptyPrefix:
      fprintf(stderr, "ERROR: option '-p' needs a prefix that is not empty\n");
      return;
    case Fault::kPrefixWhitespace:
      fprintf(stderr, "ERROR: the prefix of option '-p' contains whitespace\n");
      return;
    case Fault::kPrefixTooLong:
      fprintf(stderr, "ERROR: the prefix makes <%s> longer than %zu bytes\n", detail,
              kMaxNameLength);
      return;
    case Fault::kKeepAlone:
      fprintf(stderr, "ERROR: option '--keep' needs '-p', '--hide' or '--localize'\n");
      return;
    case Fault::kVendorCombined:
      fprintf(stderr, "ERROR: option '%s' cannot be combined with '%s'\n", subject, detail);
      return;
    case Fault::kKeepNameTooLong:
      fprintf(stderr, "ERROR: name longer than %zu bytes in keep file '%s'\n", kMaxNameLength,
              subject);
      return;
    case Fault::kKeptUndefined:
      fprintf(stderr, "WARNING: kept name '%s' is defined by no input\n", detail);
      return;
    case Fault::kLeftGlobal:
      fprintf(stderr, "NOTE: the symbols of %s stay global: %s\n", subject, detail);
      return;
    case Fault::kNoVisibility:
      fprintf(stderr,
              "NOTE: COFF objects have no visibility, so --hide leaves their symbols as they "
              "are (%s and any other)\n",
              subject);
      return;
  }
}

void PrintClashes(std::span<const Clash> clashes, std::span<const std::string> places) {
  for (const Clash& clash : clashes) {
    fputs(clash.name.c_str(), stdout);
    fputs(clash.withinLibrary ? "\twithin-library" : "\tbetween-inputs", stdout);
    for (uint32_t object : clash.objects) printf("\t%s", places[object].c_str());
    fputc('\n', stdout);
  }
}
void PrintLinkedObjectNote(const std::string& name) {
  fprintf(stderr,
          "namepatch: only .symtab of %s changed; its dynamic symbols, which the linker and the "
          "loader read, keep their old names\n",
          name.c_str());
}

void PrintUnmatchedPair(const char* oldName, const char* newName) {
  fprintf(stderr, "namepatch: dry run: <%s> -> <%s> matches no symbol in any input\n", oldName,
          newName);
}

void PrintPrefixCount(size_t names) {
  fprintf(stderr, "namepatch: dry run: the inputs define %zu name%s that the prefix takes\n", names,
          names == 1 ? "" : "s");
}

void ReportRenames(std::span<const RenameMatch> matches, std::span<const char* const> oldNames,
                   std::span<const char* const> newNames) {
  // The lines are gathered and written a chunk at a time: formatting each on
  // its own cost more than the renames of a heavy list did.
  char chunk[1 << 16];
  size_t used = 0;
  auto append = [&chunk, &used](const char* bytes, size_t size) {
    memcpy(chunk + used, bytes, size);
    used += size;
  };
  for (const RenameMatch& m : matches) {
    const char* oldName = oldNames[m.pair];
    const char* newName = newNames[m.pair];
    const size_t oldLength = strlen(oldName);
    const size_t newLength = strlen(newName);
    const size_t line = oldLength + newLength + 17;
    if (used + line > sizeof chunk) {
      fwrite(chunk, 1, used, stdout);
      used = 0;
    }
    if (line > sizeof chunk) {
      printf("<%s> -> <%s> changed\n", oldName, newName);
      continue;
    }
    append("<", 1);
    append(oldName, oldLength);
    append("> -> <", 6);
    append(newName, newLength);
    append("> changed\n", 10);
  }
  fwrite(chunk, 1, used, stdout);
}
