// The values every per-file operation shares: the mode it runs in, what happened, and the result
// line shown for it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tg {

enum class TGMode : std::uint8_t { inPlace, p3Copy, bake };

// The result line for a file another run (or another program) holds locked, in every mode.
inline constexpr const char* IN_USE_MESSAGE = "In use by another run \u2014 try again when it ends";

// The order matters: the result list indexes its symbols, colours and precedence by it.
enum class TGOutcome : std::uint8_t { fixed, added, already, hdr, skipped, error };

class TGResult {
public:
    TGResult(std::string name, TGOutcome outcome, std::string message,
             std::optional<std::filesystem::path> produced = std::nullopt)
        : outcome(outcome), message(std::move(message)), produced(std::move(produced)),
          name_(std::move(name)) {}

    // The last path component of the file the operation was given; fixed at construction.
    const std::string& name() const { return name_; }

    TGOutcome outcome;
    std::string message;
    std::optional<std::filesystem::path> produced;
    // Why: what the system or a library said behind an error, or why a file was refused or
    // skipped. Scripts read it; the window shows it as the row's tooltip.
    std::optional<std::string> detail;
    // The colour layers that state Display P3 after the operation ("container", "bitstream");
    // empty for photos and for files left alone.
    std::vector<std::string> layers;

private:
    std::string name_;
};

// Lower-case extensions without the dot.
extern const std::set<std::string> VIDEO_EXTS;
extern const std::set<std::string> IMAGE_EXTS;
// The movie extensions whose files are Matroska (EBML), not QuickTime or MP4.
extern const std::set<std::string> MATROSKA_EXTS;

// The path's extension without its dot, exactly as written ("MOV" for Clip.MOV, "" for none).
std::string extensionOf(const std::filesystem::path& path);
std::string lowercased(std::string text);

bool isMovie(const std::filesystem::path& path);
bool isMatroska(const std::filesystem::path& path);
bool isImage(const std::filesystem::path& path);

// The result list's mark for an outcome: "✓", "•", "—" or "✕".
const char* outcomeSymbol(TGOutcome outcome);

// Stable names for scripts and tests ("inPlace", "fixed", ...).
const char* modeName(TGMode mode);
const char* outcomeName(TGOutcome outcome);

} // namespace tg
