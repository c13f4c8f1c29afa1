# Reads the board's operation list, kqvxint_ops.inc, for the build (.def files)
# and for the export check (a -P script), so neither keeps a copy of it.
# kq_read_driver_operations(<out>) sets <out> to "name;ordinal;argBytes;..." and
# fails when the file holds a KQ_DRIVER_OPERATION line it cannot read.
set(KQ_DRIVER_OPERATIONS_FILE ${CMAKE_CURRENT_LIST_DIR}/kqvxint_ops.inc)

function(kq_read_driver_operations out)
  file(STRINGS ${KQ_DRIVER_OPERATIONS_FILE} lines REGEX "^KQ_DRIVER_OPERATION\\(")
  set(ops "")
  foreach(line ${lines})
    if(NOT line MATCHES "^KQ_DRIVER_OPERATION\\(([A-Za-z0-9_]+), *([0-9]+), *([0-9]+)\\)$")
      message(FATAL_ERROR "${KQ_DRIVER_OPERATIONS_FILE}: cannot read '${line}'")
    endif()
    list(APPEND ops ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
  endforeach()
  if(ops STREQUAL "")
    message(FATAL_ERROR "${KQ_DRIVER_OPERATIONS_FILE}: no operations")
  endif()
  set(${out} ${ops} PARENT_SCOPE)
endfunction()
