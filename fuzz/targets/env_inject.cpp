// The workflow env: injection: never fails, keeps UTF-8, and a second
// injection of the same variables changes nothing.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/pytext.hpp"
#include "publish/deploy_env.hpp"
#include "support/fake_host.hpp"
#include "support/py_oracle.hpp"

using namespace tarvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_fake_host();
    std::string text(reinterpret_cast<const char*>(data), size);
    const deploy::EnvVars vars = {{"TARVIK_CHANNEL_KEY", "k3y-Ab_9"}, {"APP_ENV", "production"}};
    std::string once = deploy::inject_env(text, vars);
    if (is_valid_utf8(text) && !is_valid_utf8(once)) fuzz::require_agreement("env_inject", "output is not UTF-8");
    // A document that opens with an empty or indented line has those lines
    // join any env: block put at the top, in YAML as here: no fixed point.
    auto lead = text.empty() ? 'x' : static_cast<unsigned char>(text[0]);
    bool opens_indented = lead <= ' ' || lead >= 0x80;
    std::string twice = deploy::inject_env(once, vars);
    if (!opens_indented && twice != once)
        fuzz::require_agreement("env_inject", "a second injection changed the text");
    return 0;
}
