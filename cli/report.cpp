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

namespace {

using Json = nlohmann::ordered_json;

std::string dump(const Json& j) {
    // Replace rather than throw on file names that are not valid UTF-8.
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json code(const std::optional<std::uint16_t>& c) {
    return c ? Json(*c) : Json(nullptr);
}

Json colourJson(const std::optional<InspectedColour>& c) {
    if (!c) return nullptr;
    if (c->kind == "icc") return Json{{"kind", c->kind}, {"description", c->description}};
    return Json{{"kind", c->kind},
                {"primaries", code(c->primaries)},
                {"transfer", code(c->transfer)},
                {"matrix", code(c->matrix)}};
}

// "nclx 1/1/1", "prof", "none".
std::string colourText(const std::optional<InspectedColour>& c) {
    if (!c) return "none";
    if (c->kind == "icc") return "ICC \"" + c->description + "\"";
    std::string text = c->kind;
    if (c->primaries && c->transfer && c->matrix)
        text += " " + std::to_string(*c->primaries) + "/" + std::to_string(*c->transfer) + "/" +
                std::to_string(*c->matrix);
    return text;
}

} // namespace

std::vector<std::string> inspectLines(const Inspection& in) {
    std::vector<std::string> lines;
    for (const auto& t : in.tracks) {
        std::string bitstream = colourText(t.bitstream);
        // The kind of a coded description says nothing a reader needs; its codes do.
        if (t.bitstream) bitstream = bitstream.substr(bitstream.find(' ') + 1);
        lines.push_back("     track " + std::to_string(t.track) + " " + t.entry +
                        "  container: " + colourText(t.container) + "  bitstream: " + bitstream +
                        "  HDR: " + (t.hdr ? "yes" : "no"));
    }
    if (in.kind == Inspection::Kind::photo && in.readable)
        lines.push_back("     colour: " + colourText(in.colour) +
                        "  Display P3: " + (in.displayP3 ? "yes" : "no"));
    if (in.kind == Inspection::Kind::other || !in.readable)
        lines.push_back(modeLine(in.result));
    else
        lines.push_back("     in place:  " + std::string(outcomeSymbol(in.result.outcome)) + "  " +
                        in.result.message);
    return lines;
}

std::string inspectJsonLine(const std::string& file, const Inspection& in) {
    const TGResult& r = in.result;
    Json details = nullptr;
    if (in.readable && in.kind == Inspection::Kind::movie) {
        Json tracks = Json::array();
        for (const auto& t : in.tracks)
            tracks.push_back({{"track", t.track},
                              {"entry", t.entry},
                              {"container", colourJson(t.container)},
                              {"bitstream", colourJson(t.bitstream)},
                              {"hdr", t.hdr}});
        details = {{"interruptedEdit", in.interruptedEdit}, {"tracks", std::move(tracks)}};
    } else if (in.readable && in.kind == Inspection::Kind::photo) {
        details = {{"colour", colourJson(in.colour)}, {"displayP3", in.displayP3}};
    }
    const Json line = {
        {"file", file},
        {"name", r.name()},
        {"mode", "inspect"},
        {"outcome", outcomeName(r.outcome)},
        {"message", r.message},
        {"produced", nullptr},
        {"detail", r.detail ? Json(*r.detail) : Json(nullptr)},
        {"layers", in.layers},
        {"inspect", std::move(details)},
    };
    return dump(line);
}

std::string progressText(ProgressPhase phase, double fraction) {
    double percent = std::isfinite(fraction) ? std::trunc(fraction * 100) : 0;
    const char* word = phase == ProgressPhase::moving ? "moving" : "encoding";
    return word + std::string("\u2026  ") + std::to_string(int(std::clamp(percent, 0.0, 100.0))) +
           "%";
}

} // namespace tg::cli
