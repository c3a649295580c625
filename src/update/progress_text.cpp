#include "update/progress_text.hpp"

#include <cstdio>

namespace tarvik::update {

namespace {
double percent(double downloaded, double total) { return total > 0 ? downloaded / total * 100.0 : 0.0; }
}  // namespace

std::string fixed(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

std::string progress_text(const std::string& extra, double downloaded, double total) {
    std::string numbers = fixed(downloaded / 1024 / 1024, 1) + "MB / " + fixed(total / 1024 / 1024, 1) + "MB (" +
                          fixed(percent(downloaded, total), 0) + "%)";
    return (extra.empty() ? std::string("Downloading") : extra) + "  " + numbers;
}

void report_progress(Progress& p, const std::string& extra, double downloaded, double total) {
    if (!p.has_bar()) return;
    if (downloaded > total) downloaded = total;  // never more than the planned total
    double pct = percent(downloaded, total);
    if (total <= 0) p.set_bar_value(0, true);
    else if (pct > 100) p.set_bar_value(100, true);
    else p.set_bar_value(pct, false);
    if (p.has_label()) p.set_label(progress_text(extra, downloaded, total));
    p.update_bar();
}

}  // namespace tarvik::update
