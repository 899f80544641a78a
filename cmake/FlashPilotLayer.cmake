# fp_add_layer(NAME SOURCES file... [USES layer...] [LIBS library...])
#
# One folder of the program, built as the static library fp_NAME from the
# folder's SOURCES. The folder's headers are found by their bare names, and
# only by targets that link fp_NAME: USES names the folders below that this
# one includes from, so a folder that includes a header of a folder above its
# own (or beside it, unless it uses it) does not compile. LIBS are the
# libraries outside the project that the folder's code calls.
#
# With FP_FUZZ the same sources are built once more as fp_NAME_fuzz,
# instrumented for libFuzzer and linking the fuzz twins of USES.
function(fp_add_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;USES;LIBS")
  set(uses ${arg_USES})
  list(TRANSFORM uses PREPEND fp_)
  add_library(fp_${name} STATIC ${arg_SOURCES})
  target_include_directories(fp_${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(fp_${name} PUBLIC ${uses} ${arg_LIBS})
  if(FP_FUZZ)
    list(TRANSFORM uses APPEND _fuzz)
    add_library(fp_${name}_fuzz STATIC ${arg_SOURCES})
    target_include_directories(fp_${name}_fuzz PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_compile_options(fp_${name}_fuzz PRIVATE -fsanitize=fuzzer-no-link ${FP_FUZZ_FLAGS})
    target_link_libraries(fp_${name}_fuzz PUBLIC ${uses} ${arg_LIBS})
  endif()
endfunction()
