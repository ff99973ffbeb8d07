# cd_missing_packages(<what> <mode> <packages...>): what to do when <what> lacks the Debian
# packages listed. With <mode> ON (./test.sh) that is an error naming them; with AUTO, a note,
# and the caller leaves <what> out. Sets CD_MISSING to TRUE when anything was missing.
function(cd_missing_packages what mode)
    set(CD_MISSING FALSE PARENT_SCOPE)
    if(NOT ARGN)
        return()
    endif()
    list(JOIN ARGN " " packages)
    set(message "${what} need ${packages}: apt-get install ${packages}")
    if(NOT mode STREQUAL "AUTO")
        message(FATAL_ERROR "${message}")
    endif()
    message(STATUS "Not built: ${message}")
    set(CD_MISSING TRUE PARENT_SCOPE)
    set(CD_MISSING_MESSAGE "${message}" PARENT_SCOPE)
endfunction()
