#include "driver/run.h"

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_writer.h"
#include "coff/coff_image.h"
#include "coff/coff_symbols.h"
#include "coff/coff_writer.h"
#include "driver/messages.h"
#include "elf/elf_image.h"
#include "elf/elf_symbol_edit.h"
#include "elf/elf_writer.h"

namespace {

// An object of either format, loaded where it lies.
struct LoadedObject {
  std::optional<ElfImage> elf;
  std::optional<CoffImage> coff;
};

// Which format an object is, by its magic: COFF objects have none of their
// own, so a header of a known machine tells them; anything else is loaded
// as ELF, which names what it is not.
Result<LoadedObject> LoadObject(const uint8_t* bytes, uint32_t length, const std::string& name) {
  if (IsCoffObject(bytes, length)) {
    Result<CoffImage> coff = LoadCoffImage(bytes, length, name);
    if (!coff) return std::move(coff.error());
    return LoadedObject{{}, *coff};
  }
  Result<ElfImage> elf = LoadElfImage(bytes, length, name);
  if (!elf) return std::move(elf.error());
  return LoadedObject{*elf, {}};
}

// An input read and loaded, as a library or an object, and held open until
// its output is written.
struct LoadedInput {
  InputSource source;
  std::optional<Archive> archive;
  LoadedObject object;
};

Result<LoadedInput> LoadInput(const std::string& path, FileBuffer& buffer) {
  Result<InputSource> source = ReadInputFile(path, buffer);
  if (!source) {
    // The input used to be read a second time before its load was judged, so
    // a file that cannot be opened or read is reported twice; scripts that
    // match the messages keep seeing that.
    PrintError(source.error());
    return std::move(source.error());
  }
  LoadedInput input{std::move(*source), {}, {}};
  const uint8_t* bytes = buffer.bytes.get();
  const uint32_t length = input.source.length;
  if (IsArchive(bytes, length)) {
    Result<Archive> archive = LoadArchive(path, bytes, length);
    if (!archive) return std::move(archive.error());
    input.archive = std::move(*archive);
  } else {
    Result<LoadedObject> object = LoadObject(bytes, length, path);
    if (!object) return std::move(object.error());
    input.object = *object;
  }
  return input;
}

// Whether member is an ELF or COFF object, to be renamed where it lies in
// the library; any other member (text, an import member, another object
// format) is carried as it is.
bool IsObjectMember(const Archive& archive, const ArchiveMember& member) {
  const uint8_t* bytes = archive.bytes + member.offset;
  return !member.special && (IsElfObject(bytes, member.size) || IsCoffObject(bytes, member.size));
}

// What messages call a member: path(member).
std::string NameMember(const std::string& path, const ArchiveMember& member) {
  return path + "(" + member.name + ")";
}

// Loads an object member where it lies, named name in errors.
Result<LoadedObject> LoadMemberObject(const Archive& archive, const ArchiveMember& member,
                                      const std::string& name) {
  return LoadObject(archive.bytes + member.offset, member.size, name);
}

Result<ObjectRenames> RenameObject(const LoadedObject& object, const std::string& name,
                                   const OldNameIndex& index, std::span<const char* const> newNames,
                                   bool grow) {
  if (object.coff) return RenameCoffObject(*object.coff, name, index, newNames, grow);
  return RenameElfObject(*object.elf, name, index, newNames, grow);
}

// Calls visit with the symbols of object, COFF section entries left out;
// not for an ELF object without .symtab.
template <class Visit>
void VisitObjectSymbols(const LoadedObject& object, Visit&& visit) {
  if (object.coff) {
    const CoffNames names = ListCoffNames(*object.coff);
    VisitCoffSymbols(*object.coff, names, false, visit);
  } else {
    VisitElfSymbols(*object.elf, visit);
  }
}

bool HasSymbols(const LoadedObject& object) {
  return object.coff ? object.coff->symbolCount != 0 : object.elf->symtab.has_value();
}

// What one input's renames come to: the patches of its output, in offset
// order, and the matches of its objects, in file order, to report (a member
// without matches has none).
struct InputRenames {
  std::vector<BytePatch> patches;
  std::vector<std::vector<RenameMatch>> reports;
};

// Applies to object, named name, the edits that its renames are to carry;
// none without a plan.
void EditObject(const LoadedObject& loaded, const std::string& name, VendorEdits* edits,
                ObjectRenames* object) {
  const uint32_t number = edits->nextObject++;
  if (edits->plan == nullptr || !HasSymbols(loaded)) return;
  if (loaded.coff) {
    const CoffNames names = ListCoffNames(*loaded.coff);
    const std::vector<uint8_t> wanted =
        VisitCoffSymbols(*loaded.coff, names, false, [&](const auto& symbols) {
          return PlanSymbolEdits(symbols, number, *edits->plan, kEditHide, kEditLocalize);
        });
    LocalizeCoffSymbols(*loaded.coff, names, wanted, kEditLocalize, object);
    return;
  }
  const ElfImage& elf = *loaded.elf;
  const std::vector<uint8_t> wanted = VisitElfSymbols(elf, [&](const auto& symbols) {
    return PlanSymbolEdits(symbols, number, *edits->plan, kEditHide, kEditLocalize);
  });
  const std::string why = EditElfSymbols(elf, wanted, object);
  if (!why.empty()) PrintError(Error{Fault::kLeftGlobal, name, why});
}

// Calls visit(elf, input, member) for every object of the inputs, in order:
// member is none for an input that is an object.
template <class Visit>
Status VisitInputObjects(const Config& config, FileBuffer& buffer, Visit&& visit) {
  for (uint32_t i = 0; i < config.inputs.paths.size(); ++i) {
    const std::string& path = config.inputs.paths[i];
    Result<LoadedInput> input = LoadInput(path, buffer);
    if (!input) return std::move(input.error());
    if (!input->archive) {
      visit(input->object, i, nullptr);
      continue;
    }
    const Archive& archive = *input->archive;
    for (const ArchiveMember& member : archive.members) {
      if (!IsObjectMember(archive, member)) continue;
      Result<LoadedObject> object = LoadMemberObject(archive, member, NameMember(path, member));
      if (!object) return std::move(object.error());
      visit(*object, i, &member);
    }
  }
  return {};
}

// Renames every object member as an object of its own; then the symbol index
// follows what the members' renames did, so that the linker still finds them.
// Once a member has grown, the index is rebuilt, since its member offsets
// move.
Result<InputRenames> RenameArchive(const Archive& archive, const std::string& path,
                                   const OldNameIndex& index, std::span<const char* const> newNames,
                                   bool grow, VendorEdits* edits) {
  InputRenames renames;
  std::vector<std::vector<RenameMatch>> memberMatches(archive.members.size());
  bool grew = false;
  for (size_t m = 0; m < archive.members.size(); ++m) {
    const ArchiveMember& member = archive.members[m];
    if (!IsObjectMember(archive, member)) continue;
    const std::string name = NameMember(path, member);
    Result<LoadedObject> loaded = LoadMemberObject(archive, member, name);
    if (!loaded) return std::move(loaded.error());
    Result<ObjectRenames> object = RenameObject(*loaded, name, index, newNames, grow);
    if (!object) return std::move(object.error());
    EditObject(*loaded, name, edits, &*object);
    if (object->grew) {
      grew = true;
      object->patches = GrowMember(archive, member, std::move(object->patches));
    } else {
      for (BytePatch& p : object->patches) p.offset += member.offset;
    }
    std::move(object->patches.begin(), object->patches.end(), std::back_inserter(renames.patches));
    memberMatches[m] = std::move(object->matches);
  }
  const std::vector<IndexRename> entries =
      FindIndexRenames(archive, memberMatches, index, newNames);
  for (std::vector<RenameMatch>& matches : memberMatches) {
    if (!matches.empty()) renames.reports.push_back(std::move(matches));
  }
  std::vector<BytePatch> indexPatches = grew ? RebuildIndexes(archive, entries, renames.patches)
                                             : PatchIndexesInPlace(archive, entries);
  // The members' patches and the index's are each in offset order already.
  const auto memberPatches = static_cast<ptrdiff_t>(renames.patches.size());
  std::move(indexPatches.begin(), indexPatches.end(), std::back_inserter(renames.patches));
  std::inplace_merge(renames.patches.begin(), renames.patches.begin() + memberPatches,
                     renames.patches.end(),
                     [](const BytePatch& a, const BytePatch& b) { return a.offset < b.offset; });
  return renames;
}

}  // namespace

Status CollectPrefixList(const Config& config, PrefixList* list, FileBuffer& buffer,
                         VendorPlan* plan) {
  uint32_t object = 0;
  Status visited =
      VisitInputObjects(config, buffer, [&](const LoadedObject& loaded, uint32_t, auto) {
        const uint32_t number = object++;
        if (!HasSymbols(loaded)) return;
        VisitObjectSymbols(loaded, [&](const auto& symbols) {
          if (list != nullptr) CollectDefinedNames(symbols, list);
          if (plan != nullptr) CountNames(symbols, number, plan);
        });
      });
  if (!visited) return visited;
  if (list == nullptr) return {};
  if (const char* overlong = FindOverlongPrefixedName(*list)) {
    return Error{Fault::kPrefixTooLong, "", overlong};
  }
  return {};
}

Status CollectClashes(const Config& config, ClashCensus* census, FileBuffer& buffer) {
  return VisitInputObjects(
      config, buffer, [&](const LoadedObject& loaded, uint32_t input, const ArchiveMember* member) {
        const uint32_t number = static_cast<uint32_t>(census->places.size());
        const std::string& path = config.inputs.paths[input];
        census->places.push_back(member ? path + "(" + member->name + ")" : path);
        census->inputOf.push_back(input);
        census->inLibrary.push_back(member != nullptr);
        if (HasSymbols(loaded)) {
          VisitObjectSymbols(loaded, [&](const auto& symbols) {
            CountStrongDefinitions(symbols, number, census);
          });
        }
      });
}

Status ProcessInput(const std::string& path, const Config& config, const RenameList& pairs,
                    const OldNameIndex& index, FileBuffer& buffer, VendorEdits* edits) {
  Result<LoadedInput> input = LoadInput(path, buffer);
  if (!input) return std::move(input.error());
  const std::span<const char* const> newNames(pairs.newNames);
  const bool grow = config.grow || config.prefix.has_value();
  InputRenames renames;
  if (input->archive) {
    Result<InputRenames> archive =
        RenameArchive(*input->archive, path, index, newNames, grow, edits);
    if (!archive) return std::move(archive.error());
    renames = std::move(*archive);
  } else {
    Result<ObjectRenames> object = RenameObject(input->object, path, index, newNames, grow);
    if (!object) return std::move(object.error());
    EditObject(input->object, path, edits, &*object);
    renames.patches = std::move(object->patches);
    renames.reports.push_back(std::move(object->matches));
  }

  const std::string& outputPath = config.outputPath ? *config.outputPath : path;
  if (!config.outputPath && renames.patches.empty()) {
    input->source.stream.reset();
    if (!CanOpenOutputFile(outputPath)) return Error{Fault::kCannotCreate, outputPath};
  } else {
    Result<OutputFile> output = OpenOutputFile(outputPath);
    if (!output) return std::move(output.error());
    Status written = WritePatchedFile(*output, input->source, path, renames.patches, buffer);
    if (!written) return written;
  }
  // Reported once the output stands, so no line claims a change that a
  // failing write took back.
  for (const std::vector<RenameMatch>& matches : renames.reports) {
    ReportRenames(matches, pairs.oldNames, newNames);
  }
  return {};
}
