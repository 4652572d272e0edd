// Which object format an input or archive member holds, told by its first
// bytes, so that the run renames ELF objects and refuses, by name, objects of
// a format it cannot rename instead of carrying them through unrenamed.
#pragma once

#include <cstdint>

enum class ObjectFormat : uint8_t {
  kNone,         // no object format known here: text, data, anything else
  kElf,          // the ELF magic; the loader judges the rest
  kCoff,         // a COFF object, in the plain or the bigobj header
  kCoffImport,   // a short import member of a Windows import library
  kMachO,        // a Mach-O file, thin (32 or 64 bits, either byte order) or fat
  kLlvmBitcode,  // LLVM bitcode, raw or in its wrapper header
};

// Reads at most the length bytes at bytes. COFF has no magic, so it is
// recognised only by a known machine and a header whose tables lie inside
// the bytes; a text or data member is never taken for an object.
ObjectFormat IdentifyObjectFormat(const uint8_t* bytes, uint32_t length);
