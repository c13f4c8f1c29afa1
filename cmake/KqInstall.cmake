# Installation: the server, the tools, the libraries, the public headers, a CMake
# package (find_package(kqvxi) gives kqvxi::client), a pkg-config file and, on
# Linux, a systemd unit template whose instance is the controller number.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CMAKE_INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

if(TARGET kqvxi_client AND TARGET kqvxint)
  target_include_directories(kqvxi_client INTERFACE
    $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_target_properties(kqvxi_client PROPERTIES EXPORT_NAME client)
  set_target_properties(kqvxint PROPERTIES EXPORT_NAME board)
  set(kq_installed kqvxi_client kqvxint)
  foreach(t kqvxi-server kqvxi-monitor kqvxi-inject kqvxi-ctl)
    if(TARGET ${t})
      list(APPEND kq_installed ${t})
    endif()
  endforeach()
  set_target_properties(${kq_installed} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS ${kq_installed} EXPORT kqvxiTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/kqvxi DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${CMAKE_BINARY_DIR}/include/kqvxi/version.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kqvxi)
  install(EXPORT kqvxiTargets NAMESPACE kqvxi:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kqvxi)
  file(WRITE ${CMAKE_BINARY_DIR}/kqvxiConfig.cmake.in
    "@PACKAGE_INIT@\ninclude(\"\${CMAKE_CURRENT_LIST_DIR}/kqvxiTargets.cmake\")\n")
  configure_package_config_file(${CMAKE_BINARY_DIR}/kqvxiConfig.cmake.in
    ${CMAKE_BINARY_DIR}/kqvxiConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kqvxi)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/kqvxiConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/kqvxiConfig.cmake ${CMAKE_BINARY_DIR}/kqvxiConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kqvxi)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/kqvxi.pc.in ${CMAKE_BINARY_DIR}/kqvxi.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/kqvxi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  if(NOT KQ_WINDOWS)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/kqvxi-server@.service.in
      ${CMAKE_BINARY_DIR}/kqvxi-server@.service @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/kqvxi-server@.service DESTINATION lib/systemd/system)
  endif()
endif()
