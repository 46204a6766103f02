#include "cli/report.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string_view>

namespace tg::cli {

namespace {

using Json = nlohmann::ordered_json;

// The length of the well-formed UTF-8 sequence at s[i] (no overlong forms, no surrogates, nothing
// past U+10FFFF), or 0 when the byte there starts none.
std::size_t utf8Length(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = byte(i);
    if (b < 0x80) return 1;
    std::size_t n = b >= 0xC2 && b <= 0xDF   ? 2
                    : b >= 0xE0 && b <= 0xEF ? 3
                    : b >= 0xF0 && b <= 0xF4 ? 4
                                             : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    const unsigned char second = byte(i + 1);
    if ((b == 0xE0 && second < 0xA0) || (b == 0xED && second > 0x9F) ||
        (b == 0xF0 && second < 0x90) || (b == 0xF4 && second > 0x8F))
        return 0;
    return n;
}

std::string hex2(unsigned value) {
    constexpr char DIGITS[] = "0123456789abcdef";
    return {DIGITS[(value >> 4) & 15], DIGITS[value & 15]};
}

// A JSON string that keeps every byte: a byte that is not part of valid UTF-8 is written as the
// lone surrogate U+DC00 + byte, as Python's "surrogateescape" does, so os.fsencode() on the
// decoded string gives the original name back.
std::string jsonString(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const std::size_t n = utf8Length(s, i);
        if (n == 0) {
            out += "\\udc" + hex2(c);
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20) {
            out += "\\u00" + hex2(c);
        } else {
            out.append(s.substr(i, n));
        }
        i += n;
    }
    return out + '"';
}

// Compact JSON, with strings written by jsonString.
std::string dump(const Json& j) {
    if (j.is_string()) return jsonString(j.get_ref<const std::string&>());
    std::string out;
    if (j.is_object()) {
        for (const auto& [key, value] : j.items())
            out += (out.empty() ? "{" : ",") + jsonString(key) + ":" + dump(value);
        return out.empty() ? "{}" : out + "}";
    }
    if (j.is_array()) {
        for (const auto& value : j)
            out += (out.empty() ? "[" : ",") + dump(value);
        return out.empty() ? "[]" : out + "]";
    }
    return j.dump();
}

} // namespace

std::string printable(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t n = utf8Length(text, i);
        // C0 and C1 controls and DEL would be taken by the terminal as commands.
        const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (n == 0 || c < 0x20 || c == 0x7F || c1) {
            out += "\\x" + hex2(n == 0 || !c1 ? c : static_cast<unsigned char>(text[i + 1]));
            i += c1 ? 2 : 1;
            continue;
        }
        out.append(text.substr(i, n));
        i += n;
    }
    return out;
}

std::string fileLine(const std::string& name) {
    return "\u2022  " + printable(name);
}

std::string modeLine(const TGResult& result) {
    return std::string("     ") + outcomeSymbol(result.outcome) + "  " + printable(result.message);
}

std::string jsonLine(const std::string& file, TGMode mode, const TGResult& result) {
    const Json line = {
        {"file", file},
        {"name", result.name()},
        {"mode", modeName(mode)},
        {"outcome", outcomeName(result.outcome)},
        {"message", result.message},
        {"produced", result.produced ? Json(result.produced->string()) : Json(nullptr)},
        {"detail", result.detail ? Json(*result.detail) : Json(nullptr)},
        {"layers", result.layers},
    };
    return dump(line);
}

namespace {

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

} // namespace

std::vector<std::string> inspectLines(const Inspection& in) {
    std::vector<std::string> lines;
    for (const auto& line : colourLines(in))
        lines.push_back("     " + line);
    if (in.kind == Inspection::Kind::other || !in.readable)
        lines.push_back(modeLine(in.result));
    else
        lines.push_back("     " + inPlaceLine(in));
    // A look is asked why: the cause follows the line.
    if (in.result.detail) lines.back() += "  (" + *in.result.detail + ")";
    // Entry types and profile descriptions come from the file, as the message may.
    for (auto& line : lines)
        line = printable(line);
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
