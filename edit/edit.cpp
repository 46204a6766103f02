#include "edit/edit.h"

#include "base/checksum.h"
#include "base/file_faults.h"
#include "edit/mark.h"
#include "edit/routes.h"

#include <algorithm>
#include <cerrno>

namespace tg {

namespace {

// Behind this much tail, whole blocks are inserted instead of moving the tail (where the file
// system can); smaller files keep their exact growth.
constexpr std::uint64_t RANGE_FROM = 64ull << 20;
// Past this many same-length writes, the cache around them is dropped first. Folios of file
// data seen here are at most 128 KiB; a span of 512 KiB covers larger ones too without dropping
// much more of the cache than the writes need (a folio the span misses only costs write-back).
constexpr std::size_t SPREAD_WRITES = 64;
constexpr std::uint64_t FOLIO_SPAN = 512ull << 10;
// Room kept free beyond what an edit needs, for the file system's own records.
constexpr std::uint64_t SPACE_MARGIN = 1ull << 20;

const char* const PARTWAY = "Write failed partway — file may need re-export";
const char* const GROW_FAILED = "Couldn't grow file (disk full?)";
const char* const NO_ROOM = "Not enough space for the edit on this file system";
const char* const OUT_OF_ROOM = "Out of space partway — free some space and run again to finish";
const char* const CHANGED = "File changed while it was being read — left unchanged";
const char* const NO_JOURNAL = "No write permission";
const char* const WRITE_FAILED = "Write failed";
// What identifies the file beside its journal: bytes before the first the edit writes, and a
// window of media near the end, which the edit at most moves.
constexpr std::uint64_t HEAD_WINDOW = 64ull << 10;
constexpr std::uint64_t MEDIA_WINDOW = 256;

TGResult failed(const std::filesystem::path& path, const char* message, const Failure& why,
                const std::string& context = {}) {
    TGResult r(path.filename().string(), TGOutcome::error, message);
    if (!why.cause.empty() || !context.empty())
        r.detail = context.empty() ? why.cause : context + ": " + why.cause;
    return r;
}

bool isOutOfSpace(const Failure& f) {
    return f.is(ENOSPC) || f.is(EDQUOT);
}

// Space the route needs beyond what the file holds now, journal included.
std::uint64_t spaceNeeded(const Journal& j, const FileSystemInfo& fs, const FileIdentity& id) {
    std::uint64_t journal =
        PAGE_BYTES + j.region.size() + (j.route == Route::shift ? 2 * j.chunk : 0);
    for (const auto& w : j.writes)
        journal += 2 * w.bytes.size() + 32;
    journal += 28 * j.extents.size();
    std::uint64_t need = journal + (j.newSize - j.oldSize);
    if (fs.copyOnWrite) {
        // Every block rewritten lands in a new block while the old one may live on (a clone).
        need += j.region.size();
        if (j.route == Route::shift) need += j.oldSize - std::min(j.oldSize, j.regionOldEnd);
    }
    // A shift writes every byte of the tail, holes of a sparse file included, as data.
    if (j.route == Route::shift) {
        const std::uint64_t tail = j.oldSize - std::min(j.oldSize, j.regionOldEnd);
        need += std::min(tail, j.oldSize - std::min(j.oldSize, id.allocated));
    }
    return need + SPACE_MARGIN;
}

// What a range insertion left behind, judged from the extent map before it and now.
enum class RangeState { notStarted, grownOnly, partial, done, unknown };
struct RangeFinding {
    RangeState state = RangeState::unknown;
    std::uint64_t at = 0; // where the hole of a partial insertion starts
};

RangeFinding findRangeState(const Journal& j, const std::vector<Extent>& now, std::uint64_t size,
                            std::uint64_t blockSize) {
    const std::uint64_t b = j.rangeAt, len = j.delta;
    struct Piece {
        std::uint64_t logical, physical, length;
    };
    std::vector<Piece> pieces;
    for (const auto& e : j.extents) {
        if (e.logical + e.length <= b) continue;
        const std::uint64_t start = std::max(e.logical, b);
        pieces.push_back({start, e.physical + (start - e.logical), e.logical + e.length - start});
    }
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece& x, const Piece& y) { return x.logical < y.logical; });
    std::vector<Extent> byPhysical = now;
    std::sort(byPhysical.begin(), byPhysical.end(),
              [](const Extent& x, const Extent& y) { return x.physical < y.physical; });
    // 0: where it was, 1: moved by len, -1: neither.
    auto whereIs = [&](const Piece& p) {
        auto it =
            std::upper_bound(byPhysical.begin(), byPhysical.end(), p.physical,
                             [](std::uint64_t phys, const Extent& e) { return phys < e.physical; });
        if (it == byPhysical.begin()) return -1;
        --it;
        if (p.physical - it->physical >= it->length) return -1;
        const std::uint64_t logical = it->logical + (p.physical - it->physical);
        return logical == p.logical ? 0 : logical == p.logical + len ? 1 : -1;
    };
    std::size_t firstMoved = pieces.size();
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const int w = whereIs(pieces[i]);
        if (w < 0) return {};
        if (w == 1 && firstMoved == pieces.size()) firstMoved = i;
        if (w == 0 && firstMoved != pieces.size()) return {}; // moved ones come last
    }
    if (firstMoved == pieces.size()) {
        if (size == j.oldSize) return {RangeState::notStarted, 0};
        if (size == j.oldSize + len) return {RangeState::grownOnly, 0};
        return {};
    }
    if (size != j.oldSize + len) return {};
    if (firstMoved == 0) return {RangeState::done, 0};
    const Piece& last = pieces[firstMoved - 1];
    const std::uint64_t at = roundUp(last.logical + last.length, blockSize);
    if (at > pieces[firstMoved].logical) return {};
    return {RangeState::partial, at};
}

// Undoes a range insertion that did not finish; true when the file is the original again.
Result<bool> undoRange(const FileHandle& file, const Journal& j) {
    auto size = file.size();
    if (size.failed()) return size.failure();
    auto fs = file.fileSystem();
    if (fs.failed()) return fs.failure();
    auto map = file.extents();
    if (map.failed()) return map.failure();
    const RangeFinding found =
        findRangeState(j, *map, *size - std::min(*size, j.markSize), fs->blockSize);
    Status s;
    switch (found.state) {
    case RangeState::notStarted:
        return true;
    case RangeState::grownOnly:
        s = file.truncate(j.oldSize + j.markSize); // only the growth of this very edit goes
        break;
    case RangeState::partial:
        s = file.collapseRange(found.at, j.delta);
        break;
    case RangeState::done:
    case RangeState::unknown:
        return false;
    }
    if (s.ok()) s = file.sync();
    if (s.failed()) return s.failure();
    auto after = file.size();
    return after.ok() && *after == j.oldSize + j.markSize;
}

Status writeRegionAndFixes(const FileHandle& file, const Journal& j) {
    if (!j.region.empty())
        if (Status s = file.writeAt(j.regionStart, j.region); s.failed()) return s;
    // Many small writes spread over the media (one per frame header) would each dirty a whole
    // large folio of the page cache, and so write back most of the file; small pages instead.
    if (j.writes.size() > SPREAD_WRITES) {
        std::uint64_t dropped = UINT64_MAX;
        for (const auto& w : j.writes) {
            const std::uint64_t from = w.at - w.at % FOLIO_SPAN;
            if (from == dropped) continue;
            file.dropCached(from, FOLIO_SPAN);
            dropped = from;
        }
        // Each write reads its page first: ask for them all at once, a page each.
        for (const auto& w : j.writes)
            file.prefetch(w.at - w.at % PAGE_BYTES, PAGE_BYTES);
    }
    for (const auto& w : j.writes)
        if (Status s = file.writeAt(w.at, w.bytes); s.failed()) return s;
    return file.sync();
}

// Moves the tail step by step, redoing first the steps recorded before a stop (each writes its
// own bytes to their final place, so any of them may be redone); then writes the region and the
// fixes.
Status runShift(const FileHandle& file, const JournalFile& jf, const std::vector<ShiftStep>& redo,
                const Progress& onMoving) {
    const Journal& j = jf.journal();
    const std::uint64_t steps = stepCount(j);
    const std::uint64_t tail = j.oldSize - std::min(j.oldSize, j.regionOldEnd);
    const bool report = onMoving && tail > PROGRESS_FROM;
    std::uint64_t next = 0;
    for (const ShiftStep& step : redo) {
        if (Status s = file.writeAt(step.from + j.delta, step.data); s.failed()) return s;
        next = step.index + 1;
    }
    if (!redo.empty())
        if (Status s = file.syncData(); s.failed()) return s;
    std::vector<std::uint8_t> block;
    for (std::uint64_t i = next; i < steps; ++i) {
        if (report) onMoving(double(i * j.chunk) / double(tail));
        const StepRange r = stepRange(j, i);
        block.resize(r.length);
        auto got = file.readAt(r.from, block);
        if (got.failed()) return got.failure();
        if (*got != r.length) return errnoFailure(EIO);
        // The step's bytes are safe in the journal before their old place is overwritten, and the
        // step before is durable in the file before its record's slot is taken again. Both files
        // write back at once, and the disk is busy while the next step is read.
        if (Status s = jf.writeStep(i, r.from, block); s.failed()) return s;
        if (Status s = file.syncData(); s.failed()) return s;
        if (Status s = jf.flushSteps(); s.failed()) return s;
        if (Status s = file.writeAt(r.from + j.delta, block); s.failed()) return s;
        file.startWriteback();
        // Steps run backwards, which the kernel's read-ahead does not follow.
        if (i + 1 < steps) file.prefetch(stepRange(j, i + 1).from, stepRange(j, i + 1).length);
    }
    if (steps > next)
        if (Status s = file.syncData(); s.failed()) return s;
    if (report) onMoving(1.0);
    return writeRegionAndFixes(file, j);
}

bool sameAsPlanned(const FileHandle& file, const FileIdentity& planned) {
    auto now = file.identity();
    return now.ok() && now->size == planned.size && now->mtimeNs == planned.mtimeNs;
}

// Where a write recorded at its final position lay before the edit.
std::uint64_t oldPosition(const Journal& j, std::uint64_t at) {
    return j.delta != 0 && at >= j.regionOldEnd + j.delta ? at - j.delta : at;
}

bool hashIs(const FileHandle& file, std::uint64_t at, std::uint64_t length, std::uint64_t hash) {
    auto bytes = file.readFully(at, std::size_t(length));
    return bytes.ok() && checksum64(*bytes) == hash;
}

// Records what tells this file from any other in every state the edit can leave it in: the bytes
// before the first one it changes, and the last window of bytes that it at most moves.
Status takeFingerprint(const FileHandle& file, Journal& j) {
    struct Span {
        std::uint64_t from, to;
    };
    std::vector<Span> changed;
    if (j.regionOldEnd > j.regionStart) changed.push_back({j.regionStart, j.regionOldEnd});
    for (const auto& w : j.writes)
        changed.push_back({oldPosition(j, w.at), oldPosition(j, w.at) + w.bytes.size()});
    std::uint64_t first = j.oldSize;
    for (const Span& c : changed)
        first = std::min(first, c.from);
    j.headLength = std::min(HEAD_WINDOW, first);
    auto head = file.readFully(0, std::size_t(j.headLength));
    if (head.failed()) return head.failure();
    j.headHash = checksum64(*head);
    std::uint64_t end = j.oldSize;
    for (bool clear = false; !clear && end >= j.headLength + MEDIA_WINDOW;) {
        clear = true;
        for (const Span& c : changed)
            if (c.from < end && c.to > end - MEDIA_WINDOW) {
                end = c.from;
                clear = false;
            }
    }
    if (end < j.headLength + MEDIA_WINDOW) return {};
    j.windowAt = end - MEDIA_WINDOW;
    j.windowLength = MEDIA_WINDOW;
    auto window = file.readFully(j.windowAt, MEDIA_WINDOW);
    if (window.failed()) return window.failure();
    j.windowHash = checksum64(*window);
    return {};
}

// Whether the file is the one the journal was written for: its window of media may lie at its
// old place, at its new one, or (a step cut short in its write) only in the journal's step.
bool isJournaledFile(const FileHandle& file, const Journal& j,
                     const std::vector<ShiftStep>& steps) {
    if (!hashIs(file, 0, j.headLength, j.headHash)) return false;
    if (j.windowLength == 0 || hashIs(file, j.windowAt, j.windowLength, j.windowHash)) return true;
    if (j.delta != 0 && j.windowAt >= j.regionOldEnd &&
        hashIs(file, j.windowAt + j.delta, j.windowLength, j.windowHash))
        return true;
    for (const ShiftStep& step : steps)
        if (step.from <= j.windowAt &&
            j.windowAt + j.windowLength <= step.from + step.data.size() &&
            checksum64(Bytes(step.data).subspan(j.windowAt - step.from, j.windowLength)) ==
                j.windowHash)
            return true;
    return false;
}

// Ends an edit whose content is whole again at `size`: the mark says so, the journal goes, then
// the mark. A stop in between leaves a settled mark, which the next run only cuts off.
Status settle(const FileHandle& file, JournalFile& jf, std::uint64_t size) {
    const std::uint64_t markSize = jf.journal().markSize;
    if (Status s = setMarkState(file, size + markSize, MarkState::settled); s.failed()) return s;
    if (Status s = jf.remove(); s.failed()) return s;
    if (Status s = file.truncate(size); s.failed()) return s;
    return file.sync();
}

// Takes back a mark (and the journal, once the mark is gone) before the content changed.
void takeBack(const FileHandle& file, const Journal& j, JournalFile* jf) {
    Status s = file.truncate(j.oldSize);
    if (s.ok()) s = file.sync();
    if (s.ok() && jf) jf->remove().ok();
}

enum class Ran { done, fallBack };

// Makes the edit findable and recoverable before the content changes: the mark, the journal, then
// the mark saying the journal is whole. The mark goes first, so that a stop while the journal is
// being written still leads the next run to it. A failure (its message the result's) leaves the
// file's content as it was.
Result<JournalFile> beginEdit(const EditTarget& target, const EditPlan& plan, Journal& j) {
    const FileHandle& file = *target.file;
    const auto folder = folderOf(target.path);
    std::error_code ec;
    EditMark mark{uuidString(), std::filesystem::absolute(folder, ec), j.oldSize};
    j.id = mark.id;
    j.markSize = encodeMark(mark, plan.markHead).size();
    if (Status s = takeFingerprint(file, j); s.failed())
        return Failure{"Read error", s.failure().cause, s.failure().code};
    const Failure changed{CHANGED, {}};
    if (!sameAsPlanned(file, target.identity)) return changed;
    // A shift's growth and its mark are reserved first: a full disk fails here, not mid-shift.
    const std::uint64_t markAt = j.route == Route::shift ? j.newSize : j.oldSize;
    Status s = file.reserve(j.oldSize, markAt + j.markSize - j.oldSize);
    // The last look before the first write past the end, which another writer may have reached
    // (the reservation itself may change the modification time).
    if (auto size = file.size(); s.ok() && (size.failed() || *size != j.oldSize)) return changed;
    if (s.ok()) s = file.writeAt(j.oldSize, encodeMark(mark, plan.markHead));
    if (s.ok()) s = file.sync();
    auto marked = file.identity();
    const auto writeFailed = [&](const Failure& why) {
        return Failure{isOutOfSpace(why) ? GROW_FAILED : WRITE_FAILED, why.cause, why.code};
    };
    if (s.failed() || marked.failed()) {
        takeBack(file, j, nullptr);
        return writeFailed(s.failed() ? s.failure() : marked.failure());
    }
    file.linkAs(journalLinkPath(folder, j.id)).ok(); // where the file system has hard links
    auto jf = JournalFile::create(journalPath(folder, j.id), j);
    if (jf.failed()) {
        removeFile(journalLinkPath(folder, j.id));
        takeBack(file, j, nullptr);
        const Failure& why = jf.failure();
        return Failure{!isOutOfSpace(why)      ? NO_JOURNAL
                       : j.newSize > j.oldSize ? GROW_FAILED
                                               : NO_ROOM,
                       "edit journal: " + why.cause, why.code};
    }
    // The journal is durable; one more look, then the file changes.
    if (!sameAsPlanned(file, *marked)) {
        // Only this run's own mark is taken back; another program's writes stay as they are.
        auto now = file.size();
        if (now.ok() && *now == marked->size)
            takeBack(file, j, &*jf);
        else
            jf->remove().ok();
        return changed;
    }
    mark.state = MarkState::journaled;
    s = file.writeAt(markAt, encodeMark(mark, plan.markHead));
    if (s.ok()) s = file.sync();
    if (s.failed()) {
        takeBack(file, j, &*jf);
        return writeFailed(s.failure());
    }
    return jf;
}

// Carries out one journaled route. A fallBack means the file system declined a range insertion
// before anything changed.
Result<Ran> carryOut(const EditTarget& target, const EditPlan& plan, Journal j,
                     const Progress& onMoving, TGResult& result) {
    const FileHandle& file = *target.file;
    auto jf = beginEdit(target, plan, j);
    if (jf.failed()) {
        TGResult r(target.path.filename().string(), TGOutcome::error, jf.failure().message);
        if (!jf.failure().cause.empty()) r.detail = jf.failure().cause;
        result = r;
        return Ran::done;
    }
    Status s;
    auto partway = [&](const Failure& f) {
        result = failed(target.path, isOutOfSpace(f) ? OUT_OF_ROOM : PARTWAY, f);
        return Ran::done;
    };
    switch (j.route) {
    case Route::overwrite:
    case Route::absorb:
        s = writeRegionAndFixes(file, j);
        break;
    case Route::insertRange: {
        s = file.insertRange(j.rangeAt, j.delta);
        if (s.failed()) {
            const bool declined = s.is(EOPNOTSUPP) || s.is(EINVAL) || s.is(ENOTTY);
            auto undone = undoRange(file, j);
            if (undone.ok() && *undone && settle(file, *jf, j.oldSize).ok()) {
                if (declined) return Ran::fallBack;
                result = failed(target.path, GROW_FAILED, s.failure());
                return Ran::done;
            }
            return partway(s.failure());
        }
        s = writeRegionAndFixes(file, j);
        break;
    }
    case Route::shift:
        s = runShift(file, *jf, {}, onMoving);
        break;
    }
    if (s.failed()) return partway(s.failure());
    // The file is whole on disk: only now may the journal go. What a stop leaves from here on is
    // a finished file that the next run only cleans up.
    settle(file, *jf, j.newSize).ok();
    return Ran::done;
}

} // namespace

TGResult runEdit(const EditTarget& target, const EditPlan& plan, const Progress& onMoving) {
    TGResult result(target.path.filename().string(), plan.outcome, plan.message);
    auto fs = target.file->fileSystem();
    if (fs.failed()) return failed(target.path, PARTWAY, fs.failure());
    RoutePlanner planner(target, plan);
    // Planning reads the movie and flushes it before a range insertion: a full disk met there
    // is still a full disk, not a read error.
    const auto plannerFailed = [&](const Failure& why) {
        return failed(target.path, isOutOfSpace(why) ? NO_ROOM : "Read error", why);
    };

    std::vector<Journal> routes;
    if (!plan.growth) {
        routes.push_back(planner.overwrite());
    } else {
        auto absorbed = planner.absorb();
        if (absorbed.failed()) return plannerFailed(absorbed.failure());
        if (*absorbed) routes.push_back(std::move(**absorbed));
        const RangeInsertion rule = fileFaults().rangeInsertion;
        const bool wantRange = rule == RangeInsertion::always ||
                               (rule == RangeInsertion::bySize && planner.tail() > RANGE_FROM);
        if (routes.empty() && wantRange) {
            auto range = planner.insertRange(*fs);
            if (range.failed()) return plannerFailed(range.failure());
            if (*range) routes.push_back(std::move(**range));
        }
        auto shifted = planner.shift();
        if (shifted.failed()) return plannerFailed(shifted.failure());
        if (*shifted) routes.push_back(std::move(**shifted));
        if (routes.empty())
            return TGResult(target.path.filename().string(), TGOutcome::error,
                            plan.growth->noRoute);
    }

    for (const auto& j : routes) {
        if (!fileFaults().skipSpaceCheck) {
            auto now = target.file->fileSystem();
            if (now.ok() && now->freeBytes < spaceNeeded(j, *now, target.identity)) {
                const bool grows = j.newSize > j.oldSize;
                TGResult r(target.path.filename().string(), TGOutcome::error,
                           grows && !now->copyOnWrite ? GROW_FAILED : NO_ROOM);
                r.detail = "needs " + std::to_string(spaceNeeded(j, *now, target.identity)) +
                           " bytes, " + std::to_string(now->freeBytes) + " free";
                return r;
            }
        }
        auto ran = carryOut(target, plan, j, onMoving, result);
        if (ran.failed()) return failed(target.path, PARTWAY, ran.failure());
        if (*ran == Ran::done) return result;
    }
    return failed(target.path, GROW_FAILED, {});
}

namespace {

std::optional<std::filesystem::path> locateJournal(const std::filesystem::path& file,
                                                   const EditMark& mark) {
    for (const auto& folder : {folderOf(file), mark.folder}) {
        std::error_code ec;
        const auto path = journalPath(folder, mark.id);
        if (!folder.empty() &&
            std::filesystem::symlink_status(path, ec).type() !=
                std::filesystem::file_type::not_found &&
            !ec)
            return path;
    }
    return std::nullopt;
}

std::string journalNotFound(const std::filesystem::path& file, const EditMark& mark) {
    const std::string name = journalPath({}, mark.id).filename().string();
    std::string where = folderOf(file).string();
    std::error_code ec;
    if (!mark.folder.empty() && !std::filesystem::equivalent(mark.folder, folderOf(file), ec))
        where += " or " + mark.folder.string();
    return "the edit was interrupted, and its journal " + name + " is not in " + where;
}

// An edit whose content is whole (it never began, or it ended and was cleaning up): its journal
// goes if it is still there, then the mark.
Status cleanUp(const FileHandle& file, const EditMark& mark,
               const std::optional<std::filesystem::path>& journalAt) {
    if (journalAt) removeJournal(*journalAt, mark.id);
    Status s = file.truncate(mark.state == MarkState::pending ? mark.original : mark.start);
    return s.ok() ? file.sync() : s;
}

} // namespace

bool discardEdit(const std::filesystem::path& file) {
    auto opened = FileHandle::openRegular(file, false);
    if (opened.failed()) return false;
    const auto mark = findMark(*opened);
    if (!mark) return false;
    return removeJournal(journalPath(folderOf(file), mark->id), mark->id);
}

Result<Recovery> recoverEdit(const FileHandle& file, const std::filesystem::path& path,
                             const Progress& onMoving) {
    const auto mark = findMark(file);
    if (!mark) return Recovery{};
    const auto journalAt = locateJournal(path, *mark);
    if (mark->state != MarkState::journaled) {
        if (Status s = cleanUp(file, *mark, journalAt); s.failed()) return s.failure();
        return Recovery{};
    }
    if (!journalAt) return Failure{{}, journalNotFound(path, *mark)};
    auto id = file.identity();
    if (id.failed()) return id.failure();
    const std::string named = "the edit journal " + journalAt->string();
    auto opened = JournalFile::open(*journalAt, *id);
    if (opened.failed()) return Failure{{}, named + " is not trusted: " + opened.failure().cause};
    auto& [state, jf] = *opened;
    if (state != JournalFile::State::valid) return Failure{{}, named + " cannot be read"};
    const Journal& j = jf.journal();
    const auto steps = j.route == Route::shift ? jf.recordedSteps() : std::vector<ShiftStep>{};
    const std::uint64_t content = id->size - std::min(id->size, j.markSize);
    if (j.id != mark->id || !isJournaledFile(file, j, steps))
        return Failure{{}, named + " does not match this file"};
    Recovery done{Recovered::finished, j.outcome};
    std::uint64_t size = j.newSize;
    Status s;
    switch (j.route) {
    case Route::overwrite:
    case Route::absorb:
        if (content != j.oldSize) return Failure{{}, "size differs from the journal's"};
        s = writeRegionAndFixes(file, j);
        break;
    case Route::insertRange: {
        auto map = file.extents();
        if (map.failed()) return map.failure();
        auto fs = file.fileSystem();
        if (fs.failed()) return fs.failure();
        const RangeFinding found = findRangeState(j, *map, content, fs->blockSize);
        if (found.state == RangeState::unknown)
            return Failure{{}, "the file's blocks are not where the journal left them"};
        if (found.state == RangeState::done) {
            s = writeRegionAndFixes(file, j);
            break;
        }
        auto undone = undoRange(file, j);
        if (undone.failed()) return undone.failure();
        if (!*undone) return Failure{{}, "a partial range insertion could not be undone"};
        done.kind = found.state == RangeState::notStarted ? Recovered::nothing : Recovered::undone;
        size = j.oldSize;
        break;
    }
    case Route::shift:
        if (content != j.newSize) return Failure{{}, "size differs from the journal's"};
        s = runShift(file, jf, steps, onMoving);
        break;
    }
    if (s.failed()) return s.failure();
    if (Status r = settle(file, jf, size); r.failed()) return r.failure();
    removeFile(journalLinkPath(mark->folder, mark->id)); // where the journal no longer is
    return done;
}

TGResult failedResult(const std::filesystem::path& path, const std::string& message,
                      const Failure& why) {
    TGResult r(path.filename().string(), TGOutcome::error, message);
    r.detail = !why.cause.empty() ? why.cause : !why.message.empty() ? why.message : "failed";
    return r;
}

TGResult tagLocked(const FileHandle& file, const std::filesystem::path& path,
                   const Progress& onMoving, const std::function<TGResult()>& tag) {
    if (Status lock = file.tryLock(LockKind::exclusive); lock.failed())
        return failedResult(path,
                            FileHandle::isHeldElsewhere(lock) ? IN_USE_MESSAGE
                                                              : "Can't lock the file for editing",
                            lock.failure());
    auto recovered = recoverEdit(file, path, onMoving);
    if (recovered.failed())
        return failedResult(path, "Can't finish an interrupted edit — file left as it is",
                            recovered.failure());
    constexpr const char* FINISHED = "Interrupted edit finished → Display-P3";
    TGResult r = tag();
    switch (recovered->kind) {
    case Recovered::nothing:
        break;
    case Recovered::finished:
        if (r.outcome == TGOutcome::already) {
            TGResult f(path.filename().string(), recovered->outcome, FINISHED);
            f.layers = r.layers;
            return f;
        }
        r.message = std::string(FINISHED) + "; " + r.message;
        break;
    case Recovered::undone:
        r.message = "Interrupted edit undone; " + r.message;
        break;
    }
    return r;
}

} // namespace tg
