#include "pipeline/colour_report.h"

#include "codec/colour_codes.h"
#include "image/colour_report.h"
#include "matroska/mkv_tagging.h"
#include "movie/colour_report.h"

#include <algorithm>

namespace tg {

namespace {

std::optional<InspectedColour> fromCodes(const std::optional<StoredColour>& c) {
    if (!c) return std::nullopt;
    return InspectedColour{c->kind, c->primaries, c->transfer, c->matrix, {}};
}

// A layer states Display P3 when every video entry's colour in it says primaries 12.
bool allP3(const std::vector<InspectedTrack>& tracks,
           std::optional<InspectedColour> InspectedTrack::*layer) {
    return !tracks.empty() && std::all_of(tracks.begin(), tracks.end(), [&](const auto& t) {
        const auto& c = t.*layer;
        return c && c->primaries == PRIMARIES_DISPLAY_P3;
    });
}

// The layers in which every video track states Display P3.
std::vector<std::string> layersStatingP3(const std::vector<InspectedTrack>& tracks) {
    std::vector<std::string> layers;
    if (allP3(tracks, &InspectedTrack::container)) layers.emplace_back("container");
    if (allP3(tracks, &InspectedTrack::bitstream)) layers.emplace_back("bitstream");
    return layers;
}

Inspection movie(const std::filesystem::path& file) {
    Inspection out;
    out.kind = Inspection::Kind::movie;
    MovieInspection m = inspectMovie(file);
    out.readable = m.readable;
    out.result = std::move(m.inPlace);
    out.interruptedEdit = m.interruptedEdit;
    for (auto& e : m.entries)
        out.tracks.push_back(
            {e.track, e.type, fromCodes(e.container), fromCodes(e.bitstream), e.hdr});
    out.layers = layersStatingP3(out.tracks);
    return out;
}

Inspection matroska(const std::filesystem::path& file) {
    Inspection out;
    out.kind = Inspection::Kind::movie;
    MkvInspection m = inspectMatroska(file);
    out.readable = m.readable;
    out.result = std::move(m.inPlace);
    out.interruptedEdit = m.interruptedEdit;
    const auto code = [](const std::optional<std::uint64_t>& v) {
        return v ? std::optional<std::uint16_t>(std::uint16_t(std::min<std::uint64_t>(*v, 0xFFFF)))
                 : std::nullopt;
    };
    for (const auto& t : m.tracks) {
        std::optional<InspectedColour> colour;
        if (t.colour)
            colour =
                InspectedColour{"Colour", code(t.primaries), code(t.transfer), code(t.matrix), {}};
        std::optional<InspectedColour> stated;
        if (!t.bitstreamKind.empty())
            stated = InspectedColour{t.bitstreamKind,
                                     code(t.bitstreamPrimaries),
                                     code(t.bitstreamTransfer),
                                     code(t.bitstreamMatrix),
                                     {}};
        out.tracks.push_back({std::size_t(t.number), t.codec, colour, stated, t.hdr});
    }
    out.layers = layersStatingP3(out.tracks);
    return out;
}

Inspection photo(const std::filesystem::path& file) {
    Inspection out;
    out.kind = Inspection::Kind::photo;
    PhotoInspection p = inspectPhoto(file);
    out.readable = p.readable;
    out.result = std::move(p.inPlace);
    out.displayP3 = p.displayP3;
    if (p.colour) {
        InspectedColour c{p.colour->kind, {}, {}, {}, p.colour->description};
        if (c.kind != "icc") {
            c.primaries = p.colour->codes[0];
            c.transfer = p.colour->codes[1];
            c.matrix = p.colour->codes[2];
        }
        out.colour = std::move(c);
    }
    return out;
}

} // namespace

Inspection inspectInput(const Input& input) {
    const std::string name = input.path.filename().string();
    if (input.outcome) {
        Inspection out;
        out.readable = *input.outcome != TGOutcome::error;
        out.result = TGResult(name, *input.outcome, input.message);
        out.result.detail = input.detail;
        return out;
    }
    if (isMatroska(input.path)) return matroska(input.path);
    if (isMovie(input.path)) return movie(input.path);
    if (isImage(input.path)) return photo(input.path);
    Inspection out;
    out.result = TGResult(name, TGOutcome::skipped, "Skipped (unsupported)");
    out.result.detail = NOT_MEDIA;
    return out;
}

namespace {

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

std::vector<std::string> colourLines(const Inspection& in) {
    std::vector<std::string> lines;
    for (const auto& t : in.tracks) {
        std::string bitstream = colourText(t.bitstream);
        // The kind of a coded description says nothing a reader needs; its codes do.
        if (t.bitstream)
            bitstream =
                t.bitstream->primaries ? bitstream.substr(bitstream.find(' ') + 1) : "none stated";
        lines.push_back("track " + std::to_string(t.track) + " " + t.entry +
                        "  container: " + colourText(t.container) + "  bitstream: " + bitstream +
                        "  HDR: " + (t.hdr ? "yes" : "no"));
    }
    if (in.kind == Inspection::Kind::photo && in.readable)
        lines.push_back("colour: " + colourText(in.colour) +
                        "  Display P3: " + (in.displayP3 ? "yes" : "no"));
    return lines;
}

std::string inPlaceLine(const Inspection& in) {
    return "in place:  " + std::string(outcomeSymbol(in.result.outcome)) + "  " + in.result.message;
}

} // namespace tg
