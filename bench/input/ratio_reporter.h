// Console output as usual, plus the rates of every run kept by name, so a
// benchmark binary can print its ratios against a baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal: the figures are often kept in a file.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    // With repetitions the median of the repetitions is kept, else the one run.
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median) continue;
            auto& into = median ? medians_ : values_;
            for (const auto& [name, counter] : run.counters) into[run.run_name.str() + "/" + name] = counter.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The value of counter `counter` of the benchmark whose name starts with
    // `name` (arguments follow it), or 0 if it did not run.
    double value(const std::string& name, const std::string& counter) const {
        for (const auto* values : {&medians_, &values_})
            for (const auto& [key, v] : *values)
                if (key.rfind(name, 0) == 0 && key.size() > counter.size() &&
                    key.compare(key.size() - counter.size() - 1, std::string::npos, "/" + counter) == 0)
                    return v;
        return 0.0;
    }

    // Prints "label: a / b = r (target ...)" and returns whether the target is met.
    static bool print_ratio(const char* label, double measured, double baseline, double target) {
        if (measured <= 0 || baseline <= 0) {
            std::printf("%s: not run\n", label);
            return false;
        }
        const double ratio = baseline > 0 ? measured / baseline : 0.0;
        std::printf("%s: %.3g / %.3g = %.2fx (target >= %.2fx) %s\n", label, measured, baseline, ratio, target,
                    ratio >= target ? "ok" : "BELOW TARGET");
        return ratio >= target;
    }

private:
    std::map<std::string, double> values_;
    std::map<std::string, double> medians_;
};

}  // namespace bench
