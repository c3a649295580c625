# Every dependency of the native module. Each is looked for; the missing ones
# are collected and reported together with the packages that provide them.
include(${CMAKE_CURRENT_LIST_DIR}/MissingPackages.cmake)

find_package(Python 3.11 COMPONENTS Interpreter Development.Module)
if(NOT Python_Interpreter_FOUND OR NOT Python_Development.Module_FOUND)
  tarvik_missing("Python 3.11 or newer with its C headers" python3-dev python3-devel python)
endif()

if(Python_Interpreter_FOUND)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -m nanobind --cmake_dir
    OUTPUT_STRIP_TRAILING_WHITESPACE OUTPUT_VARIABLE nanobind_ROOT ERROR_QUIET)
  find_package(nanobind CONFIG QUIET)
endif()
if(NOT nanobind_FOUND)
  tarvik_missing_pip("nanobind for ${Python_EXECUTABLE}" "nanobind~=2.9")
endif()

find_package(CURL)
if(NOT CURL_FOUND)
  tarvik_missing("libcurl" libcurl4-openssl-dev libcurl-devel curl)
endif()

find_package(OpenSSL 3 COMPONENTS Crypto)
if(NOT OpenSSL_FOUND)
  tarvik_missing("OpenSSL 3 (libcrypto)" libssl-dev openssl-devel openssl@3)
endif()

find_package(nlohmann_json 3.10 QUIET)
if(NOT nlohmann_json_FOUND)
  tarvik_missing("nlohmann-json 3.10 or newer" nlohmann-json3-dev json-devel nlohmann-json)
endif()

find_package(tomlplusplus 3 QUIET)
if(NOT tomlplusplus_FOUND)
  tarvik_missing("toml++ 3" libtomlplusplus-dev tomlplusplus-devel tomlplusplus)
endif()

find_package(Threads REQUIRED)

tarvik_stop_if_missing()
