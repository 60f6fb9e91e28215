# MAC vendor names: their own small library, linked into nimbo_dhcp.
add_library(nimbo_mac_vendor STATIC ${CMAKE_CURRENT_LIST_DIR}/mac_vendor.cpp)
target_include_directories(nimbo_mac_vendor PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(nimbo_mac_vendor PUBLIC nimbo_host PRIVATE nimbo_wim nimbo_data)
