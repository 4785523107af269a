# Every Windows program is built for Windows Server 2003 (32-bit and 64-bit), and checked:
# tarnwell_win32_program(<target> [GUI|DLL]) gives a program the 2003 subsystem and system
# versions, the GetTickCount64 stand-in (platform/win32/compat), the GUI subsystem when
# asked, and a test (label win32) that reads the built file's headers and imports on the
# build machine and fails on anything that 2003 lacks (tools/pecheck). DLL is for an
# in-process server (a SHARED target): the GUI subsystem, as the system's own DLLs have,
# the runtime linked in, and a check that the file is a DLL. Off Windows it does nothing,
# so callers need no condition.
if(WIN32)
  # The API level of Windows Server 2003: a declaration of anything newer is hidden, so a
  # call to it fails to compile instead of failing to load on the server.
  add_compile_definitions(_WIN32_WINNT=0x0502 WINVER=0x0502)
  enable_language(RC)  # every program's version information

  # The checker runs on the build machine: built with its compiler, outside the cross build.
  # What 2003 has, it reads from the headers of this build's own compiler.
  include(ExternalProject)
  set(tarnwell_pecheck_dir ${CMAKE_BINARY_DIR}/host/pecheck)
  set(TARNWELL_PECHECK ${tarnwell_pecheck_dir}/tarnwell-pecheck)
  ExternalProject_Add(tarnwell_pecheck_host
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools/pecheck
    BINARY_DIR ${tarnwell_pecheck_dir}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DTARNWELL_WERROR=${TARNWELL_WERROR}
               -DTARNWELL_VERSION=${PROJECT_VERSION} -DTARNWELL_PECHECK_HEADERS_CC=${CMAKE_CXX_COMPILER}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${TARNWELL_PECHECK})

  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86)$")
    set(tarnwell_pe_machine i686)
  else()
    set(tarnwell_pe_machine x86_64)
  endif()

  # The checks run even where the tests are not built (the i686 build).
  enable_testing()
endif()

function(tarnwell_win32_program target)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(arg "GUI;DLL" "" "" ${ARGN})
  target_link_libraries(${target} PRIVATE tarnwell_win32_compat)
  # The loader refuses a program whose subsystem version is newer than the system.
  target_link_options(${target} PRIVATE
    LINKER:--major-subsystem-version,5,--minor-subsystem-version,2
    LINKER:--major-os-version,5,--minor-os-version,2)
  set(kind --program)
  if(arg_DLL)
    # -static as for programs: no runtime DLL for the server to lack.
    target_link_options(${target} PRIVATE -static LINKER:--subsystem,windows:5.2)
    set(subsystem gui)
    set(kind --dll)
  elseif(arg_GUI)
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
    set(subsystem gui)
  else()
    set(subsystem console)
  endif()
  add_test(NAME Server2003.${target}
           COMMAND ${TARNWELL_PECHECK} --machine ${tarnwell_pe_machine} --subsystem ${subsystem} ${kind}
                   $<TARGET_FILE:${target}>)
  set_tests_properties(Server2003.${target} PROPERTIES LABELS win32)
endfunction()

# tarnwell_win32_resources(<target> DESCRIPTION <text> [RC <file.rc>...] [INCLUDES <dir>...]
#                          [ICON] [MANIFEST])
# Gives a Windows program its version information (cmake/VersionInfo.rc.in, from
# PROJECT_VERSION, its FileDescription <text>) and its other resources (RC), and a test
# (label win32) that reads them back from the built file: the product name and version, and
# with ICON and MANIFEST the icon and the window's manifest. The resources are a library of
# their own, as windres takes none of the compiler's warning options. Off Windows it does
# nothing.
function(tarnwell_win32_resources target)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(arg "ICON;MANIFEST" "DESCRIPTION" "RC;INCLUDES" ${ARGN})
  set(tarnwell_rc_target ${target})
  set(tarnwell_rc_description "${arg_DESCRIPTION}")
  # The four numbers of a Windows version, a missing one as 0.
  set(numbers ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} ${PROJECT_VERSION_TWEAK})
  list(TRANSFORM numbers REPLACE "^$" "0")
  list(LENGTH numbers count)
  while(count LESS 4)
    list(APPEND numbers 0)
    math(EXPR count "${count} + 1")
  endwhile()
  list(JOIN numbers "," tarnwell_rc_version)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(tarnwell_rc_filetype VFT_DLL)
  else()
    set(tarnwell_rc_filetype VFT_APP)
  endif()
  # configure_file for the version, then file(GENERATE) for the file's own name.
  set(version_rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VersionInfo.rc.in ${version_rc}.in @ONLY)
  file(GENERATE OUTPUT ${version_rc} INPUT ${version_rc}.in)
  add_library(${target}_resources OBJECT ${version_rc} ${arg_RC})
  target_include_directories(${target}_resources PRIVATE ${PROJECT_SOURCE_DIR} ${arg_INCLUDES})
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_resources>)

  set(checks --product Tarnwell --product-version ${PROJECT_VERSION})
  if(arg_ICON)
    list(APPEND checks --icon)
  endif()
  if(arg_MANIFEST)
    list(APPEND checks --manifest)
  endif()
  add_test(NAME Resources.${target} COMMAND ${TARNWELL_PECHECK} ${checks} $<TARGET_FILE:${target}>)
  set_tests_properties(Resources.${target} PROPERTIES LABELS win32)
endfunction()
