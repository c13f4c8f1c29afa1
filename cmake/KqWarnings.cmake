# Warnings: always shown; errors only where we choose it (KQ_WERROR, set ON by every
# preset and so by CI), so a plain configure with another compiler or build type
# still builds.
option(KQ_WERROR "Treat compiler warnings as errors" OFF)
add_compile_options(-Wall -Wextra -Wpedantic)
if(KQ_WERROR)
  add_compile_options(-Werror)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # MinGW's and glibc's headers trip these in harmless ways.
  add_compile_options(-Wno-cast-function-type)
endif()
