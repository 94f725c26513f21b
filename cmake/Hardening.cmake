# Hardening.cmake - the compiler and linker hardening of a distribution build, on by default.
# The same set as Debian's dpkg-buildflags with hardening=+all: stack protector, fortified libc
# calls where optimising, stack clash protection, control-flow protection on x86, format checks,
# position-independent programs, read-only relocations bound at start-up. A packager's own
# CFLAGS, CXXFLAGS and LDFLAGS win: a family of flags they already name is left to them.
include(CheckCCompilerFlag)
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

option(VAK_HARDENING "Build with the hardening flags of a distribution build" ON)
set(VAK_FORTIFIED OFF)

# Adds the flags to C and C++ compilations unless the packager's flags match PATTERN, or the
# compiler refuses them (tried together, since one may depend on another).
function(vak_harden_compile pattern)
  if("${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "${pattern}")
    return()
  endif()
  string(JOIN " " flags ${ARGN})
  string(MAKE_C_IDENTIFIER "VAK_HAS${flags}" id)
  check_c_compiler_flag("${flags}" ${id}_C)
  check_cxx_compiler_flag("${flags}" ${id}_CXX)
  if(${id}_C AND ${id}_CXX)
    add_compile_options(${ARGN})
  endif()
endfunction()

if(VAK_HARDENING)
  vak_harden_compile("-f(no-)?stack-protector" -fstack-protector-strong)
  vak_harden_compile("-f(no-)?stack-clash-protection" -fstack-clash-protection)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i.86)$")
    vak_harden_compile("-f(no-)?cf-protection" -fcf-protection)
  endif()
  vak_harden_compile("format-security|-Wno-format" -Wformat -Werror=format-security)
  # glibc's checked calls need optimisation to know the object sizes, and warn without it. The
  # sanitizers check the same accesses more closely and intercept the unchecked calls only.
  # The install test expects checked calls in the binaries when VAK_FORTIFIED is true.
  set(optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
  if("${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "_FORTIFY_SOURCE=[1-9]")
    set(VAK_FORTIFIED ON)
  elseif(NOT VAK_SANITIZE AND NOT "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "_FORTIFY_SOURCE")
    add_compile_definitions($<${optimised}:_FORTIFY_SOURCE=2>)
    if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
      set(VAK_FORTIFIED ON)
    endif()
  endif()
  # Programs position-independent too (the libraries already are), so that they load at a random
  # address.
  check_pie_supported(LANGUAGES C CXX)
  set(packager_links "${CMAKE_EXE_LINKER_FLAGS} ${CMAKE_SHARED_LINKER_FLAGS}")
  if(NOT packager_links MATCHES "-z,?relro")
    add_link_options(LINKER:-z,relro)
  endif()
  if(NOT packager_links MATCHES "-z,?(now|lazy)")
    add_link_options(LINKER:-z,now)
  endif()
endif()
