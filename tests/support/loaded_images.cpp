#include "tests/support/loaded_images.h"

#include <filesystem>

namespace testelf {

LoadedImages::~LoadedImages() {
  while (!images_.empty()) ReleaseLast();
}

ElfImage* LoadedImages::Load(const std::string& bytes) {
  // A new file each time: truncating a file that was just written makes the
  // file system flush it, which is slow over thousands of loads.
  std::filesystem::remove(path_);
  dir_.Write("x.o", bytes);
  std::string path = path_;
  ElfImage* elf = LoadElfFile(path.data());
  if (elf != nullptr) images_.push_back(elf);
  return elf;
}

void LoadedImages::ReleaseLast() {
  FreeElfFile(images_.back());
  images_.pop_back();
}

}  // namespace testelf
