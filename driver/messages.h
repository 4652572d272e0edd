// Every message the tool prints about an error or a rename, in one place.
#pragma once

#include <span>
#include <string>

#include "base/result.h"
#include "driver/vendor.h"
#include "rename/matching.h"

// Prints the message of error on standard error, with the hint at -g after
// a refusal that growth would lift.
void PrintError(const Error& error);

// The note after renaming a shared object or an executable, whose .dynsym
// keeps the old names.
void PrintLinkedObjectNote(const std::string& name);

// What only a dry run adds on standard error: a pair that renamed nothing in
// the whole run, and the number of names a prefix run collected.
void PrintUnmatchedPair(const char* oldName, const char* newName);
void PrintPrefixCount(size_t names);

// Prints "<old> -> <new> changed" on standard output for each match, in
// order.
void ReportRenames(std::span<const RenameMatch> matches, std::span<const char* const> oldNames,
                   std::span<const char* const> newNames);

// Prints one line per clash on standard output: the name, "between-inputs"
// or "within-library", and each place that defines it (places[object]),
// separated by tabs.
void PrintClashes(std::span<const Clash> clashes, std::span<const std::string> places);
