# One build runs on every x86-64: hot loops are compiled once per instruction
# set into separate objects, and each core picks one at load time from CPUID.
set(QUORVEL_ISA_LEVELS sse2 avx2 avx512)
set(QUORVEL_ISA_FLAGS_sse2 "")
set(QUORVEL_ISA_FLAGS_avx2 -mavx2 -mfma -mbmi2)
set(QUORVEL_ISA_FLAGS_avx512 -mavx2 -mfma -mbmi2 -mavx512f -mavx512bw -mavx512vl -mavx512dq)

# quorvel_isa_sources(<static core target> <source>): compiles <source> once
# per level into <target>, with QV_ISA naming the level (used as a namespace).
# Sources compiled this way must keep every helper in an anonymous namespace:
# an inline function shared with other objects could be merged with the copy
# built for a wider instruction set and fault on an older CPU.
function(quorvel_isa_sources target source)
  foreach(level IN LISTS QUORVEL_ISA_LEVELS)
    set(objects ${target}_${level})
    add_library(${objects} OBJECT ${source})
    target_compile_options(${objects} PRIVATE ${QUORVEL_ISA_FLAGS_${level}})
    target_compile_definitions(${objects} PRIVATE QV_ISA=${level})
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:${objects}>)
  endforeach()
endfunction()
