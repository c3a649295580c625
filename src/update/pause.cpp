#include "update/pause.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/host.hpp"

namespace tarvik::update {

void pause_seconds(double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(std::max(0.0, seconds)));
    for (;;) {
        host().check_interrupt();
        auto now = Clock::now();
        if (now >= end) return;
        std::this_thread::sleep_for(std::min<Clock::duration>(end - now, std::chrono::milliseconds(100)));
    }
}

}  // namespace tarvik::update
