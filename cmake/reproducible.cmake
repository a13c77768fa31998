# The same commit gives the same bytes in any directory and at any time: no build paths in the
# binaries, no time stamps in them (scripts/check-reproducible.sh checks it).
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
if(WIN32)
  # The PE header's link time.
  add_link_options(-Wl,--no-insert-timestamp)
endif()
# The time stamps of the packages: the last commit's time, unless the caller sets one.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  find_package(Git QUIET)
  if(GIT_FOUND AND EXISTS ${CMAKE_SOURCE_DIR}/.git)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE KALVO_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
  endif()
else()
  set(KALVO_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
endif()
if(NOT KALVO_SOURCE_DATE_EPOCH)
  set(KALVO_SOURCE_DATE_EPOCH 0)
endif()
