# cmake -DNM=<nm> -DOBJECTS=<objects> -DSTAMP=<file> -P check_isa_objects.cmake
# Fails when an object compiled for one instruction set defines a weak
# function (nm type W): the linker may keep that copy for every caller,
# baseline ones included, and run wider instructions on a CPU without them.
# Weak data (V, u), such as the exception personality reference that the
# sanitizers emit, holds the same bytes whatever the instruction set.
if(NOT NM)
  message(FATAL_ERROR "nm is needed to check the per-instruction-set objects")
endif()
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} -C --defined-only ${object} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE ";" "," symbols "${symbols}")
  string(REPLACE "\n" ";" lines "${symbols}")
  set(weak)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]+ W ")
      list(APPEND weak "${line}")
    endif()
  endforeach()
  if(weak)
    list(JOIN weak "\n  " weak)
    message(FATAL_ERROR "${object} defines weak functions, which the linker may share with "
                        "code built for other instruction sets:\n  ${weak}")
  endif()
endforeach()
file(TOUCH ${STAMP})
