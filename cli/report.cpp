#include "cli/report.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

namespace tg::cli {

std::string fileLine(const std::string& name) {
    return "\u2022  " + name;
}

std::string modeLine(const TGResult& result) {
    return std::string("     ") + outcomeSymbol(result.outcome) + "  " + result.message;
}

std::string jsonLine(const std::string& file, TGMode mode, const TGResult& result) {
    nlohmann::ordered_json line = {
        {"file", file},
        {"name", result.name()},
        {"mode", modeName(mode)},
        {"outcome", outcomeName(result.outcome)},
        {"message", result.message},
        {"produced", result.produced ? nlohmann::ordered_json(result.produced->string()) : nullptr},
        {"detail", result.detail ? nlohmann::ordered_json(*result.detail) : nullptr},
        {"layers", result.layers},
    };
    // Replace rather than throw on file names that are not valid UTF-8.
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string progressText(ProgressPhase phase, double fraction) {
    double percent = std::isfinite(fraction) ? std::trunc(fraction * 100) : 0;
    const char* word = phase == ProgressPhase::moving ? "moving" : "encoding";
    return word + std::string("\u2026  ") + std::to_string(int(std::clamp(percent, 0.0, 100.0))) +
           "%";
}

} // namespace tg::cli
