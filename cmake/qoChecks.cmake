# Calls that glibc gained after 2.28, or that musl lacks, and the kernel's
# clone3 into a control group (headers of 5.7 on). Each found one becomes
# QO_HAVE_<NAME>=1 for the library's sources, which keep a fallback for
# every one of them. QO_FORCE_FALLBACKS takes the fallbacks even where
# the C library has the call, so that they are built and tested here.
include(CheckSymbolExists)

option(QO_FORCE_FALLBACKS
       "Use the portable fallbacks even where the C library has the newer calls" OFF)

set(qo_checked_calls
  sigdescr_np:string.h
  pthread_mutex_clocklock:pthread.h
  gettid:unistd.h
  close_range:unistd.h
  CLONE_INTO_CGROUP:linux/sched.h)

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
  # The kernel (5.14 on) tells at run time whether a group has cgroup.kill;
  # forced off, a group is always frozen and killed process by process.
  list(APPEND QO_FEATURE_DEFINITIONS QO_HAVE_CGROUP_KILL=1)
endif()

# The flags that only C takes, which the library's C++ compiles through the
# C driver must not get (a C parent's CMAKE_C_FLAGS, for one).
set(qo_c_only_flags "-std=.*|-ansi|-W(no-|error=)?(strict-prototypes|missing-prototypes|\
old-style-definition|old-style-declaration|nested-externs|implicit-function-declaration|\
implicit-int|bad-function-cast|declaration-after-statement|missing-parameter-type|\
pointer-sign|jump-misses-init|c\\+\\+-compat|int-conversion|incompatible-pointer-types|\
discarded-qualifiers|discarded-array-qualifiers|override-init|designated-init|\
traditional|traditional-conversion|c90-c99-compat|c99-c11-compat|c11-c2x-compat)")

# The library is C++ handed to the C driver: the C++ standard headers must
# work with that compiler and its C library. With musl-gcc on a glibc
# system they do not, libstdc++'s being configured for glibc: say so here,
# with the compiler's first complaint, rather than halfway through a build.
if(NOT DEFINED QO_CXX_HEADERS_USABLE)
  block()
  # Compiled, not linked; and without the C-only flags or the C standard's
  # -std=gnu11, which clang refuses beside -x c++.
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  unset(CMAKE_C_STANDARD)
  separate_arguments(qo_flags UNIX_COMMAND "${CMAKE_C_FLAGS}")
  list(FILTER qo_flags EXCLUDE REGEX "^(${qo_c_only_flags})$")
  list(JOIN qo_flags " " CMAKE_C_FLAGS)
  try_compile(QO_CXX_HEADERS_USABLE
    SOURCE_FROM_CONTENT qo_cxx_headers.c [[
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <string_view>
int qo_cxx_headers_probe() { return std::atomic<int>{0}.load(); }
]]
    COMPILE_DEFINITIONS -xc++ -std=c++20
    OUTPUT_VARIABLE qo_probe_output)
  if(NOT QO_CXX_HEADERS_USABLE)
    string(REGEX MATCH "(fatal )?error:[^\n]*" qo_first_error "${qo_probe_output}")
    unset(QO_CXX_HEADERS_USABLE CACHE)
    message(FATAL_ERROR "The C++ standard headers cannot be used with "
                        "${CMAKE_C_COMPILER} -x c++ -std=c++20: ${qo_first_error}")
  endif()
  endblock()
endif()
