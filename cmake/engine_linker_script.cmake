# The engine's linker script: the linker's own default for this target, made at configure time
# from `ld --verbose`, with three changes that only take room out of the image.
#
# - The unwind tables (.eh_frame) are dropped. The engine throws nothing and links no unwinder;
#   the only tables left come from the C runtime's start-up objects, and the one piece of code
#   that would hand them over (the frame registration of crtbegin, which acts only when a
#   shared libgcc is already loaded) skips a null table.
# - The C runtime's initializer lists (.CRT) and the thread-local template (.tls) go into .data
#   instead of a section each: both are writable data in their own sections too, and each
#   section costs a whole 512-byte file block for a few bytes. The template comes first in
#   .data, so that a thread-local variable's offset from its section is still its offset in
#   the template, as the section-relative relocations of thread-local access expect. The
#   lists the default script leaves to orphan placement (.CRT$XD*, thread-local initializers)
#   follow the named ones in name order, as they would in their own .CRT.
#
# On the 64-bit twin .pdata and .xdata stay: Windows unwinds through them itself.
#
# runpack_engine_linker_script(OUTPUT_VARIABLE): writes the script into the build folder and
# sets the variable to its path, or to "" (with a warning) when the default script does not
# have the expected shape, in which case the engine links with the default.
function(runpack_engine_linker_script out)
  set(${out} "" PARENT_SCOPE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-prog-name=ld
    OUTPUT_VARIABLE ld OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(WARNING "engine: cannot find the linker; linking with its default script")
    return()
  endif()
  execute_process(COMMAND ${ld} --verbose OUTPUT_VARIABLE verbose RESULT_VARIABLE status)
  set(rule "==================================================")
  string(FIND "${verbose}" "${rule}" first)
  string(FIND "${verbose}" "${rule}" last REVERSE)
  if(NOT status EQUAL 0 OR first LESS 0 OR last LESS_EQUAL first)
    message(WARNING "engine: the linker shows no default script; linking with its default")
    return()
  endif()
  string(LENGTH "${rule}" ruleLength)
  math(EXPR start "${first} + ${ruleLength}")
  math(EXPR length "${last} - ${start}")
  string(SUBSTRING "${verbose}" ${start} ${length} script)

  set(block "BLOCK\\(__section_alignment__\\) :\n  {([^}]*)}")
  set(missing "")
  foreach(name eh_frame CRT tls data)
    if(NOT script MATCHES "\n  \\.${name} ${block}")
      list(APPEND missing ".${name}")
    endif()
  endforeach()
  if(NOT script MATCHES "\n  /DISCARD/ :\n  {")
    list(APPEND missing "/DISCARD/")
  endif()
  if(missing)
    message(WARNING "engine: the default linker script has no ${missing} where expected; "
      "linking with the default")
    return()
  endif()

  string(REGEX MATCH "\n  \\.CRT ${block}" unused "${script}")
  set(crt "${CMAKE_MATCH_1}")
  string(REGEX MATCH "\n  \\.tls ${block}" unused "${script}")
  set(tls "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "\n  \\.(eh_frame|CRT|tls) ${block}" "" script "${script}")
  string(REGEX REPLACE "\n  \\.data ${block}" "\n  .data BLOCK(__section_alignment__) :\n  {${tls}\\1${crt}  KEEP (*(SORT(.CRT$*)))\n  }"
    script "${script}")
  string(REPLACE "\n  /DISCARD/ :\n  {" "\n  /DISCARD/ :\n  {\n    *(.eh_frame*)" script "${script}")

  set(path "${CMAKE_BINARY_DIR}/runpack-engine.ld")
  set(old "")
  if(EXISTS "${path}")
    file(READ "${path}" old)
  endif()
  if(NOT old STREQUAL script)
    file(WRITE "${path}" "${script}")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()
