# Loaded by cmake/mingw-w64.cmake after CMake's own Windows-GNU rules, which prefer import
# libraries (.dll.a): the programs are linked statically, so a library found by full path (as
# pkg-config's -lz becomes) must be the static one, or the program would need its DLL after all.
set(CMAKE_FIND_LIBRARY_SUFFIXES ".a")
