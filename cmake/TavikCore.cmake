# The core library, built one way for every build that needs it (the Python
# modules, the C++ tests and benchmarks, the fuzz targets).
#
# tavik_add_core(<target> <source root>) also makes <target>_runtime, the
# shared library libtavik_runtime.so (src/parallel/runtime/) that holds the
# process-wide state once for every module of a process; <target> links it,
# so whatever links the core loads it. Only its C interface (runtime.h) is
# exported.
#
# tavik_add_core(<target> <source root>) makes a static library of every
# core source plus the vector kernels once per instruction set: the list is
# read from src/kernels/instruction_sets.hpp, and kernel_set.cpp is compiled
# once per entry with that set's flags and TAVIK_KERNEL_SET=<name>, as an
# object library of its own.
function(tavik_add_core target root)
  file(GLOB sources CONFIGURE_DEPENDS
    "${root}/src/*.cpp" "${root}/src/formulas/*.cpp" "${root}/src/kernels/*.cpp" "${root}/src/parallel/*.cpp"
    "${root}/src/bases/*.cpp" "${root}/src/operators/*.cpp" "${root}/src/sparse/*.cpp")
  list(FILTER sources EXCLUDE REGEX "/src/kernels/kernel_set\\.cpp$")
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC "${root}/src")
  target_link_libraries(${target} PUBLIC Eigen3::Eigen Threads::Threads)

  set(runtime ${target}_runtime)
  file(GLOB runtime_sources CONFIGURE_DEPENDS "${root}/src/parallel/runtime/*.cpp")
  add_library(${runtime} SHARED ${runtime_sources})
  set_target_properties(${runtime} PROPERTIES OUTPUT_NAME tavik_runtime)
  target_include_directories(${runtime} PRIVATE "${root}/src")
  target_link_libraries(${runtime} PRIVATE Threads::Threads)
  set(exports "${root}/src/parallel/runtime/exports.map")
  target_link_options(${runtime} PRIVATE "-Wl,--version-script=${exports}")
  set_property(TARGET ${runtime} APPEND PROPERTY LINK_DEPENDS "${exports}")
  target_link_libraries(${target} PUBLIC ${runtime})

  set(list_file "${root}/src/kernels/instruction_sets.hpp")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${list_file}")
  file(READ "${list_file}" text)
  string(REGEX MATCHALL "X\\([a-z0-9_]+, \"[^\"]*\", \"[^\"]*\", [0-9]+\\)" entries "${text}")
  if(NOT entries)
    message(FATAL_ERROR "no instruction set found in ${list_file}")
  endif()
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "X\\(([a-z0-9_]+), \"[^\"]*\", \"([^\"]*)\", [0-9]+\\)" "\\1;\\2" fields "${entry}")
    list(GET fields 0 name)
    list(GET fields 1 flags)
    set(object ${target}_kernels_${name})
    add_library(${object} OBJECT "${root}/src/kernels/kernel_set.cpp")
    target_compile_definitions(${object} PRIVATE TAVIK_KERNEL_SET=${name})
    if(flags)
      separate_arguments(flag_list UNIX_COMMAND "${flags}")
      target_compile_options(${object} PRIVATE ${flag_list})
    endif()
    target_include_directories(${object} PRIVATE "${root}/src")
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:${object}>)
  endforeach()
endfunction()
