# Included after project() for the glibc 2.17 build: every program links
# the stat functions that set errno (zig-glibc-stat.cpp says why).
add_library(quib_glibc_stat OBJECT ${CMAKE_CURRENT_LIST_DIR}/zig-glibc-stat.cpp)
link_libraries(quib_glibc_stat)
