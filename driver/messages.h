// Every message the tool prints about an error or a rename, in one place.
#pragma once

#include <span>

#include "base/result.h"
#include "driver/vendor.h"
#include "rename/matching.h"

// Prints the message of error on standard error, with the hint at -g after
// a refusal that growth would lift.
void PrintError(const Error& error);

// Prints "<old> -> <new> changed" on standard output for each match, in
// order.
void ReportRenames(std::span<const RenameMatch> matches, std::span<const char* const> oldNames,
                   std::span<const char* const> newNames);

// Prints one line per clash on standard output: the name, "between-inputs"
// or "within-library", and each place that defines it (places[object]),
// separated by tabs.
void PrintClashes(std::span<const Clash> clashes, std::span<const std::string> places);
