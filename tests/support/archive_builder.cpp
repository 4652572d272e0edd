#include "tests/support/archive_builder.h"

#include <algorithm>

namespace testelf {

namespace {

std::string Padded(std::string text, size_t width) {
  text.resize(width, ' ');
  return text;
}

void AppendBe(std::string& out, uint64_t value, int width) {
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
    out += static_cast<char>(value >> shift);
}

void AppendLe(std::string& out, uint64_t value, int width) {
  for (int b = 0; b < width; ++b) out += static_cast<char>(value >> (8 * b));
}

void AppendMember(std::string& out, const std::string& name, const std::string& bytes) {
  out += MemberHeader(name, std::to_string(bytes.size()));
  out += bytes;
}

}  // namespace

std::string MemberHeader(const std::string& name, const std::string& size) {
  return Padded(name, 16) + Padded("0", 12) + Padded("0", 6) + Padded("0", 6) + Padded("644", 8) +
         Padded(size, 10) + "`\n";
}

BuiltArchive BuildArchive(const ArchiveLayout& layout) {
  // Stored names, and the contents that follow BSD long names.
  std::string longNames;
  std::vector<std::string> stored, contents;
  for (const MemberLayout& m : layout.members) {
    std::string body = m.bytes;
    if (!layout.bsdNames && m.name.size() <= 15) {
      stored.push_back(m.name + "/");
    } else if (!layout.bsdNames) {
      stored.push_back("/" + std::to_string(longNames.size()));
      longNames += m.name + "/\n";
    } else if (m.name.size() <= 16 && m.name.find(' ') == std::string::npos) {
      stored.push_back(m.name);
    } else {
      std::string name = m.name;
      name.resize((name.size() + 3) / 4 * 4, '\0');
      stored.push_back("#1/" + std::to_string(name.size()));
      body = name + body;
    }
    contents.push_back(body);
  }

  const int width = layout.index64 ? 8 : 4;
  std::string names;
  for (const IndexEntry& e : layout.index) names += e.symbol + '\0';
  const size_t indexSize = width * (1 + layout.index.size()) + names.size();
  std::vector<IndexEntry> sorted = layout.index;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const IndexEntry& a, const IndexEntry& b) { return a.symbol < b.symbol; });
  const size_t secondSize =
      layout.msvc ? 8 + 4 * layout.members.size() + 2 * sorted.size() + names.size() : 0;

  BuiltArchive archive;
  size_t at = 8;
  if (!layout.index.empty()) at += 60 + indexSize + indexSize % 2;
  if (layout.msvc) at += 60 + secondSize + secondSize % 2;
  if (!longNames.empty()) at += 60 + longNames.size() + longNames.size() % 2;
  for (size_t i = 0; i < contents.size(); ++i) {
    const size_t nameSize = contents[i].size() - layout.members[i].bytes.size();
    archive.headers.push_back(static_cast<uint32_t>(at));
    archive.data.push_back(static_cast<uint32_t>(at + 60 + nameSize));
    at += 60 + contents[i].size() + contents[i].size() % 2;
  }

  std::string& out = archive.bytes;
  out = "!<arch>\n";
  if (!layout.index.empty()) {
    archive.indexHeader = static_cast<uint32_t>(out.size());
    std::string index;
    AppendBe(index, layout.index.size(), width);
    for (const IndexEntry& e : layout.index) AppendBe(index, archive.headers[e.member], width);
    AppendMember(out, layout.index64 ? "/SYM64/" : "/", index + names);
    if (out.size() % 2) out += '\n';
  }
  if (layout.msvc) {
    std::string second;
    AppendLe(second, layout.members.size(), 4);
    for (uint32_t header : archive.headers) AppendLe(second, header, 4);
    AppendLe(second, sorted.size(), 4);
    for (const IndexEntry& e : sorted) AppendLe(second, e.member + 1, 2);
    for (const IndexEntry& e : sorted) second += e.symbol + '\0';
    AppendMember(out, "/", second);
    if (out.size() % 2) out += '\n';
  }
  if (!longNames.empty()) {
    archive.longNamesHeader = static_cast<uint32_t>(out.size());
    AppendMember(out, "//", longNames);
    if (out.size() % 2) out += '\n';
  }
  for (size_t i = 0; i < contents.size(); ++i) {
    AppendMember(out, stored[i], contents[i]);
    if (out.size() % 2 && (layout.padLast || i + 1 < contents.size())) out += '\n';
  }
  return archive;
}

}  // namespace testelf
