// The host services for the Windows test program, in place of the Python
// interpreter. The only file here that implements a library interface: when
// core/host.hpp changes, this is what follows it.
#include "core/host.hpp"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "core/win32.hpp"

namespace wincheck {

namespace {

using tarvik::win32::narrow;
using tarvik::win32::widen;

class StubHost : public tarvik::Host {
public:
    std::vector<std::string> argv() override { return args_; }
    void set_argv(const std::vector<std::string>& args) override { args_ = args; }
    std::optional<std::string> getenv(const std::string& name) override {
        const wchar_t* v = ::_wgetenv(widen(name).c_str());
        if (!v) return std::nullopt;
        return narrow(v);
    }
    void setenv(const std::string& name, const std::string& value) override {
        ::_wputenv_s(widen(name).c_str(), widen(value).c_str());
    }
    void write_stdout(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    void log_warning(const std::string& message) override { std::fprintf(stdout, "  [warning] %s\n", message.c_str()); }
    void log_error(const std::string& message) override { std::fprintf(stdout, "  [error] %s\n", message.c_str()); }
    std::filesystem::path framework_dir(bool) override { throw std::runtime_error("no framework here"); }
    std::string executable() override {
        wchar_t buf[32768];
        DWORD n = GetModuleFileNameW(nullptr, buf, 32768);
        return n ? narrow(buf) : std::string();
    }
    std::string default_encoding() override { return "utf-8"; }
    std::string encode_default(std::string_view utf8) override { return std::string(utf8); }
    std::string decode_default(std::string_view bytes) override { return std::string(bytes); }
    std::optional<std::string> strict_toml_data(std::string_view, std::string& error) override {
        error = "no TOML reader in the Windows check";
        return std::nullopt;
    }
    void check_interrupt() override {}

protected:
    // Only ASCII text reaches the case rules here; it is mapped before this is asked.
    std::string case_map(std::string_view utf8, const char*) override { return std::string(utf8); }

private:
    std::vector<std::string> args_;
};

}  // namespace

void install_host() {
    static StubHost host;
    tarvik::set_host(&host);
}

}  // namespace wincheck
