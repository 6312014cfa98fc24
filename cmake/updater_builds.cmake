# The updater builds the launcher accepts are build values: one list per target (the
# product's, or a test's own), embedded as an object library the executable links: its
# object always reaches the link, wherever the engine stands in the library order.
#
#   vorn_updater_builds(target list_file)                    six digests from the list
#   vorn_updater_builds(target list_file UPDATER exe_target)  the updater built here first,
#                                                             then five earlier ones
#   vorn_updater_builds(target list_file UPDATER_FILE file)   the same with a file made by
#                                                             another rule (a signed copy)
# With UPDATER the digest is taken from the built file at build time, so the launcher
# always carries the digest of the updater released with it.
function(vorn_updater_builds target list_file)
  cmake_parse_arguments(ARG "" "UPDATER;UPDATER_FILE" "" ${ARGN})
  if(ARG_UPDATER)
    set(updater_file $<TARGET_FILE:${ARG_UPDATER}>)
    set(updater_depends ${ARG_UPDATER})
  elseif(ARG_UPDATER_FILE)
    set(updater_file ${ARG_UPDATER_FILE})
    set(updater_depends ${ARG_UPDATER_FILE})
  endif()
  set(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp)
  set(LIST_FILE ${list_file})
  set(TEMPLATE ${PROJECT_SOURCE_DIR}/cmake/accepted_updater_builds.cpp.in)
  set(script ${PROJECT_SOURCE_DIR}/cmake/updater_builds_generate.cmake)
  if(updater_depends)
    add_custom_command(OUTPUT ${OUTPUT}
      COMMAND ${CMAKE_COMMAND} -DLIST_FILE=${LIST_FILE} -DOUTPUT=${OUTPUT} -DTEMPLATE=${TEMPLATE}
              -DUPDATER=${updater_file} -P ${script}
      DEPENDS ${LIST_FILE} ${TEMPLATE} ${script} ${updater_depends}
      COMMENT "Embedding the SHA-256 of ${updater_file} into ${target}"
      VERBATIM)
  else()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${LIST_FILE})
    include(${script})
  endif()
  add_library(${target} OBJECT ${OUTPUT})
  vorn_target(${target})
  target_link_libraries(${target} PUBLIC vorn_json)
endfunction()
