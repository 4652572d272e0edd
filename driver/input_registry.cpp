#include "driver/input_registry.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>

InputFileTable gInputFiles;

namespace {

constexpr uint32_t kGrowth = 2048;

// The full paths registered so far, so that the duplicate test does not
// compare every new operand with every earlier one.
std::unordered_set<std::string> gRegisteredPaths;

}  // namespace

void RegisterInputFile(char* operand) {
  InputFileTable& table = gInputFiles;
  if (table.count == table.capacity) {
    uint32_t capacity = table.capacity + kGrowth;
    void* grown = realloc(table.entries, sizeof(InputFile) * capacity);
    if (grown == nullptr) {
      fprintf(stderr, "ERROR: ins. memory\n");
      exit(1);
    }
    table.entries = static_cast<InputFile*>(grown);
    table.capacity = capacity;
  }
  InputFile& entry = table.entries[table.count++];
  entry.elfImage = nullptr;
  entry.archive = nullptr;

  NormalizeHostPath(operand);
  if (!ResolveFullPath(operand, entry.fullPath)) {
    fprintf(stderr, "ERROR: invalid pathname '%s'.\n", operand);
    exit(1);
  }
  if (!gRegisteredPaths.insert(entry.fullPath).second) {
    fprintf(stderr, "ERROR: duplicate filename '%s'.\n", operand);
    exit(1);
  }
}
