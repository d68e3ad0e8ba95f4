# The Windows build's tests, run under wine: the coder tests, and the golden
# rows run by the Linux build's golden runner (CORVANE_GOLDEN_RUNNER) against
# corvane.exe, with a program that holds files as another Windows program
# would.
if(NOT WIN32)
  # A Linux build with CORVANE_WITH_WINDOWS (the dev preset) builds the mingw
  # preset beside it and runs its tests with its own, where the cross
  # compiler and wine are installed: the Windows platform layer is tested
  # nowhere else.
  option(CORVANE_WITH_WINDOWS "Build the mingw preset too and run its tests under wine" OFF)
  find_program(CORVANE_MINGW_CXX x86_64-w64-mingw32-g++-posix)
  find_program(CORVANE_WINE_FOUND wine)
  if(CORVANE_WITH_WINDOWS AND NOT (CORVANE_MINGW_CXX AND CORVANE_WINE_FOUND))
    message(STATUS "No MinGW-w64 cross compiler or no wine: the Windows build is left out")
  elseif(CORVANE_WITH_WINDOWS)
    add_custom_target(windows ALL
      COMMAND bash cmake/cross-liblzma.sh mingw
      COMMAND sh -c "${CMAKE_COMMAND} --preset mingw >/dev/null"
      COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS ${CMAKE_COMMAND} --build --preset mingw -j2
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} VERBATIM)
    add_test(NAME windows COMMAND ${CMAKE_CTEST_COMMAND} --preset mingw -j2 WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
    set_tests_properties(windows PROPERTIES COST 1000)  # the longest: started first
  endif()
  return()
endif()

set(CORVANE_GOLDEN_RUNNER "" CACHE FILEPATH "The Linux build's corvane_tests, to run the golden rows")
if(NOT CORVANE_WINE)
  message(STATUS "No wine: the Windows build's tests are left out")
  return()
endif()

add_executable(file_holder file_holder.cpp)
target_link_libraries(file_holder PRIVATE corvane_core)
corvane_program(file_holder HOLDER_PROGRAM)

# One wine server for the whole run, persistent and started after its
# prefix is made; every descriptor of it on /dev/null, else ctest waits for
# it for ever.
list(JOIN CORVANE_WINE_ENV " " wine_env)
add_test(NAME wine_start COMMAND sh -c
  "mkdir -p ${CMAKE_BINARY_DIR}/wine && export ${wine_env} && wineserver -p </dev/null >/dev/null 2>&1 && ${CORVANE_WINE} wineboot -i </dev/null >/dev/null 2>&1")
add_test(NAME wine_stop COMMAND env ${CORVANE_WINE_ENV} wineserver -k)
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)

add_test(NAME coder COMMAND corvane_tests)
set_tests_properties(coder PROPERTIES FIXTURES_REQUIRED wine)

# The Windows build reads LZMA-compressed patches too (its liblzma is built
# from xz's source).
add_test(NAME xdelta_lzma
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/xdelta_lzma.sh ${CORVANE_PROGRAM} ${MKIMAGE_PROGRAM})
set_tests_properties(xdelta_lzma PROPERTIES FIXTURES_REQUIRED wine)

# In two halves, which ctest -j2 runs side by side.
if(CORVANE_GOLDEN_RUNNER)
  set(golden_env CORVANE_GOLDEN_SYSTEM=windows CORVANE_GOLDEN_TOOL=${CORVANE_PROGRAM}
      CORVANE_GOLDEN_EXE=$<TARGET_FILE:corvane> CORVANE_GOLDEN_HOLDER=${HOLDER_PROGRAM}
      CORVANE_GOLDEN_LZMA=1)  # the Windows build links liblzma (it stops without it)
  foreach(half 0 1)
    add_test(NAME golden_${half} COMMAND ${CORVANE_GOLDEN_RUNNER} --gtest_filter=Cases/Golden.*)
    set_tests_properties(golden_${half} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT
      "${golden_env};GTEST_TOTAL_SHARDS=2;GTEST_SHARD_INDEX=${half}")
  endforeach()
endif()
