// Whether a name is taken by an installed distribution (exact, case-sensitive
// comparison with the "Name" metadata the interpreter sees).
#pragma once

#include <string>

namespace tarvik::scaffold {

bool is_installed_distribution(const std::string& name);

}  // namespace tarvik::scaffold
