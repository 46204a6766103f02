#include "edit/journal.h"

#include "base/byte_cursor.h"
#include "base/checksum.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace tg {

namespace {

constexpr std::array<std::uint8_t, 8> MAGIC = {'T', 'G', 'E', 'D', 'I', 'T', 0, 2};
constexpr std::uint64_t PREFIX = 24; // magic, total length, checksum
constexpr std::uint64_t SLOT_HEADER = 36;
constexpr std::array<std::uint8_t, 4> STEP = {'S', 'T', 'E', 'P'};
// A header larger than this is not one of ours (a region is bounded well below it).
constexpr std::uint64_t MAX_HEADER = 2ull << 30;

void putBlob(ByteWriter& o, Bytes d) {
    o.u64(d.size());
    o.bytes(d);
}

std::vector<std::uint8_t> takeBlob(ByteReader& in) {
    const std::uint64_t n = in.u64();
    const Bytes d = in.take(std::size_t(n));
    return {d.begin(), d.end()};
}

std::uint64_t slotSize(const Journal& j) {
    return roundUp(SLOT_HEADER + j.chunk, PAGE_BYTES);
}

} // namespace

std::uint64_t stepCount(const Journal& j) {
    if (j.route != Route::shift || j.chunk == 0 || j.oldSize <= j.regionOldEnd) return 0;
    return (j.oldSize - j.regionOldEnd + j.chunk - 1) / j.chunk;
}

StepRange stepRange(const Journal& j, std::uint64_t index) {
    const std::uint64_t tail = j.oldSize - j.regionOldEnd;
    const std::uint64_t endOff = tail - std::min(tail, index * j.chunk);
    const std::uint64_t startOff = endOff - std::min(endOff, j.chunk);
    return {j.regionOldEnd + startOff, endOff - startOff};
}

std::filesystem::path journalPath(const std::filesystem::path& folder, std::string_view id) {
    return folder / (".tg_edit_" + std::string(id) + ".journal");
}

std::filesystem::path journalLinkPath(const std::filesystem::path& folder, std::string_view id) {
    return folder / (".tg_edit_" + std::string(id) + ".file");
}

std::optional<std::string> journalIdOf(std::string_view name) {
    constexpr std::string_view PREFIX_ = ".tg_edit_", SUFFIX = ".journal";
    if (name.size() != PREFIX_.size() + 36 + SUFFIX.size() || !name.starts_with(PREFIX_) ||
        !name.ends_with(SUFFIX))
        return std::nullopt;
    return std::string(name.substr(PREFIX_.size(), 36));
}

std::vector<std::uint8_t> encodeJournal(const Journal& j) {
    ByteWriter o;
    o.bytes(MAGIC);
    o.u64(0); // total length, filled in below
    o.u64(0); // checksum
    o.u8(std::uint8_t(j.route));
    o.u8(std::uint8_t(j.outcome));
    putBlob(o, asBytes(j.id));
    putBlob(o, asBytes(j.name));
    o.u64(j.markSize);
    o.u64(j.headLength);
    o.u64(j.headHash);
    o.u64(j.windowAt);
    o.u64(j.windowLength);
    o.u64(j.windowHash);
    o.u64(j.oldSize);
    o.u64(j.newSize);
    o.u64(j.regionStart);
    o.u64(j.regionOldEnd);
    putBlob(o, j.region);
    o.u64(j.delta);
    o.u64(j.rangeAt);
    o.u64(j.chunk);
    o.u32(j.writes.size());
    for (const auto& w : j.writes) {
        o.u64(w.at);
        putBlob(o, w.bytes);
        putBlob(o, w.old);
    }
    o.u32(j.extents.size());
    for (const auto& e : j.extents) {
        o.u64(e.logical);
        o.u64(e.physical);
        o.u64(e.length);
        o.u32(e.flags);
    }
    std::vector<std::uint8_t> b = o.take();
    wU64(b, 8, b.size());
    wU64(b, 16, checksum64(Bytes(b).subspan(PREFIX)));
    return b;
}

std::optional<Journal> decodeJournal(Bytes b) {
    if (b.size() < PREFIX || !std::equal(MAGIC.begin(), MAGIC.end(), b.begin())) return {};
    const std::uint64_t total = u64(b, 8);
    if (total < PREFIX || total > b.size()) return {};
    b = b.first(total);
    if (checksum64(b.subspan(PREFIX)) != u64(b, 16)) return {};
    ByteReader in(b);
    in.seek(PREFIX);
    Journal j;
    const std::uint64_t route = in.u8();
    if (route > std::uint64_t(Route::shift)) return {};
    j.route = Route(route);
    const std::uint64_t outcome = in.u8();
    if (outcome > std::uint64_t(TGOutcome::error)) return {};
    j.outcome = TGOutcome(outcome);
    const std::vector<std::uint8_t> id = takeBlob(in);
    j.id.assign(id.begin(), id.end());
    const std::vector<std::uint8_t> name = takeBlob(in);
    j.name.assign(name.begin(), name.end());
    j.markSize = in.u64();
    j.headLength = in.u64();
    j.headHash = in.u64();
    j.windowAt = in.u64();
    j.windowLength = in.u64();
    j.windowHash = in.u64();
    j.oldSize = in.u64();
    j.newSize = in.u64();
    j.regionStart = in.u64();
    j.regionOldEnd = in.u64();
    j.region = takeBlob(in);
    j.delta = in.u64();
    j.rangeAt = in.u64();
    j.chunk = in.u64();
    for (std::uint64_t n = in.u32(); in.ok() && n > 0; --n) {
        Overwrite w;
        w.at = in.u64();
        w.bytes = takeBlob(in);
        w.old = takeBlob(in);
        j.writes.push_back(std::move(w));
    }
    for (std::uint64_t n = in.u32(); in.ok() && n > 0; --n) {
        Extent e;
        e.logical = in.u64();
        e.physical = in.u64();
        e.length = in.u64();
        e.flags = std::uint32_t(in.u32());
        j.extents.push_back(e);
    }
    if (!in.ok() || !in.atEnd()) return {};
    return j;
}

Result<JournalFile> JournalFile::create(const std::filesystem::path& path, const Journal& j) {
    JournalFile jf;
    jf.path_ = path;
    jf.journal_ = j;
    jf.file_ = FileHandle::createExclusive(path, 0600);
    if (!jf.file_.isOpen()) return errnoFailure(errno);
    const auto header = encodeJournal(j);
    jf.slotsAt_ = roundUp(header.size(), PAGE_BYTES);
    jf.seed_ = u64(header, 16);
    Status s = jf.file_.writeAt(0, header);
    // The two step slots are reserved now, so that no step runs out of room for its record.
    if (s.ok() && j.route == Route::shift) s = jf.file_.resize(jf.slotsAt_ + 2 * slotSize(j));
    if (s.ok()) s = jf.file_.sync();
    if (s.ok()) s = syncFolder(folderOf(path));
    if (s.failed()) {
        // Nothing of the file has changed yet: this journal records nothing worth keeping.
        jf.file_.reset();
        removeFile(path);
        syncFolder(folderOf(path)).ok();
        return s.failure();
    }
    return jf;
}

Result<std::pair<JournalFile::State, JournalFile>>
JournalFile::open(const std::filesystem::path& path, const FileIdentity& edited) {
    JournalFile jf;
    jf.path_ = path;
    auto opened = FileHandle::openNoFollow(path);
    if (opened.failed()) {
        if (opened.failure().is(ELOOP)) return Failure{{}, "it is a symbolic link"};
        return opened.failure();
    }
    jf.file_ = std::move(*opened);
    auto id = jf.file_.identity();
    if (id.failed()) return id.failure();
    if (id->links != 1) return Failure{{}, "it has other names"};
    // No one may write the journal who could not write the file itself (on exFAT, where every
    // file shows the same mode, everyone who can write one can write both).
    if (id->mode & 022 & ~edited.mode) return Failure{{}, "others may write it"};
    if (id->owner != edited.owner && id->owner != 0 && id->owner != ::geteuid())
        return Failure{{}, "it belongs to another user"};
    std::array<std::uint8_t, PREFIX> prefix{};
    auto got = jf.file_.readAt(0, prefix);
    if (got.failed()) return got.failure();
    const bool ours =
        *got >= MAGIC.size() && std::equal(MAGIC.begin(), MAGIC.end(), prefix.begin());
    const std::uint64_t total = *got == PREFIX ? u64(prefix, 8) : 0;
    if (!ours) {
        // A file cut before its magic was whole is a journal that never began.
        const bool cut =
            *got < MAGIC.size() && std::equal(prefix.begin(), prefix.begin() + *got, MAGIC.begin());
        return std::pair(cut ? State::torn : State::foreign, std::move(jf));
    }
    if (total < PREFIX || total > MAX_HEADER) return std::pair(State::torn, std::move(jf));
    std::vector<std::uint8_t> header(total);
    got = jf.file_.readAt(0, header);
    if (got.failed()) return got.failure();
    header.resize(*got);
    auto j = decodeJournal(header);
    if (!j) return std::pair(State::torn, std::move(jf));
    jf.journal_ = std::move(*j);
    jf.slotsAt_ = roundUp(total, PAGE_BYTES);
    jf.seed_ = u64(prefix, 16);
    return std::pair(State::valid, std::move(jf));
}

std::uint64_t JournalFile::slotOffset(std::uint64_t index) const {
    return slotsAt_ + (index % 2) * slotSize(journal_);
}

namespace {

std::uint64_t stepChecksum(Bytes head, Bytes data, std::uint64_t seed) {
    return checksum64(data, checksum64(head, seed));
}

} // namespace

Status JournalFile::writeStep(std::uint64_t index, std::uint64_t from, Bytes data) const {
    if (data.size() > journal_.chunk) return errnoFailure(EINVAL);
    std::array<std::uint8_t, SLOT_HEADER> head{};
    std::copy(STEP.begin(), STEP.end(), head.begin());
    wU64(head, 4, index);
    wU64(head, 12, from);
    wU64(head, 20, data.size());
    // Seeded with this journal's own header, so a slot can never pass for another journal's.
    wU64(head, 28, stepChecksum(Bytes(head).subspan(4, 24), data, seed_));
    // The bytes go straight from the caller's block; the checksum tells a record whose two
    // writes did not both land.
    const std::uint64_t at = slotOffset(index);
    if (Status s = file_.writeAt(at + SLOT_HEADER, data); s.failed()) return s;
    if (Status s = file_.writeAt(at, head); s.failed()) return s;
    file_.startWriteback();
    return {};
}

Status JournalFile::flushSteps() const {
    return file_.syncData();
}

std::vector<ShiftStep> JournalFile::recordedSteps() const {
    std::vector<ShiftStep> found;
    for (std::uint64_t slot = 0; slot < 2; ++slot) {
        std::array<std::uint8_t, SLOT_HEADER> head{};
        auto got = file_.readAt(slotOffset(slot), head);
        if (got.failed() || *got != SLOT_HEADER ||
            !std::equal(STEP.begin(), STEP.end(), head.begin()))
            continue;
        ShiftStep step;
        step.index = u64(head, 4);
        step.from = u64(head, 12);
        const std::uint64_t length = u64(head, 20);
        const StepRange expected = stepRange(journal_, step.index);
        if (step.index % 2 != slot || step.index >= stepCount(journal_) ||
            expected.from != step.from || expected.length != length)
            continue;
        auto data = file_.readFully(slotOffset(slot) + SLOT_HEADER, length);
        if (data.failed()) continue;
        if (stepChecksum(Bytes(head).subspan(4, 24), *data, seed_) != u64(head, 28)) continue;
        step.data = std::move(*data);
        found.push_back(std::move(step));
    }
    std::sort(found.begin(), found.end(),
              [](const ShiftStep& a, const ShiftStep& b) { return a.index < b.index; });
    return found;
}

Status JournalFile::remove() {
    file_.reset();
    if (!removeFile(path_)) return errnoFailure(errno);
    removeFile(journalLinkPath(folderOf(path_), journal_.id));
    return syncFolder(folderOf(path_));
}

bool removeJournal(const std::filesystem::path& journal, std::string_view id) {
    const bool removed = removeFile(journal);
    removeFile(journalLinkPath(folderOf(journal), id));
    syncFolder(folderOf(journal)).ok();
    return removed;
}

std::optional<Journal> readJournal(const std::filesystem::path& path) {
    auto file = FileHandle::openRegular(path, false);
    if (file.failed()) return std::nullopt;
    std::array<std::uint8_t, PREFIX> prefix{};
    auto got = file->readAt(0, prefix);
    if (got.failed() || *got != PREFIX || u64(prefix, 8) > MAX_HEADER) return std::nullopt;
    auto header = file->readFully(0, std::size_t(u64(prefix, 8)));
    if (header.failed()) return std::nullopt;
    return decodeJournal(*header);
}

} // namespace tg
