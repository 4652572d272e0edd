// Loads objects from bytes the way the tool reads them, through a file of a
// scratch directory read whole into a buffer of its own, and releases every
// image loaded when it goes. A refusal is printed as the tool prints it.
#pragma once

#include <cstdint>
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

  // Writes bytes to x.o of the scratch directory and loads it; none when the
  // reader or the loader refuses, after its message.
  ElfImage* Load(const std::string& bytes);
  // Reads the file at path whole, as the tool reads an input, and loads it
  // under its rewritten path; none after the message of a refusal.
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
