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
#include "driver/object_format.h"
#include "elf/elf_image.h"
#include "elf/elf_symbol_edit.h"
#include "elf/elf_writer.h"

namespace {

// An object of either format namepatch renames, loaded where it lies.
struct LoadedObject {
  std::optional<ElfImage> elf;
  std::optional<CoffImage> coff;
};

// An input read and loaded, as a library or an object, and held open until
// its output is written.
struct LoadedInput {
  InputSource source;
  std::optional<Archive> archive;
  LoadedObject object;
};

// The refusal of an object of a format that namepatch recognises but cannot
// rename, named name; none for ELF and for bytes of no known format.
std::optional<Error> RefuseForeignObject(ObjectFormat format, const std::string& name) {
  switch (format) {
    case ObjectFormat::kCoffImport:
      return Error{Fault::kCoffImportMember, name};
    case ObjectFormat::kMachO:
      return Error{Fault::kMachOObject, name};
    case ObjectFormat::kLlvmBitcode:
      return Error{Fault::kLlvmBitcode, name};
    case ObjectFormat::kElf:
    case ObjectFormat::kCoff:
    case ObjectFormat::kNone:
      break;
  }
  return std::nullopt;
}

// Loads the ELF or COFF object in bytes, named name in errors. An object of
// another format, or one whose code GCC keeps in LTO sections too, is refused
// by what it is: renaming it would report changes that the linker never sees.
Result<LoadedObject> LoadObject(const uint8_t* bytes, uint32_t length, ObjectFormat format,
                                const std::string& name) {
  if (std::optional<Error> refusal = RefuseForeignObject(format, name)) return std::move(*refusal);
  if (format == ObjectFormat::kCoff) {
    Result<CoffImage> coff = LoadCoffImage(bytes, length, name);
    if (!coff) return std::move(coff.error());
    return LoadedObject{{}, *coff};
  }
  Result<ElfImage> elf = LoadElfImage(bytes, length, name);
  if (!elf) return std::move(elf.error());
  switch (FindGccLto(*elf)) {
    case GccLto::kSlim:
      return Error{Fault::kGccLtoSlim, name};
    case GccLto::kFat:
      return Error{Fault::kGccLtoFat, name};
    case GccLto::kNone:
      break;
  }
  return LoadedObject{*elf, {}};
}

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
    Result<LoadedObject> object =
        LoadObject(bytes, length, IdentifyObjectFormat(bytes, length), path);
    if (!object) return std::move(object.error());
    input.object = *object;
  }
  return input;
}

// What a member holds: none for the index, the long-name table, a member
// that holds no object (text, data) and a short import member, which are
// carried as they are: renaming an import member would change what is
// imported from its DLL.
ObjectFormat IdentifyMember(const Archive& archive, const ArchiveMember& member) {
  if (member.special) return ObjectFormat::kNone;
  const ObjectFormat format = IdentifyObjectFormat(archive.bytes + member.offset, member.size);
  return format == ObjectFormat::kCoffImport ? ObjectFormat::kNone : format;
}

// What messages call a member: path(member).
std::string NameMember(const std::string& path, const ArchiveMember& member) {
  return path + "(" + member.name + ")";
}

// Loads an object member of format where it lies, named name in errors.
Result<LoadedObject> LoadMemberObject(const Archive& archive, const ArchiveMember& member,
                                      ObjectFormat format, const std::string& name) {
  return LoadObject(archive.bytes + member.offset, member.size, format, name);
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

// Whether object is a linked ELF object (a shared object or an executable),
// whose dynamic symbols keep their names.
bool IsLinkedObject(const LoadedObject& object) { return object.elf && IsLinkedElf(*object.elf); }

// What one input's renames come to: the patches of its output, in offset
// order, and the matches of its objects, in file order, to report (a member
// without matches has none).
struct InputRenames {
  std::vector<BytePatch> patches;
  std::vector<std::vector<RenameMatch>> reports;
  std::vector<std::string> linkedObjects;  // renamed shared objects and executables
};

// Applies to object, named name, the edits that its renames are to carry;
// none without a plan.
void EditObject(const LoadedObject& loaded, const std::string& name, VendorEdits* edits,
                ObjectRenames* object) {
  const uint32_t number = edits->nextObject++;
  if (edits->plan == nullptr || !HasSymbols(loaded)) return;
  if (loaded.coff) {
    // Said once a run, not once for each of a library's many members.
    if (edits->plan->hide && !edits->notedNoVisibility) {
      edits->notedNoVisibility = true;
      PrintError(Error{Fault::kNoVisibility, name});
    }
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
// member is none for an input that is an object. Each input's stamp, when it
// was read, goes to stamps, if given.
template <class Visit>
Status VisitInputObjects(const Config& config, FileBuffer& buffer, Visit&& visit,
                         std::vector<FileStamp>* stamps = nullptr) {
  for (uint32_t i = 0; i < config.inputs.paths.size(); ++i) {
    const std::string& path = config.inputs.paths[i];
    Result<LoadedInput> input = LoadInput(path, buffer);
    if (!input) return std::move(input.error());
    if (stamps != nullptr) stamps->push_back(input->source.stamp);
    if (!input->archive) {
      visit(input->object, i, nullptr);
      continue;
    }
    const Archive& archive = *input->archive;
    for (const ArchiveMember& member : archive.members) {
      const ObjectFormat format = IdentifyMember(archive, member);
      if (format == ObjectFormat::kNone) continue;
      Result<LoadedObject> object =
          LoadMemberObject(archive, member, format, NameMember(path, member));
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
    const ObjectFormat format = IdentifyMember(archive, member);
    if (format == ObjectFormat::kNone) continue;
    const std::string name = NameMember(path, member);
    Result<LoadedObject> loaded = LoadMemberObject(archive, member, format, name);
    if (!loaded) return std::move(loaded.error());
    Result<ObjectRenames> object = RenameObject(*loaded, name, index, newNames, grow);
    if (!object) return std::move(object.error());
    EditObject(*loaded, name, edits, &*object);
    if (!object->matches.empty() && IsLinkedObject(*loaded)) renames.linkedObjects.push_back(name);
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

Status CollectPrefixList(const Config& config, PrefixList* list, std::vector<FileStamp>* stamps,
                         FileBuffer& buffer, VendorPlan* plan) {
  uint32_t object = 0;
  Status visited = VisitInputObjects(
      config, buffer,
      [&](const LoadedObject& loaded, uint32_t, auto) {
        const uint32_t number = object++;
        if (!HasSymbols(loaded)) return;
        VisitObjectSymbols(loaded, [&](const auto& symbols) {
          if (list != nullptr) CollectDefinedNames(symbols, list);
          if (plan != nullptr) CountNames(symbols, number, plan);
        });
      },
      stamps);
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
                    const OldNameIndex& index, const FileStamp* collected, FileBuffer& buffer,
                    VendorEdits* edits, std::vector<bool>* matchedPairs) {
  const std::span<const char* const> newNames(pairs.newNames);
  const bool grow = config.grow || config.prefix.has_value();
  // An input replaced in place is locked until its output stands, so that a
  // run replacing it at the same time waits for this one. Inputs left as
  // they were, most of a tree, are never locked.
  FileLock lock;
  std::optional<LoadedInput> input;
  InputRenames renames;
  // A retry reads the input again, whose objects the edits number afresh.
  const uint32_t firstObject = edits->nextObject;
  for (;;) {
    Result<LoadedInput> loaded = LoadInput(path, buffer);
    if (!loaded) return std::move(loaded.error());
    input.emplace(std::move(*loaded));
    if (collected && input->source.stamp != *collected) {
      return Error{Fault::kChangedWhileRead, NormalizeHostPath(path)};
    }
    edits->nextObject = firstObject;
    renames = {};
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
      if (!object->matches.empty() && IsLinkedObject(input->object)) {
        renames.linkedObjects.push_back(path);
      }
      renames.reports.push_back(std::move(object->matches));
    }
    if (config.outputPath || config.dryRun || renames.patches.empty()) break;
    // Else a run this one waited for has replaced the file: its result is
    // renamed.
    if (LockForReplacement(path, input->source, &lock)) break;
  }

  const std::string& outputPath = config.outputPath ? *config.outputPath : path;
  // A dry run judges the output as an unchanged input's is judged, making
  // nothing, and writes nothing.
  if (config.dryRun || (!config.outputPath && renames.patches.empty())) {
    input->source.stream.reset();
    if (!CanOpenOutputFile(outputPath)) return Error{Fault::kCannotCreate, outputPath};
  } else {
    Result<OutputFile> output = OpenOutputFile(
        outputPath, config.outputPath ? std::nullopt : std::optional(input->source.stamp));
    if (!output) return std::move(output.error());
    Status written = WritePatchedFile(*output, input->source, path, renames.patches, buffer);
    if (!written) return written;
  }
  // Reported once the output stands, so no line claims a change that a
  // failing write took back.
  for (const std::vector<RenameMatch>& matches : renames.reports) {
    ReportRenames(matches, pairs.oldNames, newNames);
    for (const RenameMatch& m : matches) (*matchedPairs)[m.pair] = true;
  }
  for (const std::string& name : renames.linkedObjects) PrintLinkedObjectNote(name);
  return {};
}
