#include "python/bindings.hpp"

NB_MODULE(_tarvik_cmd, m) {
    using namespace tarvik::py;
    install_host();
    register_error_translator();
    bind_core(m);
#ifdef TARVIK_WITH_SCAFFOLD
    bind_scaffold_init(m);
    bind_scaffold(m);
#endif
#ifdef TARVIK_WITH_BUILD
    bind_build(m);
    bind_build_signing(m);
#endif
#ifdef TARVIK_WITH_PUBLISH
    bind_publish(m);
    bind_publish_deploy(m);
#endif
#ifdef TARVIK_WITH_UPDATE
    bind_update(m);
#endif
#ifdef TARVIK_WITH_ADMIN
    bind_admin(m);
#endif
}
