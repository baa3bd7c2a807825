# Run by CPack on the staged files before the packages are made: every manual page is
# compressed with gzip -9n (no name or time stamp in the header), as Debian's policy wants.
file(GLOB_RECURSE _zr_manuals LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*/man/man[1-9]/*")
foreach(_page IN LISTS _zr_manuals)
  if(NOT _page MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9nf "${_page}" RESULT_VARIABLE _result)
    if(NOT _result EQUAL 0)
      message(FATAL_ERROR "could not compress the manual page ${_page}")
    endif()
  endif()
endforeach()
