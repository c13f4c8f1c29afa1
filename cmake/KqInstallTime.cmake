# Run by `cmake --install` (and by CPack's install): writes the files that name the
# install prefix (the pkg-config file, the systemd units, the exit-status helper,
# the sysusers entry) from their templates in cmake/, with CMAKE_INSTALL_PREFIX as
# it is at install time. The install rules after this copy them into place.
get_filename_component(kq_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
foreach(kind BINDIR LIBDIR LIBEXECDIR INCLUDEDIR DOCDIR)
  if(IS_ABSOLUTE "${KQ_REL_${kind}}")
    set(KQ_${kind} "${KQ_REL_${kind}}")
  else()
    set(KQ_${kind} "${kq_prefix}/${KQ_REL_${kind}}")
  endif()
endforeach()
set(KQ_PREFIX "${kq_prefix}")
# A Windows tree is unpacked anywhere (the zip), so its pkg-config file finds the
# prefix from its own place; pkg-config on Windows does so by default as well.
if(KQ_PC_RELOCATABLE)
  set(KQ_PC_PREFIX "\${pcfiledir}/../..")
else()
  set(KQ_PC_PREFIX "${kq_prefix}")
endif()
# pkg-config: paths under the prefix are written through ${prefix}, with no ".." in them.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${KQ_REL_${kind}}")
    set(KQ_PC_${kind} "${KQ_REL_${kind}}")
  else()
    set(KQ_PC_${kind} "\${prefix}/${KQ_REL_${kind}}")
  endif()
endforeach()
foreach(t IN LISTS KQ_TEMPLATES)
  configure_file("${KQ_SOURCE_DIR}/cmake/${t}.in" "${KQ_GEN_DIR}/${t}" @ONLY)
endforeach()
