# The project's own targets build with every warning as an error; third-party headers
# come in as system includes and stay out of it.
function(tarnwell_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
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
