// The mark an in-place edit leaves past the end of the file's content while it runs: filler the
// container accepts (an MP4 `free` atom), naming the edit's journal by its UUID and the folder it
// was written in. It becomes durable after the journal and before the file's first byte changes,
// and is cut off before the journal goes, so a file carries one exactly while an edit of it is
// unfinished: wherever the file goes (another name, folder or device number), the next run finds
// the edit through it.
#pragma once

#include "base/file.h"
#include "edit/edit_plan.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tg {

// How far the edit has come. Only `journaled` needs the journal: before it the content was never
// touched, after it the content is whole again (finished or undone) and only cleaning up is left.
enum class MarkState : std::uint8_t { pending, journaled, settled };

struct EditMark {
    std::string id;               // the journal's UUID
    std::filesystem::path folder; // where the journal was written, as an absolute path
    std::uint64_t original = 0;   // the file's size before the edit
    MarkState state = MarkState::pending;
    // Where findMark found it: its first byte, and the byte after its last.
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

std::vector<std::uint8_t> encodeMark(const EditMark& mark, const FillerHead& head);

// The mark at the end of the file, if there is one. Zeros past it are skipped: a range insertion
// stopped early may have grown the file behind it.
std::optional<EditMark> findMark(const FileHandle& file);

// Rewrites the state of the mark that ends at `end` (one byte, outside its checksum) and flushes.
Status setMarkState(const FileHandle& file, std::uint64_t end, MarkState state);

} // namespace tg
