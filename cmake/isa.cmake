# One build runs on every x86-64: hot loops are compiled once per instruction
# set into separate objects, and each core picks one at load time from CPUID.
# The sets and their features come from QV_FOR_EACH_ISA in common/cpu_isa.h,
# whose detection tests the same features: X(name, "feature", ...) per line,
# each set compiled with -m<feature> for its features and all before it.
set(QUORVEL_ISA_HEADER ${CMAKE_CURRENT_LIST_DIR}/../src/common/cpu_isa.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QUORVEL_ISA_HEADER})
file(STRINGS ${QUORVEL_ISA_HEADER} entries REGEX "^ *X\\([a-z0-9_]+[,)]")
string(REPLACE "\\" "" entries "${entries}")  # the macro's line continuations
set(QUORVEL_ISA_LEVELS)
set(flags)
foreach(entry IN LISTS entries)
  string(REGEX MATCH "X\\(([a-z0-9_]+)([^)]*)\\)" _ "${entry}")
  set(level ${CMAKE_MATCH_1})
  string(REGEX MATCHALL "\"[a-z0-9_]+\"" features "${CMAKE_MATCH_2}")
  foreach(feature IN LISTS features)
    string(REPLACE "\"" "" feature ${feature})
    list(APPEND flags -m${feature})
  endforeach()
  list(APPEND QUORVEL_ISA_LEVELS ${level})
  set(QUORVEL_ISA_FLAGS_${level} ${flags})
endforeach()
if(NOT QUORVEL_ISA_LEVELS)
  message(FATAL_ERROR "no X(name, ...) entries of QV_FOR_EACH_ISA found in ${QUORVEL_ISA_HEADER}")
endif()

# quorvel_isa_sources(<static core target> <source>): compiles <source> once
# per level into <target>, with QV_ISA naming the level (used as a namespace).
# Sources compiled this way must keep every helper in an anonymous namespace:
# an inline function shared with other objects could be merged with the copy
# built for a wider instruction set and fault on an older CPU. Standard
# templates (std::min, std::fma, ...) cannot obey that rule, so the objects are
# optimised whatever the build type, which inlines them, and the build checks
# that no object defines a weak function (check_isa_objects.cmake).
function(quorvel_isa_sources target source)
  foreach(level IN LISTS QUORVEL_ISA_LEVELS)
    set(objects ${target}_${level})
    add_library(${objects} OBJECT ${source})
    target_compile_options(${objects} PRIVATE ${QUORVEL_ISA_FLAGS_${level}}
                           $<$<NOT:$<CONFIG:Release,RelWithDebInfo>>:-O2>)
    target_compile_definitions(${objects} PRIVATE QV_ISA=${level})
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:${objects}>)

    set(checked ${CMAKE_CURRENT_BINARY_DIR}/${objects}.checked)
    add_custom_command(
      OUTPUT ${checked}
      COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} "-DOBJECTS=$<TARGET_OBJECTS:${objects}>" -DSTAMP=${checked}
              -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/check_isa_objects.cmake
      DEPENDS ${objects} $<TARGET_OBJECTS:${objects}> ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/check_isa_objects.cmake
      COMMENT "Checking ${objects} for weak functions" VERBATIM COMMAND_EXPAND_LISTS)
    add_custom_target(${objects}_checked DEPENDS ${checked})
    add_dependencies(${target} ${objects}_checked)
  endforeach()
endfunction()
