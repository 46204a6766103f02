#include "edit/mark.h"

#include "base/byte_cursor.h"
#include "base/checksum.h"

#include <algorithm>
#include <array>

namespace tg {

namespace {

constexpr std::array<std::uint8_t, 8> MARK_MAGIC = {'T', 'G', 'M', 'A', 'R', 'K', 0, 1};
constexpr std::size_t ID_LENGTH = 36;
// At the very end: id, folder length, mark length, original size, state, checksum, magic.
constexpr std::size_t CHECKED = ID_LENGTH + 2 + 4 + 8; // after the folder, under the checksum
constexpr std::size_t STATE_FROM_END = 1 + 8 + MARK_MAGIC.size();
constexpr std::size_t TRAILER = CHECKED + STATE_FROM_END;
constexpr std::size_t MAX_FOLDER = 4096;
// Far more than the blocks one range insertion adds.
constexpr std::uint64_t MAX_ZEROS_PAST = 16ull << 20;

// The end of the last byte that is not zero, searched back from `end` no further than `floor`.
Result<std::uint64_t> endOfData(const FileHandle& file, std::uint64_t end, std::uint64_t floor) {
    for (std::uint64_t chunk = 4096; end > floor;
         chunk = std::min<std::uint64_t>(chunk * 16, 1 << 20)) {
        const std::uint64_t n = std::min(end - floor, chunk);
        auto buf = file.readFully(end - n, std::size_t(n));
        if (buf.failed()) return buf.failure();
        const auto last =
            std::find_if(buf->rbegin(), buf->rend(), [](std::uint8_t b) { return b; });
        if (last != buf->rend()) return end - std::uint64_t(last - buf->rbegin());
        end -= n;
    }
    return end;
}

} // namespace

std::vector<std::uint8_t> encodeMark(const EditMark& mark, const FillerHead& head) {
    std::string folder = mark.folder.string();
    if (folder.size() > MAX_FOLDER) folder.clear();
    const std::size_t own = folder.size() + TRAILER;
    std::vector<std::uint8_t> out;
    if (head) {
        out = head(own + 8);
        if (out.size() != 8) out = head(own + out.size());
    }
    const std::size_t checkedFrom = out.size();
    ByteWriter w;
    w.bytes(out);
    w.text(folder);
    w.text(mark.id.substr(0, ID_LENGTH));
    w.u16(folder.size());
    w.u32(out.size() + own);
    w.u64(mark.original);
    out = w.take();
    const std::uint64_t sum = checksum64(Bytes(out).subspan(checkedFrom));
    ByteWriter t;
    t.u8(std::uint8_t(mark.state));
    t.u64(sum);
    t.bytes(MARK_MAGIC);
    const auto trailer = t.take();
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

std::optional<EditMark> findMark(const FileHandle& file) {
    auto size = file.size();
    if (size.failed()) return std::nullopt;
    auto end = endOfData(file, *size, *size - std::min(*size, MAX_ZEROS_PAST));
    if (end.failed() || *end < TRAILER) return std::nullopt;
    std::array<std::uint8_t, TRAILER> t{};
    auto got = file.readAt(*end - TRAILER, t);
    if (got.failed() || *got != TRAILER ||
        !std::equal(MARK_MAGIC.begin(), MARK_MAGIC.end(), t.end() - MARK_MAGIC.size()))
        return std::nullopt;
    const std::size_t folderLength = (std::size_t(t[ID_LENGTH]) << 8) | t[ID_LENGTH + 1];
    const std::uint64_t length = u32(t, ID_LENGTH + 2);
    const std::uint8_t state = t[CHECKED];
    if (folderLength > MAX_FOLDER || length < TRAILER + folderLength || length > *end ||
        state > std::uint8_t(MarkState::settled))
        return std::nullopt;
    auto checked = file.readFully(*end - TRAILER - folderLength, folderLength + CHECKED);
    if (checked.failed() || checksum64(*checked) != u64(t, CHECKED + 1)) return std::nullopt;
    EditMark mark;
    mark.folder = std::string(checked->begin(), checked->begin() + std::ptrdiff_t(folderLength));
    mark.id.assign(checked->begin() + std::ptrdiff_t(folderLength),
                   checked->begin() + std::ptrdiff_t(folderLength + ID_LENGTH));
    mark.original = u64(t, ID_LENGTH + 6);
    mark.state = MarkState(state);
    mark.start = *end - length;
    mark.end = *end;
    return mark;
}

Status setMarkState(const FileHandle& file, std::uint64_t end, MarkState state) {
    const std::uint8_t byte = std::uint8_t(state);
    if (Status s = file.writeAt(end - STATE_FROM_END, {&byte, 1}); s.failed()) return s;
    return file.sync();
}

} // namespace tg
