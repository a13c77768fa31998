# Safe DLL loading for the Windows downloads, which users run from their Downloads folder.
#
# Windows looks for a DLL that is not a "known DLL" in the program's own folder first, so a DLL
# planted there would run inside the updater. The known DLLs below may stay static imports; every
# other system DLL the program links is delay-loaded: the first call loads it, after the process
# has restricted its DLL search to the system folder (platform/process_win32.cpp). A library added
# to a target_link_libraries() line must be in one of the two lists, or the import check after the
# link fails.

# Known DLLs on every Windows the program runs on (7 and later), lower case.
set(KALVO_KNOWN_DLLS kernel32 user32 gdi32 advapi32 shell32 shlwapi msvcrt ole32 oleaut32
    comdlg32 imm32 rpcrt4 sechost ws2_32 ntdll)
# System DLLs that are not known DLLs: delay-loaded from the system folder.
set(KALVO_DELAY_DLLS winmm gdiplus comctl32 setupapi cfgmgr32 version)

find_program(KALVO_NM ${KALVO_MINGW_TRIPLE}-nm REQUIRED)
find_program(KALVO_DLLTOOL ${KALVO_MINGW_TRIPLE}-dlltool REQUIRED)
find_program(KALVO_OBJDUMP ${KALVO_MINGW_TRIPLE}-objdump REQUIRED)

# A delay-load import library per DLL, made from the names in mingw's import library; an imported
# target of the same name then takes the place of -l<name> wherever a target links it.
set(delay_dir ${CMAKE_BINARY_DIR}/delayload)
file(MAKE_DIRECTORY ${delay_dir})
foreach(lib ${KALVO_DELAY_DLLS})
  set(implib ${CMAKE_FIND_ROOT_PATH}/lib/lib${lib}.a)
  if(NOT EXISTS ${implib})
    message(FATAL_ERROR "no import library ${implib} for the delay-loaded ${lib}.dll")
  endif()
  set(delaylib ${delay_dir}/lib${lib}_delay.a)
  if(NOT EXISTS ${delaylib} OR ${implib} IS_NEWER_THAN ${delaylib})
    execute_process(COMMAND ${KALVO_NM} ${implib} OUTPUT_VARIABLE syms RESULT_VARIABLE rc
                    ERROR_QUIET)
    string(REGEX MATCHALL "I __imp_[A-Za-z0-9_@?$]+" imps "${syms}")
    list(TRANSFORM imps REPLACE "I __imp_" "")
    list(REMOVE_DUPLICATES imps)
    list(SORT imps)
    if(NOT rc EQUAL 0 OR NOT imps)
      message(FATAL_ERROR "no exports read from ${implib}")
    endif()
    string(REPLACE ";" "\n" exports "${imps}")
    file(WRITE ${delay_dir}/${lib}.def "LIBRARY ${lib}.dll\nEXPORTS\n${exports}\n")
    execute_process(COMMAND ${KALVO_DLLTOOL} --input-def ${lib}.def --dllname ${lib}.dll
                            --output-delaylib lib${lib}_delay.a --temp-prefix ${lib}_tmp
                    WORKING_DIRECTORY ${delay_dir} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "dlltool could not make ${delaylib}")
    endif()
  endif()
  add_library(${lib} STATIC IMPORTED GLOBAL)
  set_target_properties(${lib} PROPERTIES IMPORTED_LOCATION ${delaylib})
endforeach()

# After the link of a download: its static imports are known DLLs only.
function(kalvo_check_imports target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${KALVO_OBJDUMP} -DFILE=$<TARGET_FILE:${target}>
            "-DKNOWN=${KALVO_KNOWN_DLLS}" -P ${CMAKE_SOURCE_DIR}/cmake/check-imports.cmake
    VERBATIM)
endfunction()
