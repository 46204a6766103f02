#include "movie/tagging.h"

#include "edit/journal.h"
#include "edit/mark.h"
#include "movie/movie_loader.h"
#include "movie/movie_tagger.h"

#include <cerrno>

namespace tg {

namespace {

// A top-level meta is read whole to look for item locations; larger ones are refused.
constexpr std::uint64_t MAX_META = 16 * 1024 * 1024;

const char* const NO_WRITE = "No write permission";

// The layers that state Display P3 once the decision's writes are made.
std::vector<std::string> layersOf(const ColourDecision& d) {
    std::vector<std::string> layers;
    if (d.containerP3) layers.emplace_back("container");
    if (d.bitstreamP3) layers.emplace_back("bitstream");
    return layers;
}

// What the result adds when the container is tagged but some of the bitstream is not.
std::string stillSays(const ColourDecision& d) {
    if (d.oldVpcC) return " — vpcC of version 0 left unchanged";
    if (d.bitstreamLeft && d.bitstreamSays)
        return " — bitstream still says " + primariesName(*d.bitstreamSays);
    if (d.bitstreamLeft) return " — bitstream left unchanged (unreadable)";
    if (d.bitstreamSilent) return " — bitstream still says nothing";
    return {};
}

// The reason behind a refusal, for the result's detail, when the layout names none.
const char* refusalReason(PlanKind kind) {
    switch (kind) {
    case PlanKind::tooLarge:
        return "a size or offset past 4 GB";
    case PlanKind::fragmented:
        return "fragmented movie";
    case PlanKind::trackStructure:
        return "unexpected track structure";
    default:
        return "offsets outside chunk tables";
    }
}

// Why a movie has nothing to tag: no video track, or only codecs whose colour we do not write.
std::string noVideoReason(const MoovLayout& layout) {
    if (layout.otherVideoTypes.empty()) return "no video track";
    return "video codec not taggable: " + layout.otherVideoTypes.front();
}

const char* refusalMessage(PlanKind kind) {
    switch (kind) {
    case PlanKind::tooLarge:
        return "Can't add tag — a size or offset would pass 4 GB";
    case PlanKind::fragmented:
        return "Unsupported (fragmented movie)";
    case PlanKind::trackStructure:
        return "Unsupported (unexpected track structure)";
    case PlanKind::foreignOffsets:
    case PlanKind::insert:
    case PlanKind::alreadyTagged:
    case PlanKind::noVideo:
        break;
    }
    return "Unsupported (offsets outside chunk tables)";
}

// Top-level atoms that hold absolute offsets: fragments are refused; item locations in a
// top-level meta are collected for fixing.
PlanKind topLevelRefusal(const FileHandle& file, std::uint64_t fileSize,
                         const std::vector<TopAtom>& top, MovieEdit& edit) {
    for (const auto& a : top) {
        if (a.type == "moof" || a.type == "mfra") return PlanKind::fragmented;
        if (a.type != "meta") continue;
        if (a.size > MAX_META || !fits(fileSize, a.start, a.size)) return PlanKind::foreignOffsets;
        auto meta = file.readFully(a.start, a.size);
        if (meta.failed()) return PlanKind::foreignOffsets;
        const Atom atom{a.type, 0, a.headerSize, a.size};
        for (const auto& iloc : ilocsInMeta(*meta, atom)) {
            auto refs = itemLocations(*meta, iloc, a.start);
            if (!refs) return PlanKind::foreignOffsets;
            edit.outsideOffsets.insert(edit.outsideOffsets.end(), refs->begin(), refs->end());
        }
    }
    return PlanKind::insert;
}

class Session {
public:
    Session(const std::filesystem::path& file, TagMode mode, const Progress& onMoving)
        : path_(file), name_(file.filename().string()), mode_(mode), onMoving_(onMoving) {}

    TGResult run() {
        if (mode_ == TagMode::core && !VIDEO_EXTS.contains(lowercased(extensionOf(path_)))) {
            TGResult r = result(TGOutcome::skipped, "Skipped (not a video)");
            r.detail = "not a movie";
            return r;
        }
        auto opened = FileHandle::openRegular(path_, true);
        if (opened.failed()) return openFailed(opened.failure());
        file_ = std::move(*opened);
        return tagLocked(file_, path_, onMoving_, [this] { return tag(); });
    }

private:
    TGResult result(TGOutcome outcome, const std::string& message) const {
        return TGResult(name_, outcome, message);
    }

    TGResult error(const std::string& message, const Failure& why) const {
        return failedResult(path_, message, why);
    }

    const char* unreadable() const {
        return mode_ == TagMode::core ? "Can't read file" : "Read error";
    }

    TGResult openFailed(const Failure& why) const {
        const bool denied = why.is(EACCES) || why.is(EPERM) || why.is(EROFS) || why.is(ETXTBSY);
        // A file too short to be a movie reads as unreadable, even where it may not be written.
        if (denied && fileSizeOf(path_) >= std::int64_t(MIN_MOVIE)) return error(NO_WRITE, why);
        return error(unreadable(), why);
    }

    TGResult tag() {
        auto id = file_.identity();
        if (id.failed()) return error(unreadable(), id.failure());
        const bool core = mode_ == TagMode::core;
        auto loaded = loadMovie(file_, id->size, {.boundPayload = core, .bitstream = core});
        if (loaded.failed()) {
            const Failure& why = loaded.failure();
            return error(why.message.empty() ? unreadable() : why.message.c_str(), why);
        }
        LoadedMovie& movie = *loaded;
        MovieFile m{
            &file_, path_, *id, std::move(movie.top), movie.moovAtom, std::move(movie.moov)};
        const std::optional<BitstreamLayer>& bitstream = movie.bitstream;
        const TopAtom* moov = &m.moov;
        const MoovLayout& layout = movie.layout;
        MoviePlan plan = planMovieEdit(name_, file_, id->size, m.top, layout, m.moovBytes,
                                       moov->start, bitstream ? &*bitstream : nullptr, mode_);
        if (plan.done) return std::move(*plan.done);
        TGResult r = applyEdit(m, plan.edit, onMoving_);
        // A refusal of the edit engine's own (no route for the insertion) has no system cause.
        if (r.outcome == TGOutcome::error && !r.detail) r.detail = "no further cause known";
        if (r.outcome == TGOutcome::error) return r;
        r.layers = std::move(plan.layers);
        return r;
    }

    std::filesystem::path path_;
    std::string name_;
    TagMode mode_;
    const Progress& onMoving_;
    FileHandle file_;
};

} // namespace

MoviePlan planMovieEdit(const std::string& name, const FileHandle& file, std::uint64_t fileSize,
                        const std::vector<TopAtom>& top, const MoovLayout& layout, Bytes moov,
                        std::uint64_t moovStart, const BitstreamLayer* bitstream, TagMode mode) {
    const ColourDecision d = decideColour(layout, moov, moovStart, bitstream);
    MoviePlan plan;
    const auto finish = [&](TGOutcome outcome, const std::string& message,
                            std::vector<std::string> layers = {}) {
        plan.done = TGResult(name, outcome, message);
        plan.done->layers = std::move(layers);
        if (outcome == TGOutcome::skipped && d.verdict == Verdict::noVideo)
            plan.done->detail = noVideoReason(layout);
        else if (outcome == TGOutcome::skipped)
            plan.done->detail = "bitstream colour cannot be rewritten";
        return std::move(plan);
    };
    MovieEdit& edit = plan.edit;
    if (mode == TagMode::core) {
        switch (d.verdict) {
        case Verdict::noVideo:
            return finish(TGOutcome::skipped, "No video track to tag");
        case Verdict::hdr:
            return finish(TGOutcome::hdr, "HDR — left unchanged");
        case Verdict::alreadyP3:
            return finish(TGOutcome::already, "Already Display-P3", layersOf(d));
        case Verdict::alreadyTagged:
            return finish(TGOutcome::already, "Already tagged");
        case Verdict::bitstreamOnly:
            return finish(TGOutcome::skipped, "Container already Display-P3" + stillSays(d),
                          layersOf(d));
        case Verdict::patch:
            edit.outcome = TGOutcome::fixed;
            edit.message = "Fixed → Display-P3" + stillSays(d);
            break;
        case Verdict::insert:
            edit.outcome = TGOutcome::added;
            edit.message = "No tag found — added Display-P3" + stillSays(d);
            break;
        }
        edit.overwrites = d.patches;
        plan.layers = layersOf(d);
    } else {
        if (d.verdict == Verdict::noVideo)
            return finish(TGOutcome::skipped, "No video track to tag");
        if (d.untagged.empty()) return finish(TGOutcome::already, "Already tagged");
        edit.outcome = TGOutcome::added;
        edit.message = "No tag found — added Display-P3";
        plan.layers = {"container"};
    }
    const auto& rewrites = mode == TagMode::core ? d.rewrites : std::vector<SpsRewrite>{};
    if (!d.untagged.empty() || !rewrites.empty()) {
        InsertionPlan insertion =
            planInsertion(layout, moov, moovStart, d.untagged, rewrites, d.fullRange);
        if (insertion.kind == PlanKind::insert)
            insertion.kind = topLevelRefusal(file, fileSize, top, edit);
        if (insertion.kind != PlanKind::insert) {
            plan.done = TGResult(name, TGOutcome::error, refusalMessage(insertion.kind));
            plan.done->detail = layout.why.empty() ? refusalReason(insertion.kind) : layout.why;
            return plan;
        }
        edit.insertion = std::move(insertion);
    }
    return plan;
}

TGResult tagMovie(const std::filesystem::path& file, TagMode mode, const Progress& onMoving) {
    return Session(file, mode, onMoving).run();
}

TGResult processCore(const std::filesystem::path& file,
                     const std::function<void(double)>& onMoving) {
    return tagMovie(file, TagMode::core, onMoving);
}

TGResult addColr(const std::filesystem::path& file) {
    return tagMovie(file, TagMode::addOnly, {});
}

bool hasInterruptedEdit(const std::filesystem::path& file) {
    auto opened = FileHandle::openRegular(file, false);
    // Any mark: even one an in-place run would only clean up must not be copied along.
    return opened.ok() && findMark(*opened).has_value();
}

} // namespace tg
