// Headers that merely start like another format's, or whose records lie past
// the end, are no object of it. The formats that real toolchains write are the
// real foreign test's; 32-bit big-endian Mach-O, which none of them writes, is here.
#include "driver/object_format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A COFF header: machine, section count, symbol table offset and count,
// optional header size, padded with zeros to size bytes.
std::string Coff(uint16_t machine, uint16_t sections, uint32_t symbols, uint32_t count,
                 uint16_t optional, size_t size) {
  std::string b(size, '\0');
  auto put = [&b](size_t at, uint32_t value, int width) {
    for (int i = 0; i < width; ++i) b[at + i] = static_cast<char>(value >> 8 * i);
  };
  put(0, machine, 2), put(2, sections, 2), put(8, symbols, 4), put(12, count, 4);
  put(16, optional, 2);
  return b;
}

TEST(ObjectFormat, TellsObjectsFromTruncatedAndLookalikeHeaders) {
  const struct {
    const char* what;
    std::string bytes;
    ObjectFormat format;
  } cases[] = {
      {"COFF, sections past the end", Coff(0x8664, 2, 0, 0, 0, 80), ObjectFormat::kNone},
      {"COFF, symbols past the end", Coff(0x14c, 0, 60, 2, 0, 80), ObjectFormat::kNone},
      {"COFF, an unknown machine", Coff(0x1234, 0, 0, 0, 0, 80), ObjectFormat::kNone},
      {"COFF import member, its data past the end",
       std::string("\0\0\xFF\xFF\0\0\x64\x86\0\0\0\0\1", 13) + std::string(7, '\0'),
       ObjectFormat::kNone},
      {"COFF bigobj of another class",
       std::string("\0\0\xFF\xFF\2\0\x64\x86", 8) + std::string(48, '\0'), ObjectFormat::kNone},
      {"Mach-O, 32-bit big-endian", "\xFE\xED\xFA\xCE" + std::string(24, '\0'),
       ObjectFormat::kMachO},
      {"Mach-O, cut short", "\xFE\xED\xFA\xCF" + std::string(24, '\0'), ObjectFormat::kNone},
      {"a Java class file", std::string("\xCA\xFE\xBA\xBE\0\0\0\x34", 8) + std::string(40, '\0'),
       ObjectFormat::kNone},
      {"wrapped bitcode past the end",
       std::string("\xDE\xC0\x17\x0B\0\0\0\0\x14\0\0\0\5\0\0\0", 16) + std::string(8, '\0'),
       ObjectFormat::kNone},
      {"text", "L\x01 is no machine of a text file", ObjectFormat::kNone},
      {"empty", "", ObjectFormat::kNone},
  };
  for (const auto& c : cases) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.bytes.data());
    EXPECT_EQ(IdentifyObjectFormat(bytes, static_cast<uint32_t>(c.bytes.size())), c.format)
        << c.what;
  }
}

}  // namespace
