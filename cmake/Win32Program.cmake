# Every Windows program is built for Windows Server 2003 (32-bit and 64-bit):
# tarnwell_win32_program(<target> [GUI]) gives a program the 2003 subsystem and system
# versions, the GetTickCount64 stand-in (platform/win32/compat) and, when asked, the GUI
# subsystem. Off Windows it does nothing, so callers need no condition.
if(WIN32)
  # The API level of Windows Server 2003: a declaration of anything newer is hidden, so a
  # call to it fails to compile instead of failing to load on the server.
  add_compile_definitions(_WIN32_WINNT=0x0502 WINVER=0x0502)
endif()

function(tarnwell_win32_program target)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(arg "GUI" "" "" ${ARGN})
  target_link_libraries(${target} PRIVATE tarnwell_win32_compat)
  # The loader refuses a program whose subsystem version is newer than the system.
  target_link_options(${target} PRIVATE
    LINKER:--major-subsystem-version,5,--minor-subsystem-version,2
    LINKER:--major-os-version,5,--minor-os-version,2)
  if(arg_GUI)
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
  endif()
endfunction()
