# Shared target helpers: every library and test gets the same warnings and layout.

set(VELLUMAR_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
    -Wimplicit-fallthrough -Wformat=2
    # Options structs are filled with designated initializers that leave defaults out on purpose.
    -Wno-missing-field-initializers
    # g++ 12 reports std::variant and std::regex internals as maybe-uninitialized under -O2 with sanitizers.
    $<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>
    # g++ 12 optimising libstdc++'s own "text" + std::string (an insert at the front) reports a memcpy
    # of 2^63 bytes that may overlap (GCC bugs 105329, 105651): about 400 lines of a false -Wrestrict
    # on a Release build. Later compilers keep the warning.
    $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_GREATER_EQUAL:$<CXX_COMPILER_VERSION>,12>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>>:-Wno-restrict>)

function(vellumar_apply_warnings target)
  target_compile_options(${target} PRIVATE ${VELLUMAR_WARNINGS})
  if(VELLUMAR_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# vellumar_compile_in_batches(<target> <files compiled alone...>)
# Compiles the target's files in batches, except those named: a file whose own helpers (in an anonymous
# namespace) share a name with a neighbour's, which a batch would see as one redefined name.
function(vellumar_compile_in_batches target)
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON)
  if(ARGN)
    set_source_files_properties(${ARGN} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
  endif()
  # A fixture in an anonymous namespace is what g++ warns about in a header; a batch includes the
  # files as if they were headers, yet each is still compiled exactly once.
  target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wno-subobject-linkage>)
endfunction()

# vellumar_add_library(<name> [PARTS <subfolders...>] DEPENDS <targets...> [ALONE <files...>])
# One static library per source folder; its sources are the folder's .cpp files, and those of the
# subfolders named as PARTS, where a subsystem keeps each of its jobs in a folder of its own. With
# VELLUMAR_UNITY_LIBRARIES the files are compiled in batches, except those named ALONE.
function(vellumar_add_library name)
  cmake_parse_arguments(ARG "" "" "PARTS;DEPENDS;ALONE" ${ARGN})
  set(patterns ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(part IN LISTS ARG_PARTS)
    list(APPEND patterns ${CMAKE_CURRENT_SOURCE_DIR}/${part}/*.cpp)
  endforeach()
  file(GLOB sources CONFIGURE_DEPENDS ${patterns})
  if(NOT sources)
    # A folder of headers only so far.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPENDS})
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
  if(VELLUMAR_UNITY_LIBRARIES)
    vellumar_compile_in_batches(${name} ${ARG_ALONE})
  endif()
  vellumar_apply_warnings(${name})
endfunction()

# vellumar_add_test_suite(<name> DEPENDS <targets...> [ALONE <files...>] [TIMEOUT <seconds>])
# One GoogleTest executable per tests/ folder, discovered by CTest at test time. With VELLUMAR_UNITY_TESTS
# the files are compiled in batches, except those named ALONE. TIMEOUT replaces ctest's --timeout for
# its tests.
function(vellumar_add_test_suite name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "DEPENDS;ALONE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS} vellumar_test_support GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE VELLUMAR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  if(VELLUMAR_UNITY_TESTS)
    # Most of a test file's compile time goes to code generated from the same GoogleTest and library
    # templates as its neighbours'; a batch generates it once.
    vellumar_compile_in_batches(${name} ${ARG_ALONE})
  endif()
  vellumar_apply_warnings(${name})
  set(properties ENVIRONMENT "VELLUMAR_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  if(ARG_TIMEOUT)
    list(APPEND properties TIMEOUT ${ARG_TIMEOUT})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()
