# Writes runtime.architecture and the SHA256SUMS manifest of the files shipped
# in the engine directory, at build time, so that the manifest always matches
# what gets installed. Run with -DOUT=<dir>.
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR arch STREQUAL "")
  # Same mapping the diagnostics use for uname's machine field.
  execute_process(COMMAND uname -m OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(arch STREQUAL "x86_64")
    set(arch amd64)
  elseif(arch STREQUAL "aarch64")
    set(arch arm64)
  endif()
endif()
file(WRITE ${OUT}/runtime.architecture "${arch}\n")
file(SHA256 ${OUT}/runtime.architecture digest)
file(WRITE ${OUT}/SHA256SUMS "${digest}  runtime.architecture\n")
