# One build runs on every CPU of its architecture: hot loops are compiled
# once per instruction set into separate objects, and each core picks one at
# load time. The sets and their features come from the list of the target
# architecture in common/cpu_isa.h (QV_ISA_LIST_<arch>), whose detection
# tests the same features: X(name, "feature", ...) per line, each set
# compiled with the flags for its features and all before it. An
# architecture without a list builds the scalar references alone.
set(QUORVEL_ISA_HEADER ${CMAKE_CURRENT_LIST_DIR}/../src/common/cpu_isa.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QUORVEL_ISA_HEADER})
file(STRINGS ${QUORVEL_ISA_HEADER} header_lines)

# The architecture whose list the header chooses, as the compiler sees it
# (a cross compiler included): the one whose name qv::kIsaArch holds.
include(CheckCXXSourceCompiles)
set(QUORVEL_ISA_ARCH "")
foreach(line IN LISTS header_lines)
  if(line MATCHES "^#define QV_ISA_LIST_([a-z0-9_]+)\\(X\\)")
    set(arch ${CMAKE_MATCH_1})
    set(CMAKE_REQUIRED_INCLUDES ${CMAKE_CURRENT_LIST_DIR}/../src)
    set(CMAKE_REQUIRED_QUIET ON)
    check_cxx_source_compiles("#include \"common/cpu_isa.h\"
static_assert(qv::kIsaArch == \"${arch}\");
int main() {}" QUORVEL_ISA_ARCH_IS_${arch})
    if(QUORVEL_ISA_ARCH_IS_${arch})
      set(QUORVEL_ISA_ARCH ${arch})
    endif()
  endif()
endforeach()

# Its entries, one X(...) per line of the macro (file(STRINGS) keeps the
# continued lines of a macro in one element).
set(entries)
foreach(line IN LISTS header_lines)
  if(QUORVEL_ISA_ARCH AND line MATCHES "^#define QV_ISA_LIST_${QUORVEL_ISA_ARCH}\\(X\\)(.*)")
    string(REGEX MATCHALL "X\\([a-z0-9_]+[^)]*\\)" entries "${CMAKE_MATCH_1}")
  endif()
endforeach()
set(QUORVEL_ISA_LEVELS)
set(features_so_far)
foreach(entry IN LISTS entries)
  string(REGEX MATCH "X\\(([a-z0-9_]+)([^)]*)\\)" _ "${entry}")
  set(level ${CMAKE_MATCH_1})
  string(REGEX MATCHALL "\"[a-z0-9_]+\"" features "${CMAKE_MATCH_2}")
  string(REPLACE "\"" "" features "${features}")
  list(APPEND features_so_far ${features})
  # x86-64: -m<feature> each; aarch64: one -march naming the extensions.
  set(flags)
  if(QUORVEL_ISA_ARCH STREQUAL "x86_64")
    list(TRANSFORM features_so_far PREPEND "-m" OUTPUT_VARIABLE flags)
  elseif(QUORVEL_ISA_ARCH STREQUAL "aarch64" AND features_so_far)
    list(JOIN features_so_far "+" extensions)
    set(flags "-march=armv8-a+${extensions}")
  elseif(features_so_far)
    message(FATAL_ERROR "cmake/isa.cmake does not know the compiler flags of ${QUORVEL_ISA_ARCH}'s features")
  endif()
  list(APPEND QUORVEL_ISA_LEVELS ${level})
  set(QUORVEL_ISA_FLAGS_${level} ${flags})
endforeach()
if(QUORVEL_ISA_ARCH AND NOT QUORVEL_ISA_LEVELS)
  message(FATAL_ERROR "no X(name, ...) entries of QV_ISA_LIST_${QUORVEL_ISA_ARCH} found in ${QUORVEL_ISA_HEADER}")
endif()
if(QUORVEL_ISA_ARCH)
  message(STATUS "Instruction sets of ${QUORVEL_ISA_ARCH}: ${QUORVEL_ISA_LEVELS}")
else()
  message(STATUS "No instruction-set list for ${CMAKE_SYSTEM_PROCESSOR}: the scalar references alone")
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
