#include "checks.hpp"

#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "core/errors.hpp"

namespace wincheck {

void Checks::expect(const std::string& name, bool ok, const std::string& detail) {
    if (ok) {
        ++passed_;
        std::printf("ok   %s\n", name.c_str());
    } else {
        ++failed_;
        std::printf("FAIL %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    }
    std::fflush(stdout);
}

void Checks::run(const std::string& name, const std::function<void()>& body) {
    try {
        body();
        expect(name, true);
    } catch (const std::exception& e) {
        std::string kind;
        try {
            kind = tarvik::kind_name(e) + ": ";
        } catch (...) {
        }
        expect(name, false, kind + e.what());
    }
}

int Checks::finish(const std::vector<std::string>& not_checked) const {
    std::printf("\nNot checked here:\n");
    for (const auto& item : not_checked) std::printf("  - %s\n", item.c_str());
    std::printf("\n%d passed, %d failed\n", passed_, failed_);
    std::fflush(stdout);
    return failed_ == 0 ? 0 : 1;
}

void require(bool ok, const std::string& what) {
    if (!ok) throw Failure(what);
}

void require_equal(const std::string& got, const std::string& expected, const std::string& what) {
    if (got != expected) throw Failure(what + ": got [" + got + "], expected [" + expected + "]");
}

std::string utf8(const std::filesystem::path& p) {
    auto s = p.u8string();
    return std::string(s.begin(), s.end());
}

std::filesystem::path from_utf8(const std::string& s) {
    return std::filesystem::path(std::u8string(s.begin(), s.end()));
}

bool wait_for(const std::function<bool()>& condition, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace wincheck
