# The libraries from Debian packages that the modules link, as imported targets: a missing
# one stops the configuration with its name (tools/setup installs them).
find_package(PkgConfig REQUIRED)

# hivex: registry hives (BCD stores).
pkg_check_modules(HIVEX REQUIRED IMPORTED_TARGET GLOBAL hivex)

# nimbo_import_library(target HEADER header LIBRARY name)
# An imported target for a library whose pkg-config file cannot be used: http-parser ships
# none, and wimlib's names private packages that need not be installed.
function(nimbo_import_library target)
  cmake_parse_arguments(L "" "HEADER;LIBRARY" "" ${ARGN})
  string(MAKE_C_IDENTIFIER ${target} var)
  find_path(${var}_INCLUDE_DIR ${L_HEADER} REQUIRED)
  find_library(${var}_LIBRARY ${L_LIBRARY} REQUIRED)
  add_library(${target} UNKNOWN IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION ${${var}_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${${var}_INCLUDE_DIR})
endfunction()

nimbo_import_library(Nimbo::wimlib HEADER wimlib.h LIBRARY wim)
nimbo_import_library(Nimbo::http_parser HEADER http_parser.h LIBRARY http_parser)
