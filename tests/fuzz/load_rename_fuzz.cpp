// Feeds arbitrary bytes through what a run does with one input: load and
// check it, then find, judge and apply renames of names the object itself
// holds. Besides the sanitizers' own findings it aborts when the renamer's
// promises break: list mode must write what pair-by-pair renaming writes, and
// a clash must be reported exactly when a name would change unasked. An
// archive is walked as the driver walks it: each object member loaded where it
// lies and checked as an object, and the index renames kept inside the index.
// With growth, a grown object or archive must load again, every symbol read
// the name asked, and every index entry name the same member.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_writer.h"
#include "coff/coff_image.h"
#include "coff/coff_symbols.h"
#include "coff/coff_writer.h"
#include "driver/object_format.h"
#include "elf/elf_image.h"
#include "elf/elf_writer.h"
#include "host/host_file.h"
#include "tests/support/elf_reference.h"

namespace {

// An object is read from a file, as the tool reads its inputs, so each input
// goes through one file, in memory where the system offers it.
std::string gInputPath;

void RemoveInputFile() { unlink(gInputPath.c_str()); }

void Require(bool holds, const char* what) {
  if (holds) return;
  fprintf(stderr, "broken promise: %s\n", what);
  abort();
}

// Pairs built from the object's own names, so that renames really match:
// one name reversed (its tail changes), one with a new first byte (its tail
// stays), the same old name again with yet another new name (the later one
// wins), and the empty name, which matches names that point at a zero byte.
// For growth, in turn a name reversed, made longer and made shorter, and the
// empty name given a name.
struct Pairs {
  std::vector<std::string> storage;
  std::vector<const char*> oldNames;
  std::vector<const char*> newNames;
};

Pairs MakePairs(const std::vector<std::string>& names, bool grow = false) {
  Pairs pairs;
  pairs.storage.reserve(2 * names.size() + 4);
  auto add = [&pairs](std::string oldName, std::string newName) {
    pairs.storage.push_back(std::move(oldName));
    pairs.oldNames.push_back(pairs.storage.back().c_str());
    pairs.storage.push_back(std::move(newName));
    pairs.newNames.push_back(pairs.storage.back().c_str());
  };
  for (size_t k = 0; k < names.size(); ++k) {
    std::string changed = names[k];
    const std::string grown[] = {
        {changed.rbegin(), changed.rend()}, changed + "_grown", changed.substr(1)};
    if (grow) {
      changed = grown[k % 3];
    } else if (k == 0) {
      changed.assign(names[k].rbegin(), names[k].rend());
    } else {
      changed[0] = changed[0] == 'Q' ? 'R' : 'Q';
    }
    add(names[k], changed);
  }
  if (!names.empty() && !grow) add(names[0], std::string(names[0].size(), 'z'));
  add("", grow ? "empty" : "");
  return pairs;
}

// The original names of the symbols, and of the sections whose names lie in
// .strtab's region, that read otherwise in table than the renames ask: a
// symbol its last matching pair's new name or its own, a section its own.
std::vector<const char*> ChangedNames(const ElfImage* elf, const uint8_t* table,
                                      std::span<const RenameMatch> matches,
                                      std::span<const char* const> newNames) {
  const ElfSection* strtab = &*elf->strtab;
  std::vector<const char*> changed;
  std::vector<const char*> expected(GetSymbolCount(elf), nullptr);
  for (const RenameMatch& m : matches) expected[m.symbol] = newNames[m.pair];
  for (uint32_t i = 0; i < expected.size(); ++i) {
    uint32_t offset = GetSymbolNameOffset(elf, i);
    if (offset == 0) continue;
    const char* name = GetSymbolName(elf, offset);
    const char* want = expected[i] ? expected[i] : name;
    size_t length = strlen(want);
    Require(offset + length < strtab->sh_size, "a renamed name stays inside .strtab");
    if (memcmp(table + offset, want, length + 1) != 0) changed.push_back(name);
  }
  if (!elf->sectionNames) return changed;
  const ElfSection* names = &*elf->sectionNames;
  for (uint32_t i = 0; i < GetSectionCount(elf); ++i) {
    uint32_t nameOffset = GetSectionNameOffset(elf, i);
    const char* name = GetSectionName(elf, nameOffset);
    if (name == nullptr) continue;
    uint64_t begin = uint64_t{names->sh_offset} + nameOffset;
    uint64_t end = begin + strlen(name) + 1;
    for (uint64_t at = begin; at < end; ++at) {
      if (at < strtab->sh_offset || at - strtab->sh_offset >= strtab->sh_size) continue;
      if (table[at - strtab->sh_offset] != elf->image[at]) {
        changed.push_back(name);
        break;
      }
    }
  }
  return changed;
}

bool SameName(const char* a, const char* b) { return a == b || (a && b && strcmp(a, b) == 0); }

// The input with patches, which must lie in order inside it.
std::string ApplyPatches(const uint8_t* bytes, uint32_t length,
                         std::span<const BytePatch> patches) {
  std::string out;
  uint32_t at = 0;
  for (const BytePatch& p : patches) {
    Require(p.offset >= at && p.replaced <= length - p.offset, "patches lie in order inside");
    out.append(reinterpret_cast<const char*>(bytes) + at, p.offset - at);
    out.append(p.bytes.begin(), p.bytes.end());
    at = p.offset + p.replaced;
  }
  return out.append(reinterpret_cast<const char*>(bytes) + at, length - at);
}

// Grows elf with pairs, if the renames need it: the result must load and
// give every symbol the name asked, and keep every section name.
std::vector<BytePatch> CheckGrowth(const ElfImage* elf, const Pairs& pairs) {
  if (!elf->strtab || elf->strtab->index == 0) return {};  // the latter refused
  OldNameIndex index = IndexOldNames(pairs.oldNames);
  Result<ObjectRenames> renames = RenameObject(elf, "fuzz", index, pairs.newNames, true);
  Require(static_cast<bool>(renames), "growth takes every rename");
  if (!renames->grew) return {};
  std::string out = ApplyPatches(elf->image, elf->length, renames->patches);
  Result<ElfImage> loaded = LoadElfImage(reinterpret_cast<const uint8_t*>(out.data()),
                                         static_cast<uint32_t>(out.size()), "grown");
  Require(loaded && loaded->symbolCount == elf->symbolCount, "a grown object loads");
  const ElfImage* grown = &*loaded;
  std::vector<const char*> expected(GetSymbolCount(elf), nullptr);
  for (const RenameMatch& m : renames->matches) expected[m.symbol] = pairs.newNames[m.pair];
  for (uint32_t i = 0; i < expected.size(); ++i) {
    const char* name = GetSymbolName(grown, GetSymbolNameOffset(grown, i));
    const char* want = expected[i] ? expected[i] : GetSymbolName(elf, GetSymbolNameOffset(elf, i));
    Require(SameName(name, want), "grown names read as asked");
  }
  for (uint32_t i = 0; i < GetSectionCount(elf); ++i) {
    const char* name = GetSectionName(grown, GetSectionNameOffset(grown, i));
    const char* was = GetSectionName(elf, GetSectionNameOffset(elf, i));
    Require(SameName(name, was), "section names stay");
  }
  return std::move(renames->patches);
}

std::vector<std::string> SymbolNames(const ElfImage* elf) {
  std::vector<std::string> names;
  uint32_t count = GetSymbolCount(elf);
  for (uint32_t i = 0; i < count && names.size() < 3; ++i) {
    const char* name = GetSymbolName(elf, GetSymbolNameOffset(elf, i));
    if (name != nullptr && *name != '\0') names.emplace_back(name);
  }
  return names;
}

void CheckRenames(const ElfImage* elf) {
  Pairs pairs = MakePairs(SymbolNames(elf));
  std::span<const char* const> oldNames(pairs.oldNames);
  std::span<const char* const> newNames(pairs.newNames);
  std::vector<RenameMatch> matches = FindRenames(elf, IndexOldNames(oldNames));
  RenameClash clash = FindRenameClash(elf, matches, oldNames, newNames);
  Require((clash.victim == nullptr) == (clash.writerOld == nullptr),
          "a clash names both the writer and the victim");

  std::unique_ptr<uint8_t[]> listed = CopyStringTable(elf);
  WriteRenames(listed.get(), matches, oldNames, newNames);
  std::unique_ptr<uint8_t[]> pairwise = CopyStringTable(elf);
  for (size_t k = 0; k < oldNames.size(); ++k) {
    RenameSymbol(elf, pairwise.get(), oldNames[k], newNames[k]);
  }
  uint32_t size = elf->strtab->sh_size;
  Require(memcmp(listed.get(), pairwise.get(), size) == 0,
          "list mode writes what pair by pair writes");

  // The oracle: every name that reads otherwise than asked, judged on the
  // written table. A clash must be reported exactly when there is one, and
  // must name one of them.
  std::vector<const char*> changed = ChangedNames(elf, listed.get(), matches, newNames);
  Require(changed.empty() == (clash.victim == nullptr),
          "a clash is reported exactly when a name would change unasked");
  if (clash.victim != nullptr) {
    bool named = false;
    for (const char* name : changed) named = named || strcmp(name, clash.victim) == 0;
    Require(named, "the clash names a name that would change");
  }

  // The writer's own pass in place: refused exactly on a clash, otherwise
  // list mode's table as one patch, or none when no byte changes.
  Result<ObjectRenames> inPlace =
      RenameObject(elf, "fuzz", IndexOldNames(oldNames), newNames, false);
  Require(!inPlace == (clash.victim != nullptr), "the writer refuses exactly a clash");
  if (!inPlace) return;
  const bool same = memcmp(listed.get(), elf->image + elf->strtab->sh_offset, size) == 0;
  Require(!inPlace->grew && inPlace->patches.size() == (same ? 0u : 1u),
          "renames in place patch .strtab alone");
  for (const BytePatch& p : inPlace->patches)
    Require(p.offset == elf->strtab->sh_offset && p.replaced == size &&
                memcmp(p.bytes.data(), listed.get(), size) == 0,
            "the writer writes what list mode writes");
}

// Each symbol record's name; none for entries carrying a section's name,
// which a rename changes besides its own matches.
using CoffSymbolNameList = std::vector<std::optional<std::string>>;
CoffSymbolNameList CoffSymbolNames(const CoffNames& names) {
  CoffSymbolNameList read;
  for (uint32_t e = 0; e < names.symbolEntries; ++e) {
    const CoffEntry& entry = names.entries[e];
    if (entry.kind == CoffEntryKind::kSymbol && entry.offset != 0)
      read.emplace_back(reinterpret_cast<const char*>(names.bytes.data()) + entry.offset);
    else
      read.emplace_back();
  }
  return read;
}

// Renames a COFF object's own names in place and with growth: the output
// loads with every symbol reading its new name or its own.
void CheckCoff(const uint8_t* bytes, uint32_t length) {
  Result<CoffImage> coff = LoadCoffImage(bytes, length, gInputPath);
  if (!coff) return;
  const CoffSymbolNameList before = CoffSymbolNames(ListCoffNames(*coff));
  std::vector<std::string> some;
  for (const auto& name : before)
    if (name && !name->empty() && some.size() < 3) some.push_back(*name);
  for (bool grow : {false, true}) {
    Pairs pairs = MakePairs(some, grow);
    const OldNameIndex index = IndexOldNames(pairs.oldNames);
    Result<ObjectRenames> renames = RenameCoffObject(*coff, "fuzz", index, pairs.newNames, grow);
    if (!renames) {
      const Fault fault = renames.error().fault;
      Require(grow ? fault == Fault::kStringTableNotLast || fault == Fault::kNoMemory
                   : fault == Fault::kRenameClash,
              "a COFF rename is refused only as a clash or a table that cannot grow");
      continue;
    }
    Require(grow || !renames->grew, "in place keeps the length");
    std::string out = ApplyPatches(bytes, length, renames->patches);
    Result<CoffImage> again = LoadCoffImage(reinterpret_cast<const uint8_t*>(out.data()),
                                            static_cast<uint32_t>(out.size()), "renamed");
    Require(static_cast<bool>(again), "a renamed COFF object loads");
    CoffSymbolNameList expected = before;
    for (const RenameMatch& m : renames->matches) expected[m.symbol] = pairs.newNames[m.pair];
    const CoffSymbolNameList read = CoffSymbolNames(ListCoffNames(*again));
    Require(read.size() == expected.size(), "a renamed COFF object keeps its symbols");
    for (size_t i = 0; i < read.size(); ++i) {
      Require(!read[i] || !expected[i] || *read[i] == *expected[i] ||
                  (expected[i]->empty() && before[i] && before[i]->empty()),
              "COFF names read as asked");
    }
  }
}

// Checks bytes as the driver takes them: a COFF object, or an ELF object,
// told by its magic alone, loaded and judged and renamed; the latter is given.
std::optional<ElfImage> CheckObject(const uint8_t* bytes, uint32_t size) {
  const ObjectFormat format = IdentifyObjectFormat(bytes, size);
  if (format == ObjectFormat::kCoff) CheckCoff(bytes, size);
  Require((format == ObjectFormat::kElf) == IsElfObject(bytes, size), "ELF is told by its magic");
  if (format != ObjectFormat::kElf) return std::nullopt;
  Result<ElfImage> elf = LoadElfImage(bytes, size, gInputPath);
  if (!elf) return std::nullopt;
  Require(FindGccLto(*elf) != GccLto::kSlim || elf->symtab, "only an object with symbols is slim");
  static_cast<void>(IsLinkedElf(*elf));
  if (elf->symtab && elf->strtab) CheckRenames(&*elf);
  return *elf;
}

// Grows archive's members as the driver does: the result must load with
// the same members and index entries, each entry naming the same member.
void CheckArchiveGrowth(const Archive& archive, const Pairs& pairs) {
  OldNameIndex index = IndexOldNames(pairs.oldNames);
  std::vector<std::vector<RenameMatch>> memberMatches(archive.members.size());
  std::vector<BytePatch> patches;
  for (size_t m = 0; m < archive.members.size(); ++m) {
    const ArchiveMember& member = archive.members[m];
    const uint8_t* bytes = archive.bytes + member.offset;
    if (member.special || member.size < 4 || memcmp(bytes, "\177ELF", 4) != 0) continue;
    Result<ElfImage> elf = LoadElfImage(bytes, member.size, gInputPath);
    if (!elf) return;  // the driver stops the run here
    if (elf->symtab && elf->strtab) memberMatches[m] = FindRenames(*elf, index);
    std::vector<BytePatch> grown = CheckGrowth(&*elf, pairs);
    if (!grown.empty())
      std::ranges::move(GrowMember(archive, member, std::move(grown)), std::back_inserter(patches));
  }
  if (patches.empty()) return;
  std::vector<BytePatch> rebuilt = RebuildIndexes(
      archive, FindIndexRenames(archive, memberMatches, index, pairs.newNames), patches);
  patches.insert(patches.end(), rebuilt.begin(), rebuilt.end());
  std::stable_sort(patches.begin(), patches.end(),
                   [](const BytePatch& a, const BytePatch& b) { return a.offset < b.offset; });
  std::string out = ApplyPatches(archive.bytes, archive.length, patches);
  Result<Archive> grown = LoadArchive("grown", reinterpret_cast<const uint8_t*>(out.data()),
                                      static_cast<uint32_t>(out.size()));
  Require(grown && grown->members.size() == archive.members.size() &&
              grown->symbols.size() == archive.symbols.size(),
          "a grown archive loads with its members and index");
  for (size_t k = 0; k < grown->symbols.size(); ++k)
    Require(grown->symbols[k].member == archive.symbols[k].member, "index entries follow moves");
}

// Loads each object member of archive in place and checks it as an object,
// then renames the index as the driver does, with pairs made from the index's
// own names: every renamed entry must lie inside an index member, in offset
// order as the driver patches them, and keep its name's length; an index
// patched in place keeps its place.
void CheckArchive(const Archive& archive) {
  std::vector<std::string> names;
  for (size_t i = 0; i < archive.symbols.size() && names.size() < 3; ++i) {
    const char* name = reinterpret_cast<const char*>(archive.bytes + archive.symbols[i].nameOffset);
    if (*name != '\0') names.emplace_back(name);
  }
  Pairs pairs = MakePairs(names);
  std::span<const char* const> newNames(pairs.newNames);
  OldNameIndex index = IndexOldNames(pairs.oldNames);
  std::vector<std::vector<RenameMatch>> memberMatches(archive.members.size());
  for (size_t m = 0; m < archive.members.size(); ++m) {
    const ArchiveMember& member = archive.members[m];
    if (member.special) continue;
    std::optional<ElfImage> elf = CheckObject(archive.bytes + member.offset, member.size);
    if (elf && elf->symtab && elf->strtab) memberMatches[m] = FindRenames(*elf, index);
  }
  CheckArchiveGrowth(archive, MakePairs(names, true));
  const std::vector<IndexRename> entries =
      FindIndexRenames(archive, memberMatches, index, newNames);
  uint32_t previous = 0;
  for (const IndexRename& entry : entries) {
    Require(entry.nameOffset >= previous, "index renames come in offset order");
    previous = entry.nameOffset;
    bool inside = false;
    for (const ArchiveMember& member : archive.members) {
      if (!member.special || member.name == "//" || entry.nameOffset < member.offset) continue;
      const uint32_t end = member.offset + member.size;
      const size_t length = strlen(entry.newName);
      inside = inside || (entry.nameOffset < end && length < end - entry.nameOffset &&
                          archive.bytes[entry.nameOffset + length] == '\0' &&
                          memchr(archive.bytes + entry.nameOffset, 0, length) == nullptr);
    }
    Require(inside, "a renamed index entry keeps its name's length inside the index");
  }
  for (const BytePatch& p : PatchIndexesInPlace(archive, entries))
    Require(p.bytes.size() == p.replaced && p.replaced <= archive.length - p.offset,
            "an index patched in place keeps its place");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
  gInputPath = std::string(dir ? dir : "/tmp") + "/namepatch-fuzz-" + std::to_string(getpid());
  atexit(RemoveInputFile);
  // Report lines would only slow the run down.
  Require(freopen("/dev/null", "w", stdout) != nullptr, "stdout can be silenced");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (IsArchive(data, static_cast<uint32_t>(size))) {
    // A copy of exactly the input's size, so that a read past it is caught.
    auto bytes = std::make_unique<uint8_t[]>(size);
    memcpy(bytes.get(), data, size);
    Result<Archive> archive = LoadArchive(gInputPath, bytes.get(), static_cast<uint32_t>(size));
    if (archive) CheckArchive(*archive);
    return 0;
  }
  FILE* file = fopen(gInputPath.c_str(), "wb");
  Require(file != nullptr, "the input file can be written");
  Require(size == 0 || fwrite(data, size, 1, file) == 1, "the input file can be written");
  Require(fclose(file) == 0, "the input file can be written");

  // A buffer of the file's size and a zero, so that a read past them is caught.
  FileBuffer buffer;
  Result<InputSource> input = ReadInputFile(gInputPath, buffer);
  if (!input) return 0;
  std::optional<ElfImage> elf = CheckObject(buffer.bytes.get(), input->length);
  if (elf && elf->symtab && elf->strtab) CheckGrowth(&*elf, MakePairs(SymbolNames(&*elf), true));
  return 0;
}
