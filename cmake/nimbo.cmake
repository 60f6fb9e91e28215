# nimbo_add_test(NAME name SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s])
# One GoogleTest executable, linked with the shared test support (tests/support); every test
# case becomes a CTest test.
function(nimbo_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # One label per test: "tsan" wins, so that the ThreadSanitizer pass finds its suites.
  if("tsan" IN_LIST T_LABELS)
    set(T_LABELS tsan)
  elseif(T_LABELS)
    list(GET T_LABELS 0 T_LABELS)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} nimbo_test_support GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${T_NAME} PRIVATE
    NIMBO_SOURCE_DIR="${PROJECT_SOURCE_DIR}" NIMBO_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${T_NAME}
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()

# nimbo_service(name TARGET target HEADER header REGISTER function)
# Declares a service module for the programs: the library that holds it, the header that
# declares its registration function and that function's name. Every name in NIMBO_SERVICES
# must be declared so; programs/ links the targets and generates the calls.
function(nimbo_service name)
  cmake_parse_arguments(S "" "TARGET;HEADER;REGISTER" "" ${ARGN})
  if(NOT S_TARGET OR NOT S_HEADER OR NOT S_REGISTER)
    message(FATAL_ERROR "nimbo_service(${name}): TARGET, HEADER and REGISTER are required")
  endif()
  if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${S_HEADER})
    message(FATAL_ERROR "nimbo_service(${name}): no header ${S_HEADER}")
  endif()
  set_property(GLOBAL PROPERTY NIMBO_SERVICE_${name} "${S_TARGET};${S_HEADER};${S_REGISTER}")
endfunction()
