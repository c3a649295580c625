#include "python/bindings.hpp"

NB_MODULE(_tarvik_cmd, m) {
    using namespace tarvik::py;
    install_host();
    register_error_translator();
    bind_core(m);
    bind_scaffold_init(m);
    bind_scaffold(m);
    bind_build(m);
    bind_build_signing(m);
    bind_publish(m);
    bind_publish_deploy(m);
    bind_update(m);
    bind_admin(m);
}
