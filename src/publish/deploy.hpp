// Preparing the workspace for a hosted CI build: the framework's workflow
// template, with the application's identity in its env: block, is written to
// .github/workflows/ostervane.yaml.
#pragma once

#include <string>

namespace tarvik::deploy {

// The community key: the first of the two values of tarvik_token.encrypt_info().
// Provided by the binding layer; the token package's errors pass through.
std::string community_key();

// Works on the current working directory; `folder` is accepted and not used.
// Every failure propagates; prints "Deploy project success" at the end, also
// when the framework ships no template (then no workflow file is written).
void deploy(const std::string& folder);

}  // namespace tarvik::deploy
