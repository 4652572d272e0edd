// Loads objects from bytes the way the tool reads them, through a file of a
// scratch directory, and releases every image loaded when it goes.
#pragma once

#include <string>
#include <vector>

#include "elf/elf_image.h"
#include "tests/support/cli.h"

namespace testelf {

class LoadedImages {
 public:
  LoadedImages() = default;
  ~LoadedImages();
  LoadedImages(const LoadedImages&) = delete;
  LoadedImages& operator=(const LoadedImages&) = delete;

  // Writes bytes to x.o of the scratch directory and loads it; none when the
  // loader refuses, after its message.
  ElfImage* Load(const std::string& bytes);
  // Releases the image loaded last, so that long sweeps hold one at a time.
  void ReleaseLast();

  // The path that Load reads, as the loader's messages show it.
  const std::string& path() const { return path_; }
  const testcli::ScratchDir& dir() const { return dir_; }

 private:
  testcli::ScratchDir dir_;
  std::string path_ = dir_ / "x.o";
  std::vector<ElfImage*> images_;
};

}  // namespace testelf
