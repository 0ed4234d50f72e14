# Warnings for every target, in the dialect of the compiler at hand: GCC and
# Clang (MinGW-w64's GCC included) take -Wall -Wextra, MSVC /W4.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra)
elseif(MSVC)
  add_compile_options(/W4)
endif()
