# One static library per subsystem folder; sources are globbed so that new files
# join their subsystem without touching the build files.
function(pemtrox_library name)
  set(_srcs)
  foreach(dir ${ARGN})
    file(GLOB _more CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_SOURCE_DIR}/${dir}/*.c)
    list(APPEND _srcs ${_more})
  endforeach()
  add_library(${name} STATIC ${_srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
endfunction()

# One test executable per subsystem, with every test file of its folders (a list).
# Skipped while the library it tests does not exist yet.
function(pemtrox_tests name dirs library)
  if(NOT TARGET ${library})
    return()
  endif()
  set(_srcs)
  foreach(dir ${dirs})
    file(GLOB _more CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND _srcs ${_more})
  endforeach()
  if(NOT _srcs)
    return()
  endif()
  add_executable(${name} ${_srcs})
  target_link_libraries(${name} PRIVATE ${library} ${ARGN} pemtrox_testsupport GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120
                       ENVIRONMENT "PEMTROX_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()

# A libFuzzer target from one source file over a library; built only in fuzz builds and
# never registered with CTest (run it by hand with its seed folder).
function(pemtrox_fuzzer name source library)
  if(NOT PEMTROX_FUZZ OR NOT TARGET ${library})
    return()
  endif()
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE ${library})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()
