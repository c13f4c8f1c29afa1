# Installation: the server, the tools, the libraries (the client library as
# libkqvxi.so.1 with its links, or kqvxi.dll and libkqvxi.dll.a), the public
# headers, a CMake package (find_package(kqvxi) gives kqvxi::kqvxi, and
# kqvxi::client as before), a pkg-config file (-lkqvxi), the documents and, on
# Linux, the manual pages, a systemd unit template whose instance is the
# controller number, its sweep timer, its exit-status helper and a sysusers
# entry for the service's user. Files that name the install prefix are written at
# install time (KqInstallTime.cmake), so `cmake --install --prefix P` reaches them.
# Packages: KqPackage.cmake.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CMAKE_INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

if(TARGET kqvxi_client AND TARGET kqvxint)
  target_include_directories(kqvxi_client INTERFACE
    $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_target_properties(kqvxi_client PROPERTIES EXPORT_NAME kqvxi)
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
  configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/kqvxiConfig.cmake.in
    ${CMAKE_BINARY_DIR}/kqvxiConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kqvxi)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/kqvxiConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/kqvxiConfig.cmake ${CMAKE_BINARY_DIR}/kqvxiConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kqvxi)
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/CHANGELOG.md
    ${CMAKE_SOURCE_DIR}/docs/operator-guide.md ${CMAKE_SOURCE_DIR}/docs/client-guide.md
    DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The service's user and group: the server's shared objects are owner-only
  # (mode 0600), so clients must run as this user.
  set(KQ_SERVICE_USER kqvxi CACHE STRING "User the kqvxi-server@ unit runs as; clients run as this user too")
  set(KQ_SERVICE_GROUP kqvxi CACHE STRING "Group the kqvxi-server@ unit runs as")

  # Written at install time, where CMAKE_INSTALL_PREFIX is the prefix installed to.
  set(kq_gen ${CMAKE_BINARY_DIR}/install-time)
  set(kq_templates kqvxi.pc)
  if(NOT KQ_WINDOWS)
    list(APPEND kq_templates kqvxi-server@.service kqvxi-sweep@.service kqvxi-sweep@.timer
      kqvxi-exit-status kqvxi.sysusers)
  endif()
  install(CODE "
    set(KQ_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
    set(KQ_GEN_DIR \"${kq_gen}\")
    set(KQ_TEMPLATES \"${kq_templates}\")
    set(KQ_REL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(KQ_REL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(KQ_REL_LIBEXECDIR \"${CMAKE_INSTALL_LIBEXECDIR}\")
    set(KQ_REL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(KQ_REL_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
    set(KQ_SERVICE_USER \"${KQ_SERVICE_USER}\")
    set(KQ_SERVICE_GROUP \"${KQ_SERVICE_GROUP}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(KQ_PC_RELOCATABLE \"${KQ_WINDOWS}\")
    include(\"${CMAKE_SOURCE_DIR}/cmake/KqInstallTime.cmake\")")
  install(FILES ${kq_gen}/kqvxi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  if(NOT KQ_WINDOWS)
    install(FILES ${kq_gen}/kqvxi-server@.service ${kq_gen}/kqvxi-sweep@.service
      ${kq_gen}/kqvxi-sweep@.timer DESTINATION lib/systemd/system)
    install(FILES ${kq_gen}/kqvxi.sysusers DESTINATION lib/sysusers.d RENAME kqvxi.conf)
    install(PROGRAMS ${kq_gen}/kqvxi-exit-status DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/kqvxi)
    # Section-1 manual pages, one Markdown source each (docs/man/*.md), through pandoc.
    find_program(KQ_PANDOC pandoc)
    if(KQ_PANDOC)
      # Made now: Makefile generators, unlike Ninja, do not make an output's folder.
      file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
      set(kq_man_pages)
      foreach(tool kqvxi-server kqvxi-monitor kqvxi-inject kqvxi-ctl)
        set(md ${CMAKE_SOURCE_DIR}/docs/man/${tool}.1.md)
        set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
        add_custom_command(OUTPUT ${page}
          COMMAND ${KQ_PANDOC} --standalone --to man
            --metadata "footer=kqvxi ${PROJECT_VERSION}" --metadata "header=kqvxi manual"
            --output ${page} ${md}
          DEPENDS ${md} VERBATIM)
        list(APPEND kq_man_pages ${page})
      endforeach()
      # Section 3: the client library.
      set(md ${CMAKE_SOURCE_DIR}/docs/man/kqvxi.3.md)
      set(kq_man3_page ${CMAKE_BINARY_DIR}/man/kqvxi.3)
      add_custom_command(OUTPUT ${kq_man3_page}
        COMMAND ${KQ_PANDOC} --standalone --to man
          --metadata "footer=kqvxi ${PROJECT_VERSION}" --metadata "header=kqvxi manual"
          --output ${kq_man3_page} ${md}
        DEPENDS ${md} VERBATIM)
      add_custom_target(kq_man_pages ALL DEPENDS ${kq_man_pages} ${kq_man3_page})
      install(FILES ${kq_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
      install(FILES ${kq_man3_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
    else()
      message(WARNING "pandoc not found: the manual pages are not built (scripts/install-deps build)")
    endif()
  endif()
endif()

include(KqPackage)
