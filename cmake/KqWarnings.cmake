# Warnings are errors in every leg.
add_compile_options(-Wall -Wextra -Wpedantic -Werror)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # MinGW's and glibc's headers trip these in harmless ways.
  add_compile_options(-Wno-cast-function-type)
endif()
