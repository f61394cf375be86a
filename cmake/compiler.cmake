# How every quorvel core is compiled, here and where another project builds
# one from these sources (gr-quorvel): C++20, position-independent, hidden
# unless marked for export, and results defined to the bit: nothing may be
# fused unless the code says std::fma.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
add_compile_options(-ffp-contract=off -fno-math-errno -Wall -Wextra)
include_directories(${CMAKE_CURRENT_LIST_DIR}/../src)
