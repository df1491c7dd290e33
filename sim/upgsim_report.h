// What became of each package of a run, as the session inside the sandbox learns
// it and passes it to upgsim's host side, which prints the summary.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class Outcome { offered, applying, applied, skipped, failed };

struct PackageResult {
    std::string path;                   // as the device program names it
    Outcome outcome = Outcome::offered;
    std::string reason;                 // why it failed
    std::optional<int> extraction;      // tuf_extract's status
    std::optional<int> command_status;  // the package command's exit status; 128 + N: ended by signal N
};

// One status line "package INDEX\t..." and back.
std::string encode_result(int index, const PackageResult& result);
bool decode_result(const std::string& line, int* index, PackageResult* result);

// The exit status of a command from the wait status the program printed for it.
std::optional<int> command_exit_status(int wait_status);

// "applied", "skipped by the user", "failed: REASON", ... as the summary says it,
// and the JSON word of the outcome.
std::string describe_outcome(const PackageResult& result);
const char* outcome_word(Outcome outcome);

}  // namespace sim
