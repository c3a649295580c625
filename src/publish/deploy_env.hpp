// Writing variables into the env: blocks of a CI workflow file, line by line
// and without a YAML parser, so that everything else keeps its exact text.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tarvik::deploy {

// Variable name -> value, in the order new entries are written.
using EnvVars = std::vector<std::pair<std::string, std::string>>;

// Every line that reads "env:" once stripped opens a block running over the
// following empty or indented lines. Inside a block, an entry "<indent>KEY: ..."
// for a KEY of env_vars is rewritten as <indent>KEY: "<value>"; keys the block
// lacks are appended after it with a two-space indent. Without any env: block
// a new one goes at the top (after a first "name:" line). UTF-8 in and out;
// never fails.
std::string inject_env(const std::string& yaml_content, const EnvVars& env_vars);

}  // namespace tarvik::deploy
