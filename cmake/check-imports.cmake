# The static imports of a Windows program are known DLLs only (cmake/windows-dlls.cmake says why).
#   cmake -DOBJDUMP=objdump -DFILE=program.exe -DKNOWN="kernel32;user32" -P check-imports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "check-imports: ${OBJDUMP} cannot read ${FILE}")
endif()
# objdump lists the import table first, then the delay-load table; only the first is resolved
# before the program's own code runs.
string(FIND "${dump}" "The Import Tables" start)
string(FIND "${dump}" "Delay Import" delay)
if(start LESS 0)
  message(FATAL_ERROR "check-imports: no import table in ${FILE}")
endif()
if(delay GREATER start)
  math(EXPR len "${delay} - ${start}")
  string(SUBSTRING "${dump}" ${start} ${len} imports)
else()
  string(SUBSTRING "${dump}" ${start} -1 imports)
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" names "${imports}")
set(bad "")
foreach(entry ${names})
  string(REGEX REPLACE "DLL Name: ([^ \n]+)\\.[dD][lL][lL].*" "\\1" dll "${entry}")
  string(TOLOWER "${dll}" dll)
  list(FIND KNOWN ${dll} at)
  if(at LESS 0)
    list(APPEND bad ${dll})
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "check-imports: ${FILE} imports ${bad} at load time; such a DLL would be "
                      "looked for beside the program first: add it to KALVO_DELAY_DLLS "
                      "(cmake/windows-dlls.cmake)")
endif()
