#include "sim/upgsim_report.h"

#include <sys/wait.h>

#include <cstdlib>

namespace sim {

namespace {

std::string escape_field(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string unescape_field(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c;
    }
    return out;
}

std::string number_or_dash(const std::optional<int>& value) { return value ? std::to_string(*value) : "-"; }

std::optional<int> parse_number(const std::string& text) {
    if (text == "-" || text.empty()) return std::nullopt;
    return std::atoi(text.c_str());
}

}  // namespace

const char* outcome_word(Outcome outcome) {
    switch (outcome) {
        case Outcome::offered: return "not answered";
        case Outcome::applying: return "cut off during the apply";
        case Outcome::applied: return "applied";
        case Outcome::skipped: return "skipped";
        case Outcome::failed: return "failed";
    }
    return "failed";
}

std::string encode_result(int index, const PackageResult& result) {
    return "package " + std::to_string(index) + "\t" + std::to_string(static_cast<int>(result.outcome)) + "\t" +
           escape_field(result.path) + "\t" + escape_field(result.reason) + "\t" + number_or_dash(result.extraction) +
           "\t" + number_or_dash(result.command_status);
}

bool decode_result(const std::string& line, int* index, PackageResult* result) {
    if (line.rfind("package ", 0) != 0) return false;
    std::vector<std::string> fields;
    std::size_t start = 8;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    if (fields.size() != 6) return false;
    const int outcome = std::atoi(fields[1].c_str());
    if (outcome < 0 || outcome > static_cast<int>(Outcome::failed)) return false;
    *index = std::atoi(fields[0].c_str());
    result->outcome = static_cast<Outcome>(outcome);
    result->path = unescape_field(fields[2]);
    result->reason = unescape_field(fields[3]);
    result->extraction = parse_number(fields[4]);
    result->command_status = parse_number(fields[5]);
    return true;
}

std::optional<int> command_exit_status(int wait_status) {
    if (wait_status == -1) return std::nullopt;
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return std::nullopt;
}

std::string describe_outcome(const PackageResult& result) {
    std::string text = result.outcome == Outcome::skipped ? "skipped by the user" : outcome_word(result.outcome);
    if (result.outcome == Outcome::failed && !result.reason.empty()) text += ": " + result.reason;
    if (result.command_status) text += " (command exit status " + std::to_string(*result.command_status) + ")";
    return text;
}

}  // namespace sim
