// Two exchange files (text saves or captures) compared by what they received, as the compare
// dialog compares them, for a shell or a CI job (tarvotcpc --compare OLD NEW): the received lines
// of each, with times, sends and the cuts between chunks left out, written as a unified diff.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "replay/line_diff.hpp"

namespace tarvotcpc {

// Exit statuses, as diff(1) has them: the same received lines; lines differ; a file could not be
// read as an exchange.
inline constexpr int kCompareSame = 0;
inline constexpr int kCompareDiffer = 1;
inline constexpr int kCompareTrouble = 2;

// The rows of diff as a unified diff of left and right ("--- leftName", "+++ rightName", then
// hunks "@@ -l,n +l,n @@" with `context` lines of context around each run of differences).
// Nothing when the two are the same. Every line ends with a line break: the lines themselves hold
// none (a line that ended with LF ends with the picture ␊).
std::string UnifiedDiff(const std::vector<std::string> &left, const std::vector<std::string> &right,
                        const LineDiff &diff, const std::string &leftName,
                        const std::string &rightName, std::size_t context = 3);

// Reads both files (the settings file at settingsPath gives the encoding the received bytes are
// shown in), writes the diff to out and any trouble to err; one of the statuses above.
int CompareExchangeFiles(const std::string &left, const std::string &right,
                         const std::string &settingsPath, std::FILE *out, std::FILE *err);

} // namespace tarvotcpc
