# Run by CPack on the staged files before the packages are made: every manual page is
# compressed with gzip -9n (no name or time stamp in the header), as Debian's policy wants.
if(NOT CPACK_TEMPORARY_DIRECTORY)
  message(FATAL_ERROR "compress-manuals: CPack gave no staging folder")
endif()
cmake_policy(SET CMP0009 NEW) # links in the staging folder are not followed
file(GLOB_RECURSE _zr_staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(_page IN LISTS _zr_staged)
  if(_page MATCHES "/share/man/([a-z_A-Z.@]+/)?man[1-9]/[^/]+\\.[1-9][a-z]*$")
    execute_process(COMMAND gzip -9nf "${_page}" RESULT_VARIABLE _result)
    if(NOT _result EQUAL 0)
      message(FATAL_ERROR "compress-manuals: could not compress ${_page}")
    endif()
  endif()
endforeach()
