# Collects missing build dependencies so that one configure run names all of
# them, with the packages that provide them, instead of stopping at the first.
#
#   tarvik_missing(<what> <debian/ubuntu> <fedora> <homebrew>)  a system package
#   tarvik_missing_pip(<what> <requirement>)                     a Python package
#   tarvik_stop_if_missing()                                     one FATAL_ERROR naming all

foreach(list LINES DEBIAN FEDORA BREW PIP)
  set_property(GLOBAL PROPERTY TARVIK_MISSING_${list} "")
endforeach()

function(tarvik_missing what debian fedora brew)
  set_property(GLOBAL APPEND PROPERTY TARVIK_MISSING_LINES
    "  - ${what}  (Debian/Ubuntu: ${debian}, Fedora: ${fedora}, Homebrew: ${brew})")
  set_property(GLOBAL APPEND PROPERTY TARVIK_MISSING_DEBIAN ${debian})
  set_property(GLOBAL APPEND PROPERTY TARVIK_MISSING_FEDORA ${fedora})
  set_property(GLOBAL APPEND PROPERTY TARVIK_MISSING_BREW ${brew})
endfunction()

function(tarvik_missing_pip what requirement)
  set_property(GLOBAL APPEND PROPERTY TARVIK_MISSING_LINES "  - ${what}  (PyPI: ${requirement})")
  set_property(GLOBAL APPEND PROPERTY TARVIK_MISSING_PIP "\"${requirement}\"")
endfunction()

function(tarvik_stop_if_missing)
  get_property(lines GLOBAL PROPERTY TARVIK_MISSING_LINES)
  if(NOT lines)
    return()
  endif()
  list(JOIN lines "\n" text)
  string(APPEND text "\nInstall them, then run the build again:\n")
  foreach(system "DEBIAN;Debian/Ubuntu:  sudo apt-get install"
                 "FEDORA;Fedora:         sudo dnf install"
                 "BREW;macOS:          brew install"
                 "PIP;Python:         python -m pip install")
    list(GET system 0 key)
    list(GET system 1 command)
    get_property(names GLOBAL PROPERTY TARVIK_MISSING_${key})
    if(names)
      list(REMOVE_DUPLICATES names)
      list(JOIN names " " names)
      string(APPEND text "  ${command} ${names}\n")
    endif()
  endforeach()
  message(FATAL_ERROR
    "${PROJECT_NAME} cannot be built; missing:\n${text}"
    "Packages installed outside the usual places are found through the "
    "CMAKE_PREFIX_PATH environment variable, for Homebrew:\n"
    "  export CMAKE_PREFIX_PATH=\"$(brew --prefix):$(brew --prefix openssl@3)\"")
endfunction()
