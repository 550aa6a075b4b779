# Reads the machine code of every vector kernel. For x86-64 (the default):
#  1. built with plain flags, no function outside the avx2 and avx512
#     namespaces holds a VEX or EVEX instruction (mnemonics starting with v),
#     so a library built with the headers runs on any x86-64;
#  2. built with FMA everywhere and -ffp-contract=fast, nothing holds a fused
#     multiply-add, so every level rounds alike whatever the user's flags.
# With -DARCH=aarch64 (CXX and OBJDUMP a cross toolchain): the portable
# path alone compiles there, and holds no fused multiply-add although that
# target always has them and g++ contracts by default.
function(disassemble flags result)
  set(object ${WORK_DIR}/instantiate.o)
  execute_process(COMMAND ${CXX} -std=c++17 -O2 ${flags} -I${SOURCE_DIR}/include
    -c ${SOURCE_DIR}/tests/cmake/kernel_code/instantiate.cpp -o ${object}
    RESULT_VARIABLE failed ERROR_VARIABLE errors)
  if(failed)
    message(FATAL_ERROR "compiling the kernels failed: ${errors}")
  endif()
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${object}
    OUTPUT_VARIABLE code RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "objdump failed")
  endif()
  set(${result} "${code}" PARENT_SCOPE)
endfunction()

file(MAKE_DIRECTORY ${WORK_DIR})

if("${ARCH}" STREQUAL "aarch64")
  disassemble("" code)
  if(code MATCHES "\t(fn?m(add|sub)|fml[as])[ \t]")
    message(FATAL_ERROR "a kernel was contracted into ${CMAKE_MATCH_1}")
  endif()
  if(NOT code MATCHES "\tfmul[ \t]")
    message(FATAL_ERROR "no fmul found: is the disassembly readable?")
  endif()
  return()
endif()

disassemble("" code)
string(REPLACE ";" "," code "${code}")
string(REPLACE "\n\n" ";" functions "${code}")
set(checked 0)
foreach(function IN LISTS functions)
  if(NOT function MATCHES "^[0-9a-f]+ <([^>]*)>:")
    continue()
  endif()
  set(name "${CMAKE_MATCH_1}")
  math(EXPR checked "${checked} + 1")
  # Mangled names: the namespaces appear as 4avx2 and 6avx512.
  if(NOT name MATCHES "4avx2|6avx512")
    if(function MATCHES "\n[ \t]*[0-9a-f]+:\t(v[a-z0-9]+)")
      message(FATAL_ERROR "${name} holds the AVX instruction ${CMAKE_MATCH_1}")
    endif()
  endif()
endforeach()
if(checked LESS 20)
  message(FATAL_ERROR "only ${checked} functions found: is the disassembly readable?")
endif()

disassemble("-mfma;-ffp-contract=fast" code)
if(code MATCHES "\t(vfn?m(add|sub)[a-z0-9]*)")
  message(FATAL_ERROR "a kernel was contracted into ${CMAKE_MATCH_1}")
endif()
if(NOT code MATCHES "\tvmulpd")
  message(FATAL_ERROR "no vmulpd found: is the disassembly readable?")
endif()
