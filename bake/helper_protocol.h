// What tintguard-bake and the program that starts it say to each other, one line at a time on
// the helper's standard output:
//   "progress 0.4172"   the fraction done, 0 to 1, whenever it grows by a whole percent
//   "ok"                the destination is complete and flushed
//   "failed <cause>"    the re-encode failed; <cause> is the short text after "Re-encode failed: "
// Exit status: 0 after "ok", 1 after "failed", 2 for a wrong command line.
#pragma once

#include <string_view>

namespace tg::bakeprotocol {

inline constexpr std::string_view HELPER_NAME = "tintguard-bake";
// Installed under libexec, beside the binaries' own folder: <prefix>/bin/../libexec/tintguard.
inline constexpr std::string_view HELPER_DIR_FROM_BIN = "../libexec/tintguard";
// Tests and relocated builds may name the helper outright.
inline constexpr const char* HELPER_ENV = "TINTGUARD_BAKE_HELPER";
// The starting process's id, so that the helper can tell whether it died before the helper asked
// to die with it.
inline constexpr const char* PARENT_ENV = "TINTGUARD_BAKE_PARENT";

inline constexpr std::string_view PROGRESS = "progress ";
inline constexpr std::string_view OK = "ok";
inline constexpr std::string_view FAILED = "failed ";

} // namespace tg::bakeprotocol
