#include "driver/run.h"

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_writer.h"
#include "driver/messages.h"
#include "elf/elf_image.h"
#include "elf/elf_writer.h"

namespace {

// An input read and loaded, as a library or an object, and held open until
// its output is written.
struct LoadedInput {
  InputSource source;
  std::optional<Archive> archive;
  std::optional<ElfImage> elf;
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
    Result<ElfImage> elf = LoadElfImage(bytes, length, path);
    if (!elf) return std::move(elf.error());
    input.elf = *elf;
  }
  return input;
}

// Whether member is an ELF object, to be renamed where it lies in the
// library; any other member (text, another object format) is carried as it
// is.
bool IsObjectMember(const Archive& archive, const ArchiveMember& member) {
  return !member.special && IsElfObject(archive.bytes + member.offset, member.size);
}

// Loads an object member where it lies, named path(member) in errors.
Result<ElfImage> LoadMemberObject(const Archive& archive, const ArchiveMember& member,
                                  const std::string& path) {
  return LoadElfImage(archive.bytes + member.offset, member.size, path + "(" + member.name + ")");
}

// What one input's renames come to: the patches of its output, in offset
// order, and the matches of its objects, in file order, to report (a member
// without matches has none).
struct InputRenames {
  std::vector<BytePatch> patches;
  std::vector<std::vector<RenameMatch>> reports;
};

// Renames every object member as an object of its own; then the symbol index
// follows what the members' renames did, so that the linker still finds them.
// Once a member has grown, the index is rebuilt, since its member offsets
// move.
Result<InputRenames> RenameArchive(const Archive& archive, const std::string& path,
                                   const OldNameIndex& index, std::span<const char* const> newNames,
                                   bool grow) {
  InputRenames renames;
  std::vector<std::vector<RenameMatch>> memberMatches(archive.members.size());
  bool grew = false;
  for (size_t m = 0; m < archive.members.size(); ++m) {
    const ArchiveMember& member = archive.members[m];
    if (!IsObjectMember(archive, member)) continue;
    Result<ElfImage> elf = LoadMemberObject(archive, member, path);
    if (!elf) return std::move(elf.error());
    Result<ObjectRenames> object =
        RenameElfObject(*elf, path + "(" + member.name + ")", index, newNames, grow);
    if (!object) return std::move(object.error());
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
                         FileBuffer& buffer) {
  auto collect = [list](const ElfImage& elf) {
    if (elf.symtab)
      VisitElfSymbols(elf, [list](const auto& symbols) { CollectDefinedNames(symbols, list); });
  };
  for (const std::string& path : config.inputs.paths) {
    Result<LoadedInput> input = LoadInput(path, buffer);
    if (!input) return std::move(input.error());
    stamps->push_back(input->source.stamp);
    if (input->elf) {
      collect(*input->elf);
      continue;
    }
    const Archive& archive = *input->archive;
    for (const ArchiveMember& member : archive.members) {
      if (!IsObjectMember(archive, member)) continue;
      Result<ElfImage> elf = LoadMemberObject(archive, member, path);
      if (!elf) return std::move(elf.error());
      collect(*elf);
    }
  }
  if (const char* overlong = FindOverlongPrefixedName(*list)) {
    return Error{Fault::kPrefixTooLong, "", overlong};
  }
  return {};
}

Status ProcessInput(const std::string& path, const Config& config, const RenameList& pairs,
                    const OldNameIndex& index, const FileStamp* collected, FileBuffer& buffer) {
  const std::span<const char* const> newNames(pairs.newNames);
  const bool grow = config.grow || config.prefix.has_value();
  // An input replaced in place is locked until its output stands, so that a
  // run replacing it at the same time waits for this one. Inputs left as
  // they were, most of a tree, are never locked.
  FileLock lock;
  std::optional<LoadedInput> input;
  InputRenames renames;
  for (;;) {
    Result<LoadedInput> loaded = LoadInput(path, buffer);
    if (!loaded) return std::move(loaded.error());
    input.emplace(std::move(*loaded));
    if (collected && input->source.stamp != *collected) {
      return Error{Fault::kChangedWhileRead, NormalizeHostPath(path)};
    }
    if (input->archive) {
      Result<InputRenames> archive = RenameArchive(*input->archive, path, index, newNames, grow);
      if (!archive) return std::move(archive.error());
      renames = std::move(*archive);
    } else {
      Result<ObjectRenames> object = RenameElfObject(*input->elf, path, index, newNames, grow);
      if (!object) return std::move(object.error());
      renames.patches = std::move(object->patches);
      renames.reports = {};
      renames.reports.push_back(std::move(object->matches));
    }
    if (config.outputPath || renames.patches.empty()) break;
    // Else a run this one waited for has replaced the file: its result is
    // renamed.
    if (LockForReplacement(path, input->source, &lock)) break;
  }

  const std::string& outputPath = config.outputPath ? *config.outputPath : path;
  if (!config.outputPath && renames.patches.empty()) {
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
  }
  return {};
}
