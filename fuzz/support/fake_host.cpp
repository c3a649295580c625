#include "support/fake_host.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>

#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/ini.hpp"
#include "core/pytext.hpp"
#include "support/py_oracle.hpp"

namespace tarvik::fuzz {

namespace {

class FakeHost final : public Host {
public:
    std::vector<std::string> argv() override { return args_; }
    void set_argv(const std::vector<std::string>& args) override { args_ = args; }
    std::optional<std::string> getenv(const std::string& name) override {
        auto it = env_.find(name);
        if (it == env_.end()) return std::nullopt;
        return it->second;
    }
    void setenv(const std::string& name, const std::string& value) override { env_[name] = value; }
    void write_stdout(std::string_view) override {}
    void log_warning(const std::string&) override {}
    void log_error(const std::string&) override {}
    std::filesystem::path framework_dir(bool) override { throw std::runtime_error("no framework here"); }
    std::string executable() override { return "/usr/bin/python3"; }
    std::string default_encoding() override { return "utf-8"; }
    std::string encode_default(std::string_view utf8) override { return std::string(utf8); }
    std::string decode_default(std::string_view bytes) override { return utf8_replace_invalid(bytes); }
    std::optional<std::string> strict_toml_data(std::string_view text, std::string& error) override {
        std::string r = oracle("strict_toml_data", text, "");
        // "ok:<json>" or "error:<message>", as the host layer's reader gives them.
        if (r.rfind("ok:", 0) == 0) return r.substr(3);
        error = r.substr(6);
        return std::nullopt;
    }
    void check_interrupt() override {}
    // The interpreter's str.lower() through the oracle; other methods are not
    // asked for by the fuzzed code.
    std::string case_map(std::string_view utf8, const char* method) override {
        if (std::string_view(method) != "lower") throw std::runtime_error("no oracle for str." + std::string(method));
        return py_lower(utf8);
    }

private:
    std::vector<std::string> args_;
    std::map<std::string, std::string> env_;
};

}  // namespace

void init_fake_host() {
    static std::once_flag once;
    std::call_once(once, [] {
        static FakeHost h;
        set_host(&h);
        char dir[] = "/tmp/tarvik-fuzz-XXXXXX";
        if (!mkdtemp(dir)) std::abort();
        std::filesystem::current_path(dir);
    });
}

void write_scratch_file(const std::string& name, std::string_view bytes) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
    std::fclose(f);
}

}  // namespace tarvik::fuzz
