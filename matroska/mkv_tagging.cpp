#include "matroska/mkv_tagging.h"

#include "codec/colour_codes.h"
#include "edit/edit.h"
#include "edit/journal.h"
#include "edit/mark.h"
#include "matroska/mkv_edit.h"

#include <cerrno>

namespace tg {

namespace {

// No Matroska file is shorter than an EBML header and an empty Segment.
constexpr std::uint64_t MIN_MATROSKA = 17;

const char* const NO_WRITE = "No write permission";
const char* const UNREADABLE = "Can't read file";
const char* const WAITING = "Interrupted edit waits — an in-place run finishes it first";

// What a run does with the file: a result at once (nothing to do, or a refusal), or the plan
// with the result it gives when done.
struct RunPlan {
    std::optional<TGResult> done;
    EditPlan plan;
    std::string route;               // how the edit makes room, for --inspect
    std::vector<std::string> layers; // that state Display P3 once it is done
};

// What the result adds when the container is tagged but some of the bitstream is not.
std::string stillSays(const MkvDecision& d) {
    if (const auto left = d.bitstreamLeft())
        return " — bitstream still says " + primariesName(*left);
    if (d.bitstreamUnreadable()) return " — bitstream left unchanged (unreadable)";
    if (d.bitstreamSilent()) return " — bitstream still says nothing";
    return {};
}

RunPlan planRun(const std::string& name, const FileHandle& file, const MkvFile& m) {
    const MkvDecision d = decideMatroska(m);
    RunPlan run;
    const auto finish = [&](TGOutcome outcome, const std::string& message,
                            const std::string& detail, std::vector<std::string> layers = {}) {
        run.done = TGResult(name, outcome, message);
        if (!detail.empty()) run.done->detail = detail;
        run.done->layers = std::move(layers);
        return std::move(run);
    };
    if (d.tracks.empty())
        return finish(TGOutcome::skipped, "No video track to tag", "no video track");
    for (const auto& t : d.tracks)
        if (t.verdict == TrackVerdict::hdr)
            return finish(TGOutcome::hdr, "HDR — left unchanged", t.why);
    std::vector<std::string> layers = {"container"};
    if (d.bitstreamP3()) layers.emplace_back("bitstream");
    if (d.all(TrackVerdict::already)) {
        if (d.bitstreamLeft() || d.bitstreamUnreadable())
            return finish(TGOutcome::skipped, "Container already Display-P3" + stillSays(d),
                          "bitstream colour cannot be rewritten", {"container"});
        return finish(TGOutcome::already, "Already Display-P3", {}, layers);
    }
    auto plan = planMatroskaEdit(file, m, d, d.bitstreamWrites());
    if (plan.failed()) {
        const Failure& why = plan.failure();
        return finish(TGOutcome::error, why.message.empty() ? DAMAGED_MATROSKA : why.message,
                      why.cause.empty() ? "no further cause known" : why.cause);
    }
    const bool fixed = d.any(TrackVerdict::fixed);
    run.plan = std::move(*plan);
    run.plan.outcome = fixed ? TGOutcome::fixed : TGOutcome::added;
    run.plan.message =
        (fixed ? "Fixed → Display-P3" : "No tag found — added Display-P3") + stillSays(d);
    run.layers = std::move(layers);
    if (run.plan.growth)
        run.route = "Tracks grows: a Void after it, else blocks inserted or the tail moved";
    else if (d.any(TrackVerdict::added))
        run.route = "Tracks grows into the Void before it";
    else
        run.route = "same-length patch";
    return run;
}

class Session {
public:
    Session(const std::filesystem::path& file, const std::function<void(double)>& onMoving)
        : path_(file), name_(file.filename().string()), onMoving_(onMoving) {}

    TGResult run() {
        if (!isMovie(path_)) {
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

    TGResult openFailed(const Failure& why) const {
        const bool denied = why.is(EACCES) || why.is(EPERM) || why.is(EROFS) || why.is(ETXTBSY);
        if (denied && fileSizeOf(path_) >= std::int64_t(MIN_MATROSKA)) return error(NO_WRITE, why);
        return error(UNREADABLE, why);
    }

    TGResult tag() {
        auto id = file_.identity();
        if (id.failed()) return error(UNREADABLE, id.failure());
        if (id->size < MIN_MATROSKA) return error(UNREADABLE, {{}, "too short to be Matroska"});
        auto loaded = loadMatroska(file_, id->size);
        if (loaded.failed()) {
            const Failure& why = loaded.failure();
            return error(why.message.empty() ? UNREADABLE : why.message, why);
        }
        RunPlan run = planRun(name_, file_, *loaded);
        if (run.done) return std::move(*run.done);
        TGResult r = runEdit({&file_, path_, *id}, run.plan, onMoving_);
        if (r.outcome == TGOutcome::error) {
            if (!r.detail) r.detail = "no further cause known";
            return r;
        }
        r.layers = std::move(run.layers);
        return r;
    }

    std::filesystem::path path_;
    std::string name_;
    const std::function<void(double)>& onMoving_;
    FileHandle file_;
};

} // namespace

TGResult tagMatroska(const std::filesystem::path& file,
                     const std::function<void(double)>& onMoving) {
    return Session(file, onMoving).run();
}

MkvInspection inspectMatroska(const std::filesystem::path& file) {
    MkvInspection out;
    const std::string name = file.filename().string();
    std::optional<TGResult> waiting;
    const auto refuse = [&](const std::string& message, const Failure& why) {
        out.inPlace = TGResult(name, TGOutcome::error, message);
        out.inPlace.detail = why.cause.empty() ? message : why.cause;
        if (waiting) out.inPlace = std::move(*waiting);
        return std::move(out);
    };
    auto opened = FileHandle::openRegular(file, false);
    if (opened.failed()) return refuse(UNREADABLE, opened.failure());
    // Only an edit in progress holds an exclusive lock; what it leaves half-written is not read.
    if (Status lock = opened->tryLock(LockKind::shared);
        lock.failed() && FileHandle::isHeldElsewhere(lock))
        return refuse(IN_USE_MESSAGE, lock.failure());
    if (const auto mark = findMark(*opened)) {
        out.interruptedEdit = true;
        std::optional<TGOutcome> outcome;
        for (const auto& folder : {folderOf(file), mark->folder})
            if (auto j = readJournal(journalPath(folder, mark->id)); j && j->id == mark->id)
                outcome = j->outcome;
        waiting = TGResult(name, outcome.value_or(TGOutcome::error), WAITING);
        if (!outcome) waiting->detail = "interrupted edit";
    }
    auto size = opened->size();
    if (size.failed()) return refuse(UNREADABLE, size.failure());
    out.readable = true;
    auto loaded = loadMatroska(*opened, *size);
    if (loaded.failed()) {
        out.readable = false;
        return refuse(loaded.failure().message.empty() ? UNREADABLE : loaded.failure().message,
                      loaded.failure());
    }
    const MkvDecision d = decideMatroska(*loaded);
    for (const auto& t : d.tracks) {
        const MkvTrack& track = loaded->trackList[t.track];
        MkvTrackReport r;
        r.number = track.number;
        r.codec = track.codec;
        r.colour = track.colour.has_value();
        r.hdr = t.verdict == TrackVerdict::hdr;
        r.bitstreamKind = t.bitstream.kind;
        r.bitstreamPrimaries = t.bitstream.primaries;
        r.bitstreamTransfer = t.bitstream.transfer;
        r.bitstreamMatrix = t.bitstream.matrix;
        if (track.primaries) r.primaries = track.primaries->value;
        if (track.transfer) r.transfer = track.transfer->value;
        if (track.matrix) r.matrix = track.matrix->value;
        out.tracks.push_back(std::move(r));
    }
    if (waiting) {
        out.inPlace = std::move(*waiting);
        return out;
    }
    RunPlan run = planRun(name, *opened, *loaded);
    if (run.done) {
        out.inPlace = std::move(*run.done);
    } else {
        out.inPlace = TGResult(name, run.plan.outcome, run.plan.message);
        out.inPlace.layers = std::move(run.layers);
        out.route = run.route;
    }
    return out;
}

} // namespace tg
