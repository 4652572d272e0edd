#include "tests/support/loaded_images.h"

#include <filesystem>

#include "driver/messages.h"

namespace testelf {

std::optional<ElfImage> LoadOrPrint(const uint8_t* image, uint32_t length,
                                    const std::string& name) {
  Result<ElfImage> elf = LoadElfImage(image, length, name);
  if (!elf) PrintError(elf.error());
  return elf ? std::optional<ElfImage>(*elf) : std::nullopt;
}

ElfImage* LoadedImages::Load(const std::string& bytes) {
  // A new file each time: truncating a file that was just written makes the
  // file system flush it, which is slow over thousands of loads.
  std::filesystem::remove(path_);
  dir_.Write("x.o", bytes);
  return LoadFile(path_);
}

ElfImage* LoadedImages::LoadFile(const std::string& path) {
  auto loaded = std::make_unique<Loaded>();
  Result<InputSource> input = ReadInputFile(path, loaded->buffer);
  if (!input) PrintError(input.error());
  std::optional<ElfImage> elf =
      input ? LoadOrPrint(loaded->buffer.bytes.get(), input->length, NormalizeHostPath(path))
            : std::nullopt;
  if (!elf) return nullptr;
  loaded->elf = *elf;
  images_.push_back(std::move(loaded));
  return &images_.back()->elf;
}

}  // namespace testelf
