# add_subdirectory for every listed folder that exists and has a CMakeLists.txt,
# so folders can land one at a time.
# NIMBUSCRATE_SKIP_DIRS (a list of folders relative to the top, e.g.
# "fileprovider;tests/fileprovider") leaves folders out of a build.
set(NIMBUSCRATE_SKIP_DIRS "" CACHE STRING "Folders to leave out of the build")
function(nimbuscrate_add_subdirectories)
  foreach(dir IN LISTS ARGN)
    file(RELATIVE_PATH relative "${PROJECT_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}/${dir}")
    if(relative IN_LIST NIMBUSCRATE_SKIP_DIRS)
      continue()
    endif()
    if(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt")
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# nimbuscrate_test(NAME <name> SOURCES <files...> LIBS <targets...>)
# One GoogleTest program; each test case becomes a CTest test.
function(nimbuscrate_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${T_NAME} PRIVATE
    NIMBUSCRATE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    NIMBUSCRATE_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# nimbuscrate_library(NAME <name> SOURCES <files...> PUBLIC_LIBS <...> PRIVATE_LIBS <...>)
function(nimbuscrate_library)
  cmake_parse_arguments(L "" "NAME" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${L_NAME} STATIC ${L_SOURCES})
  target_include_directories(${L_NAME} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${L_NAME} PUBLIC ${L_PUBLIC_LIBS} PRIVATE ${L_PRIVATE_LIBS})
endfunction()
