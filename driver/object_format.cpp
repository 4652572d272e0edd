#include "driver/object_format.h"

#include <cstring>
#include <initializer_list>

namespace {

uint32_t Le16(const uint8_t* p) { return p[0] | uint32_t{p[1]} << 8; }
uint32_t Le32(const uint8_t* p) { return Le16(p) | Le16(p + 2) << 16; }
uint32_t Be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// Whether count records of size bytes starting at offset lie inside length.
bool Inside(uint64_t offset, uint64_t count, uint64_t size, uint32_t length) {
  return offset <= length && count * size <= length - offset;
}

// i386, x86-64, ARM, Thumb, ARMv7 Thumb-2, ARM64 and ARM64EC.
bool IsCoffMachine(uint32_t machine) {
  switch (machine) {
    case 0x14c:
    case 0x8664:
    case 0x1c0:
    case 0x1c2:
    case 0x1c4:
    case 0xaa64:
    case 0xa641:
      return true;
    default:
      return false;
  }
}

constexpr uint32_t kCoffSectionSize = 40;
constexpr uint32_t kCoffSymbolSize = 18;

// The plain header: machine, section count, stamp, symbol table offset and
// count, optional header size, flags.
bool IsPlainCoff(const uint8_t* b, uint32_t length) {
  constexpr uint32_t kHeader = 20;
  if (length < kHeader || !IsCoffMachine(Le16(b))) return false;
  const uint32_t symbolTable = Le32(b + 8);
  return Inside(kHeader + Le16(b + 16), Le16(b + 2), kCoffSectionSize, length) &&
         (symbolTable == 0 ? Le32(b + 12) == 0
                           : Inside(symbolTable, Le32(b + 12), kCoffSymbolSize, length));
}

// Both start with 0, 0xFFFF and a version: 0 for an import member, 2 or more
// for a bigobj object, whose header then names its class.
bool IsCoffImport(const uint8_t* b, uint32_t length) {
  constexpr uint32_t kHeader = 20;
  return length >= kHeader && Le16(b) == 0 && Le16(b + 2) == 0xFFFF && Le16(b + 4) == 0 &&
         IsCoffMachine(Le16(b + 6)) && Inside(kHeader, Le32(b + 12), 1, length);
}

bool IsBigobjCoff(const uint8_t* b, uint32_t length) {
  constexpr uint32_t kHeader = 56;
  static const uint8_t kBigobjClass[16] = {0xC7, 0xA1, 0xBA, 0xD1, 0xEE, 0xBA, 0xA9, 0x4B,
                                           0xAF, 0x20, 0xFA, 0xF6, 0x6A, 0xA4, 0xDC, 0xB8};
  return length >= kHeader && Le16(b) == 0 && Le16(b + 2) == 0xFFFF && Le16(b + 4) >= 2 &&
         IsCoffMachine(Le16(b + 6)) && memcmp(b + 12, kBigobjClass, 16) == 0 &&
         Inside(kHeader, Le32(b + 44), kCoffSectionSize, length);
}

// Thin: the magic in the file's byte order, a 28- or 32-byte header and load
// commands inside the bytes. Fat: big-endian, with an architecture count that
// a Java class file (the same magic, then its version, 45 or more) never has.
bool IsMachO(const uint8_t* b, uint32_t length) {
  if (length < 8) return false;
  const uint32_t big = Be32(b);
  const uint32_t little = Le32(b);
  if (big == 0xCAFEBABE || big == 0xCAFEBABF) {
    const uint32_t architectures = Be32(b + 4);
    return architectures >= 1 && architectures < 45 &&
           Inside(8, architectures, big == 0xCAFEBABE ? 20 : 32, length);
  }
  for (uint32_t magic : {big, little}) {
    if (magic != 0xFEEDFACE && magic != 0xFEEDFACF) continue;
    const uint32_t header = magic == 0xFEEDFACE ? 28 : 32;
    if (length < header) return false;
    return Inside(header, magic == big ? Be32(b + 20) : Le32(b + 20), 1, length);
  }
  return false;
}

// Raw "BC" 0xC0DE, or the wrapper (0x0B17C0DE, little-endian) whose offset
// and size place the bitcode inside the bytes.
bool IsLlvmBitcode(const uint8_t* b, uint32_t length) {
  if (length >= 4 && memcmp(b, "BC\xC0\xDE", 4) == 0) return true;
  return length >= 20 && Le32(b) == 0x0B17C0DE && Inside(Le32(b + 8), Le32(b + 12), 1, length);
}

}  // namespace

ObjectFormat IdentifyObjectFormat(const uint8_t* bytes, uint32_t length) {
  if (length >= 4 && memcmp(bytes, "\177ELF", 4) == 0) return ObjectFormat::kElf;
  if (IsLlvmBitcode(bytes, length)) return ObjectFormat::kLlvmBitcode;
  if (IsMachO(bytes, length)) return ObjectFormat::kMachO;
  if (IsCoffImport(bytes, length)) return ObjectFormat::kCoffImport;
  if (IsPlainCoff(bytes, length) || IsBigobjCoff(bytes, length)) return ObjectFormat::kCoff;
  return ObjectFormat::kNone;
}
