// One near miss per format family (the fuzzer tries the rest; real toolchains'
// objects are the foreign test's) and 32-bit big-endian Mach-O, which none writes.
#include "driver/object_format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ObjectFormat, TellsObjectsFromTruncatedAndLookalikeHeaders) {
  const struct {
    const char* what;
    std::string bytes;
    ObjectFormat format;
  } cases[] = {
      {"COFF, sections past the end", "\x64\x86\2" + std::string(77, '\0'), ObjectFormat::kNone},
      {"Mach-O, 32-bit big-endian", "\xFE\xED\xFA\xCE" + std::string(24, '\0'),
       ObjectFormat::kMachO},
      {"a Java class file", std::string("\xCA\xFE\xBA\xBE\0\0\0\x34", 8) + std::string(40, '\0'),
       ObjectFormat::kNone},
      {"wrapped bitcode past the end",
       std::string("\xDE\xC0\x17\x0B\0\0\0\0\x14\0\0\0\5\0\0\0", 16) + std::string(8, '\0'),
       ObjectFormat::kNone},
  };
  for (const auto& c : cases) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.bytes.data());
    EXPECT_EQ(IdentifyObjectFormat(bytes, static_cast<uint32_t>(c.bytes.size())), c.format)
        << c.what;
  }
}

}  // namespace
