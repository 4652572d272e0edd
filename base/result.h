// Errors as values: a routine below the driver returns what went wrong, with
// what a message about it needs, and never prints or ends the process. Only
// the driver turns an Error into text and an exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

// What went wrong. Each kind is one message of the driver's.
enum class Fault : uint8_t {
  kCannotOpen,          // subject: the file
  kCannotRead,          // subject: the file
  kNoMemory,            //
  kNoDiskSpace,         //
  kChangedWhileRead,    // subject: the file
  kCannotCreate,        // subject: the output path
  kNotElf,              // subject: the file or member
  kUnknownElfLayout,    // subject: the file or member
  kCoffImportMember,    // subject: the file or member
  kMachOObject,         // subject: the file or member
  kLlvmBitcode,         // subject: the file or member
  kGccLtoSlim,          // subject: the file or member
  kGccLtoFat,           // subject: the file or member
  kDamaged,             // subject: the file or member; detail: what is wrong
  kThinArchive,         // subject: the library
  kFixedIndex,          // subject: the library
  kRenameClash,         // subject: the object; detail: the old name written; other: the victim
  kFixedStringTable,    // subject: the object whose .strtab cannot move
  kStringTableNotLast,  // subject: the COFF object whose string table has data after it
  kUnknownOption,       // subject: the argument
  kMissingValue,        // subject: the option
  kInvalidPathname,     // subject: the operand
  kDuplicateFilename,   // subject: the operand
  kNoOldSymbol,         //
  kNoNewSymbol,         //
  kNameLength,          // detail: the length of the name refused
  kLengthMismatch,      // -c and -n of unequal lengths
  kListLengthMismatch,  // detail: the old name; other: the new name
  kListNameTooLong,     // subject: the list file
  kListNoNewName,       // subject: the list file; detail: the old name
  kListEmptyName,       // subject: the list file
  kListUtf16,           // subject: the list file
  kValueAttached,       // subject: the option; detail: its value, written onto it
  kFlagWithValue,       // subject: the option letter; detail: the argument as written
  kPrefixCombined,      // detail: the option given with -p
  kEmptyPrefix,         //
  kPrefixWhitespace,    //
  kPrefixTooLong,       // detail: the name the prefix takes past the limit
  kKeepAlone,           // --keep without -p, --hide or --localize
  kVendorCombined,      // subject: the vendoring option; detail: the option given with it
  kKeepNameTooLong,     // subject: the keep file
  kKeptUndefined,       // a warning; detail: the kept name that no input defines
  kLeftGlobal,          // a note; subject: the object; detail: why its symbols stay global
  kNoVisibility,        // a note; subject: the first COFF object --hide leaves as it was
};

struct Error {
  Fault fault;
  std::string subject = {};
  std::string detail = {};
  std::string other = {};
};

// A value or the Error that took its place.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const { return state_.index() == 0; }
  T& operator*() { return std::get<0>(state_); }
  const T& operator*() const { return std::get<0>(state_); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }
  Error& error() { return std::get<1>(state_); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// Success, or the Error that stopped the work.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  explicit operator bool() const { return !error_; }
  Error& error() { return *error_; }
  const Error& error() const { return *error_; }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;
