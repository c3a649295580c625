// Waits between attempts that Ctrl-C can cut short.
#pragma once

namespace tarvik::update {

// Sleeps for the given seconds, checking the host for an interrupt in between.
void pause_seconds(double seconds);

}  // namespace tarvik::update
