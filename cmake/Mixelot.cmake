# Shared target settings. Each source folder is one library; its files are picked up by glob so
# adding a file never needs a CMake edit.

function(mixelot_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wnon-virtual-dtor
                                           -Wold-style-cast -Wcast-align -Woverloaded-virtual
                                           -Wimplicit-fallthrough
                                           -Wno-missing-field-initializers)
  if(MIXELOT_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# mixelot_library(<name> DIR <folder> [DEPS ...] [EXCLUDE_SUBDIRS])
# Builds every .cpp directly in <folder> into a static library; the repository root is the
# include root, so code includes "engine/hal/AudioHardware.h" and the like.
function(mixelot_library name)
  cmake_parse_arguments(ARG "" "DIR" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${ARG_DIR}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${ARG_DIR}/*.h)
  if(sources)
    add_library(${name} STATIC ${sources} ${headers})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
    mixelot_warnings(${name})
  else()
    # Header-only so far.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# mixelot_test(<name> DIR <folder> DEPS ...): one GoogleTest binary per test folder.
function(mixelot_test name)
  cmake_parse_arguments(ARG "" "DIR;TIMEOUT" "DEPS;LABELS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${ARG_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  mixelot_warnings(${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
  if("integration" IN_LIST ARG_LABELS)
    # Each suite runs a whole audio session with real-time deadlines; two at once on a small
    # machine starve each other's daemons, so they take turns.
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK audio-session)
  endif()
endfunction()

# mixelot_qt_tests(<prefix> DIR <folder> LABEL <label> DEPS ... [DEFINITIONS ...]): one QtTest
# binary per <folder>/*Test.cpp, registered as <prefix>-<name> and run offscreen with Qt's
# warnings fatal. Qt wants a private runtime folder (and warns without one); CI machines may have
# no session to give one, so each folder gets its own.
function(mixelot_qt_tests prefix)
  cmake_parse_arguments(ARG "" "DIR;LABEL" "DEPS;DEFINITIONS" ${ARGN})
  set(runtime_dir ${CMAKE_CURRENT_BINARY_DIR}/runtime)
  file(MAKE_DIRECTORY ${runtime_dir})
  file(CHMOD ${runtime_dir} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  file(GLOB tests CONFIGURE_DEPENDS ${ARG_DIR}/*Test.cpp)
  foreach(src ${tests})
    get_filename_component(stem ${src} NAME_WE)
    add_executable(${stem} ${src})
    set_target_properties(${stem} PROPERTIES AUTOMOC ON)
    target_compile_definitions(${stem} PRIVATE ${ARG_DEFINITIONS})
    target_link_libraries(${stem} PRIVATE ${ARG_DEPS} Qt6::Test mixelot_testsupport)
    mixelot_warnings(${stem})
    add_test(NAME ${prefix}-${stem} COMMAND ${stem})
    set_tests_properties(${prefix}-${stem} PROPERTIES LABELS "${ARG_LABEL}" TIMEOUT 120
                         ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_FATAL_WARNINGS=1;XDG_RUNTIME_DIR=${runtime_dir}")
  endforeach()
endfunction()
