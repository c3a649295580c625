// toml++'s implementation compiled into the fuzz binaries with TOML_ASSERT
// active (NDEBUG undefined for this file) and with the binaries' sanitizers,
// so that an assertion or undefined path inside the parser stops a run.
#define TOML_IMPLEMENTATION
#include <toml++/toml.h>
