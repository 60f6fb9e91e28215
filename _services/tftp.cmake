# The TFTP server: the pure parts (records, request rules, error simulator) in
# nimbo_tftp_core, the service thread and the transfer workers in nimbo_tftp.
add_library(nimbo_tftp_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/tftp_errsim.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tftp_menu_tokens.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tftp_request.cpp)
target_link_libraries(nimbo_tftp_core PUBLIC nimbo_regex nimbo_platform Threads::Threads)

add_library(nimbo_tftp STATIC
  ${CMAKE_CURRENT_LIST_DIR}/tftpd_thread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tftp_worker.cpp)
target_link_libraries(nimbo_tftp PUBLIC nimbo_tftp_core nimbo_host nimbo_regex)
# Menu files get the client's gateway and mask from the DHCP settings.
target_link_libraries(nimbo_tftp PRIVATE nimbo_dhcp_core nimbo_platform)
nimbo_service(tftp TARGET nimbo_tftp HEADER _services/tftpd_service.h REGISTER RegisterTftpService)
