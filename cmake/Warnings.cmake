# The project's own targets build with -Wall -Wextra; third-party headers come in as system
# includes and stay out of it. Warnings become errors only where asked (the test command
# asks), so that a compiler's new warning never stops a user's build.
option(TARNWELL_WERROR "Treat warnings in the project's own code as errors" OFF)

function(tarnwell_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${TARNWELL_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${TARNWELL_WERROR}>:-Werror>)
  endif()
endfunction()

# A library made of every .cpp in its folder, so adding a source file needs no CMake edit.
# A folder with no source yet still gives a linkable (empty) library.
function(tarnwell_folder_library target)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    set(sources ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  tarnwell_warnings(${target})
endfunction()
