#include "python/host_update_widgets.hpp"

namespace tarvik::py {

namespace {

class WidgetProgress final : public update::Progress {
public:
    WidgetProgress(nb::object label, nb::object bar) : label_(std::move(label)), bar_(std::move(bar)) {}

    bool has_label() const override { return !label_.is_none(); }
    bool has_bar() const override { return !bar_.is_none(); }

    void set_label(const std::string& text) override {
        with_gil([&] {
            label_.attr("config")(nb::arg("text") = nb::str(text.data(), text.size()));
            label_.attr("update")();
        });
    }

    void set_bar_value(double value, bool whole) override {
        with_gil([&] {
            if (whole) bar_["value"] = nb::int_(static_cast<long long>(value));
            else bar_["value"] = nb::float_(value);
        });
    }

    void update_bar() override {
        with_gil([&] { bar_.attr("update")(); });
    }

private:
    nb::object label_, bar_;
};

}  // namespace

std::unique_ptr<update::Progress> widget_progress(nb::object status_label, nb::object progress_bar) {
    return std::make_unique<WidgetProgress>(std::move(status_label), std::move(progress_bar));
}

}  // namespace tarvik::py
