// The caller's splash widgets: a status label and a progress bar, either of
// which may be absent. Implemented by the binding layer on the Python objects.
#pragma once

#include <string>

namespace tarvik::update {

class Progress {
public:
    virtual ~Progress() = default;
    virtual bool has_label() const = 0;
    virtual bool has_bar() const = 0;
    // label.config(text=text), then label.update()
    virtual void set_label(const std::string& text) = 0;
    // bar["value"] = value (an int when whole), without update()
    virtual void set_bar_value(double value, bool whole) = 0;
    // bar.update()
    virtual void update_bar() = 0;

    // Shows a text when there is a label.
    void show(const std::string& text) {
        if (has_label()) set_label(text);
    }
    // Sets the bar to a whole percentage when there is a bar.
    void set_bar(int percent) {
        if (!has_bar()) return;
        set_bar_value(percent, true);
        update_bar();
    }
};

// No widgets at all.
class NoProgress final : public Progress {
public:
    bool has_label() const override { return false; }
    bool has_bar() const override { return false; }
    void set_label(const std::string&) override {}
    void set_bar_value(double, bool) override {}
    void update_bar() override {}
};

}  // namespace tarvik::update
