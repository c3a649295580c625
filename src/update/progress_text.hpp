// The download progress shown while an update is staged.
#pragma once

#include <cstdint>
#include <string>

#include "update/progress.hpp"

namespace tarvik::update {

// "extra  1.5MB / 4.0MB (38%)", or "Downloading  ..." when extra is empty.
// MB values with one decimal, the percentage with none (ties to even), not capped.
std::string progress_text(const std::string& extra, double downloaded_bytes, double total_bytes);

// Sets the bar (capped at 100), shows the text when there is a label, then
// updates the bar. Nothing at all happens without a bar.
void report_progress(Progress& p, const std::string& extra, double downloaded_bytes, double total_bytes);

// printf-style fixed decimals ("%.1f").
std::string fixed(double value, int decimals);

}  // namespace tarvik::update
