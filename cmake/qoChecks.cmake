# Calls that glibc gained after 2.28, or that musl lacks. Each found one
# becomes QO_HAVE_<NAME>=1 for the library's sources, which keep a fallback
# for every one of them. QO_FORCE_FALLBACKS takes the fallbacks even where
# the C library has the call, so that they are built and tested here.
include(CheckSymbolExists)

option(QO_FORCE_FALLBACKS
       "Use the portable fallbacks even where the C library has the newer calls" OFF)

set(qo_checked_calls
  posix_spawn_file_actions_addclosefrom_np:spawn.h
  posix_spawn_file_actions_addchdir_np:spawn.h
  posix_spawn_file_actions_addtcsetpgrp_np:spawn.h
  sigdescr_np:string.h
  pthread_mutex_clocklock:pthread.h
  gettid:unistd.h
  close_range:unistd.h)

set(QO_FEATURE_DEFINITIONS "")
if(NOT QO_FORCE_FALLBACKS)
  set(CMAKE_REQUIRED_DEFINITIONS -D_GNU_SOURCE)
  set(CMAKE_REQUIRED_QUIET ON)
  foreach(entry IN LISTS qo_checked_calls)
    string(REPLACE ":" ";" parts ${entry})
    list(GET parts 0 call)
    list(GET parts 1 header)
    string(TOUPPER ${call} name)
    check_symbol_exists(${call} ${header} QO_HAVE_${name})
    if(QO_HAVE_${name})
      list(APPEND QO_FEATURE_DEFINITIONS QO_HAVE_${name}=1)
    endif()
  endforeach()
  unset(CMAKE_REQUIRED_DEFINITIONS)
  unset(CMAKE_REQUIRED_QUIET)
endif()
