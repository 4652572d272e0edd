// Loads objects from bytes the way the tool reads them, through a file of a
// scratch directory read whole into a buffer of its own, and releases every
// image loaded when it goes. A refusal is printed as the tool prints it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "elf/elf_image.h"
#include "host/host_file.h"
#include "tests/support/cli.h"

namespace testelf {

// LoadElfImage, with a refusal printed by the driver's PrintError.
std::optional<ElfImage> LoadOrPrint(const uint8_t* image, uint32_t length, const std::string& name);

class LoadedImages {
 public:
  LoadedImages() = default;
  LoadedImages(const LoadedImages&) = delete;
  LoadedImages& operator=(const LoadedImages&) = delete;

  // Load writes bytes to x.o of the scratch directory and loads that;
  // LoadFile loads path under its rewritten form. None after a refusal's
  // message.
  ElfImage* Load(const std::string& bytes);
  ElfImage* LoadFile(const std::string& path);
  // Releases the image loaded last, so that long sweeps hold one at a time.
  void ReleaseLast() { images_.pop_back(); }

  // The path that Load reads, as the loader's messages show it.
  const std::string& path() const { return path_; }
  const testcli::ScratchDir& dir() const { return dir_; }

 private:
  // An image and the bytes it views.
  struct Loaded {
    FileBuffer buffer;
    ElfImage elf;
  };

  testcli::ScratchDir dir_;
  std::string path_ = dir_ / "x.o";
  std::vector<std::unique_ptr<Loaded>> images_;
};

}  // namespace testelf
