# One interface target carries the project-wide flags; every target links it.
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

option(ZUL_WERROR "Treat compiler warnings as errors" OFF)
set(ZUL_SANITIZE "" CACHE STRING "Sanitizers to build with: empty, 'address,undefined' or 'thread'")

add_library(zul_flags INTERFACE)
target_compile_features(zul_flags INTERFACE cxx_std_20)
target_compile_options(zul_flags INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion)
target_compile_definitions(zul_flags INTERFACE QT_NO_KEYWORDS QT_NO_CAST_FROM_ASCII QT_NO_CONTEXTLESS_CONNECT
                                               QT_NO_NARROWING_CONVERSIONS_IN_CONNECT)
# GCC 12 warns of an overlapping copy inside std::string's own code when it inlines it at -O2
# (its bug 105329); the copy is the library's and sound.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(zul_flags INTERFACE -Wno-restrict)
endif()
if(ZUL_WERROR)
  target_compile_options(zul_flags INTERFACE -Werror)
endif()

# Debian's hardening on every binary: fortified libc calls, stack protection, stack-clash and
# control-flow protection, format strings checked, position-independent executables, and a
# relocation table made read-only before the program runs. The capture helper holds capabilities,
# so it above all gets them.
option(ZUL_HARDEN "Build with Debian's hardening flags" ON)
if(ZUL_HARDEN)
  include(CheckCXXCompilerFlag)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  target_compile_options(zul_flags INTERFACE -fstack-protector-strong -Wformat
                                             -Werror=format-security)
  foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "ZUL_HAS${flag}" have)
    check_cxx_compiler_flag(${flag} ${have})
    if(${have})
      target_compile_options(zul_flags INTERFACE ${flag})
    endif()
  endforeach()
  # Fortification needs the optimizer (glibc warns without it) and gets in the sanitizers' way
  # (the fuzz targets build with them too). It covers the program's own code under src/: the
  # tests call chown or write for their effect alone, which fortified headers turn into warnings.
  if(NOT ZUL_SANITIZE AND NOT ZUL_BUILD_FUZZ)
    set(zul_fortify "$<AND:$<NOT:$<CONFIG:Debug>>,$<PATH:IS_PREFIX,NORMALIZE,${PROJECT_SOURCE_DIR}/src,$<TARGET_PROPERTY:SOURCE_DIR>>>")
    target_compile_options(zul_flags INTERFACE $<${zul_fortify}:-U_FORTIFY_SOURCE>
                                               $<${zul_fortify}:-D_FORTIFY_SOURCE=2>)
  endif()
  target_link_options(zul_flags INTERFACE LINKER:-z,relro LINKER:-z,now)
endif()
if(ZUL_SANITIZE)
  target_compile_options(zul_flags INTERFACE -fsanitize=${ZUL_SANITIZE} -fno-omit-frame-pointer
                                             -fno-sanitize-recover=all)
  # The dynamic-type check cannot see the type information of Qt's classes in the distribution's
  # shared libraries and reports calls on them (a QSocketNotifier) as calls on another type.
  if(ZUL_SANITIZE MATCHES "undefined")
    target_compile_options(zul_flags INTERFACE -fno-sanitize=vptr)
  endif()
  target_link_options(zul_flags INTERFACE -fsanitize=${ZUL_SANITIZE})
endif()

# Several build folders (plain, sanitizers) share one compiler cache where one is installed.
find_program(ZUL_CCACHE ccache)
if(ZUL_CCACHE)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${ZUL_CCACHE})
endif()
