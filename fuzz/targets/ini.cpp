// The INI reader and writer against configparser: the input read by the C++
// reader and written back must read (with configparser) as configparser reads
// the input; an input configparser refuses fails with the same error.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "core/errors.hpp"
#include "core/ini.hpp"
#include "core/pytext.hpp"
#include "support/fake_host.hpp"
#include "support/py_oracle.hpp"

using namespace tarvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_fake_host();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!is_valid_utf8(text)) return 0;
    std::string cpp;
    try {
        IniConfig config;
        config.read_string(text);
        cpp = "ok:" + config.to_string();
    } catch (const DuplicateSectionError&) {
        cpp = "error:DuplicateSectionError";
    } catch (const DuplicateOptionError&) {
        cpp = "error:DuplicateOptionError";
    } catch (const MissingSectionHeaderError&) {
        cpp = "error:MissingSectionHeaderError";
    } catch (const IniParsingError&) {
        cpp = "error:ParsingError";
    } catch (const std::exception& e) {
        cpp = std::string("error:unexpected ") + e.what();
    }
    fuzz::require_agreement("ini", fuzz::oracle("ini", text, cpp));
    return 0;
}
