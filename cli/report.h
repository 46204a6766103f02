// How tintguard-cli prints results: the window's result lines as text, or one JSON object per run.
#pragma once

#include "model/job.h"
#include "pipeline/colour_report.h"
#include "pipeline/progress.h"

#include <string>
#include <string_view>
#include <vector>

namespace tg::cli {

// Text safe to print to a terminal: control characters and bytes that are not UTF-8 as "\xNN".
std::string printable(std::string_view text);
// "•  " + the file's name.
std::string fileLine(const std::string& name);
// Five spaces, the outcome's mark, two spaces, the message.
std::string modeLine(const TGResult& result);
// {"file", "name", "mode", "outcome", "message", "produced", "detail", "layers"} on one line.
std::string jsonLine(const std::string& file, TGMode mode, const TGResult& result);

// --inspect: a line per video entry or the photo's colour, then "in place:" and the mode line.
std::vector<std::string> inspectLines(const Inspection& inspection);
// The run's fields with "mode": "inspect", then "layers" and the "inspect" object.
std::string inspectJsonLine(const std::string& file, const Inspection& inspection);

// "encoding…  N%" for a bake's fraction, "moving…  N%" for a large in-place move's.
std::string progressText(ProgressPhase phase, double fraction);

} // namespace tg::cli
