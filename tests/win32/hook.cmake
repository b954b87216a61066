# Given to a build for Windows as CMAKE_PROJECT_INCLUDE by scripts/check-win32,
# so that the top-level list need not know about tests/win32: its targets are
# made once that list has run, in the top directory, and so get the
# directory's compile options and can link kelo_core. (The deferred call's
# arguments are read when it runs: the path is written into it now.)
cmake_language(EVAL CODE "cmake_language(DEFER DIRECTORY \"${CMAKE_SOURCE_DIR}\" CALL include
                          \"${CMAKE_CURRENT_LIST_DIR}/CMakeLists.txt\")")
