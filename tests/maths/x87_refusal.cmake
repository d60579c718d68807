# The build refuses a target that evaluates double arithmetic in a wider
# format, and the 32-bit x86 build CMakeLists.txt asks for computes every
# bit as the 64-bit one (src/maths/double_evaluation.h).
#
#   cmake -DCOMPILER=c++ -DSOURCE_DIR=top -DWORK_DIR=dir -P x87_refusal.cmake
#
# 1. A maths source compiled for 32-bit x86 with the x87 unit
#    (-m32 -mfpmath=387) must fail, with the guard's message.
# 2. The same source with -m32 -msse2 -mfpmath=sse must compile.
# 3. The maths linked into tests/maths/x87_probe.cpp for 32-bit SSE2 must
#    give MPFR's results, bit for bit.
# Without a 32-bit C++ library (Debian: g++-multilib) the standard headers
# cannot be compiled for -m32: steps 1 and 2 then compile the guard alone,
# and step 3 is left out, saying so.
foreach(variable COMPILER SOURCE_DIR WORK_DIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "x87_refusal.cmake: -D${variable}=... missing")
  endif()
endforeach()
file(MAKE_DIRECTORY "${WORK_DIR}")
set(guard_message "needs double arithmetic evaluated in double")
set(common -std=c++17 -ffp-contract=off -I${SOURCE_DIR}/src)

# A 32-bit C++ standard library?
file(WRITE "${WORK_DIR}/multilib.cpp" "#include <cstdint>\nint main() { return 0; }\n")
execute_process(COMMAND ${COMPILER} -m32 -fsyntax-only "${WORK_DIR}/multilib.cpp"
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(rc EQUAL 0)
  set(probe "${SOURCE_DIR}/src/maths/exp.cpp")
else()
  set(probe "${WORK_DIR}/guard_only.cpp")
  file(WRITE "${probe}" "#include \"maths/double_evaluation.h\"\nint main() { return 0; }\n")
  message(STATUS "no 32-bit C++ library (Debian: g++-multilib): the guard is compiled alone")
endif()

execute_process(COMMAND ${COMPILER} ${common} -m32 -mfpmath=387 -fsyntax-only "${probe}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0)
  message(FATAL_ERROR "32-bit x86 with x87 arithmetic was accepted: ${probe}")
endif()
string(FIND "${err}" "${guard_message}" found)
if(found EQUAL -1)
  message(FATAL_ERROR "32-bit x86 with x87 arithmetic failed, but not by the guard:\n${err}")
endif()
string(REGEX MATCH "[^\n]*${guard_message}[^\n]*" refusal "${err}")
message(STATUS "-m32 -mfpmath=387 refused: ${refusal}")

execute_process(COMMAND ${COMPILER} ${common} -m32 -msse2 -mfpmath=sse -fsyntax-only "${probe}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "32-bit x86 with SSE2 arithmetic was refused:\n${err}")
endif()
message(STATUS "-m32 -msse2 -mfpmath=sse accepted")

if(NOT probe MATCHES "exp.cpp$")
  return()
endif()
file(GLOB maths_sources "${SOURCE_DIR}/src/maths/*.cpp")
set(program "${WORK_DIR}/x87_probe32")
execute_process(COMMAND ${COMPILER} ${common} -m32 -msse2 -mfpmath=sse -O1 -o "${program}"
                        "${SOURCE_DIR}/tests/maths/x87_probe.cpp" ${maths_sources}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the 32-bit SSE2 build of the maths failed:\n${err}")
endif()
execute_process(COMMAND "${program}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the 32-bit SSE2 build of the maths differs:\n${out}${err}")
endif()
message(STATUS "32-bit SSE2 maths: ${out}")
