# The build text is one object of its own: the product's libraries link the project
# version's (a static library, so an executable that brings its own object keeps that one).
function(vorn_build_text target kind text)
  if(NOT text MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "build text '${text}' is not four dot-separated numbers")
  endif()
  set(VORN_BUILD_TEXT ${text})
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/build_text.cpp.in ${output} @ONLY)
  add_library(${target} ${kind} ${output})
  target_include_directories(${target} PRIVATE ${VORN_GENERATED_INCLUDE})
endfunction()
