# MAC vendor name tests (included by this folder's CMakeLists.txt).
nimbo_add_test(NAME test_mac_vendor
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mac_vendor.cpp
  LIBS nimbo_dhcp_core)
nimbo_add_test(NAME test_tsan_mac_vendor
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_tsan_mac_vendor.cpp
  LIBS nimbo_dhcp_core
  LABELS tsan)
