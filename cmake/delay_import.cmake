# Delay-loaded system DLLs.
#
# The launcher runs from the client's root folder and the updater from its element
# folder, both filled by the update feed and by players' mods. Windows looks for a
# statically imported DLL in the program's own folder before System32 unless the DLL is
# a KnownDLL, so a planted winhttp.dll would run before wWinMain. The programs therefore
# import statically only DLLs that are KnownDLLs on every Windows we support (7 to 11:
# kernel32, user32, gdi32, msvcrt, advapi32, shell32, ole32; tests/scripts/pe_imports.py
# holds that list for the checks), and every other system DLL delay-loaded: its first
# call loads it, after wWinMain has limited the search to System32 (core/dll_search.h).
#
# vorn_delay_import(NAME) makes the imported static library vorn_delay_NAME from the
# MinGW import library libNAME.a: the same functions, bound on first call through
# __delayLoadHelper2 (in libmingwex, which every MinGW program links; MinGW's
# libdelayimp.a is an empty archive). Exported data cannot be delay-loaded; it is left
# out, so a use of it fails at link time instead of at run time.

set(VORN_DELAY_IMPORT_DIR ${CMAKE_BINARY_DIR}/delay-import)

# The exported functions of an import library: a function has its __imp_ pointer and a
# call thunk of the same name in .text; data has only the pointer.
function(vorn_import_library_functions import_library out_var)
  execute_process(COMMAND ${CMAKE_NM} ${import_library} OUTPUT_VARIABLE listing
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${CMAKE_NM} ${import_library} failed")
  endif()
  string(REGEX MATCHALL "[0-9a-f]+ I __imp_[A-Za-z0-9_@?$]+" pointers "${listing}")
  set(functions "")
  foreach(pointer IN LISTS pointers)
    string(REGEX REPLACE ".* I __imp_" "" name "${pointer}")
    string(FIND "${listing}" " T ${name}\n" thunk)
    if(NOT thunk EQUAL -1)
      list(APPEND functions ${name})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES functions)
  set(${out_var} ${functions} PARENT_SCOPE)
endfunction()

function(vorn_delay_import name)
  find_library(VORN_IMPORT_LIB_${name} NAMES lib${name}.a REQUIRED NO_CACHE)
  set(import_library ${VORN_IMPORT_LIB_${name}})
  set(def ${VORN_DELAY_IMPORT_DIR}/${name}.def)
  set(delay_library ${VORN_DELAY_IMPORT_DIR}/lib${name}_delay.a)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                                                              ${import_library})
  # Regenerated only when the import library or this file changed: a fresh archive
  # would relink both programs on every configure.
  if(NOT EXISTS ${delay_library} OR ${import_library} IS_NEWER_THAN ${delay_library}
     OR ${CMAKE_CURRENT_FUNCTION_LIST_FILE} IS_NEWER_THAN ${delay_library})
    vorn_import_library_functions(${import_library} functions)
    if(NOT functions)
      message(FATAL_ERROR "${import_library} exports no functions")
    endif()
    list(JOIN functions "\n" exports)
    file(WRITE ${def} "LIBRARY ${name}.dll\nEXPORTS\n${exports}\n")
    # Relative names, run in the folder: dlltool names its symbols after the output path,
    # the symbols reach the programs, and their bytes must depend on the sources alone.
    execute_process(COMMAND ${CMAKE_DLLTOOL} -d ${name}.def -D ${name}.dll -y lib${name}_delay.a
                    WORKING_DIRECTORY ${VORN_DELAY_IMPORT_DIR}
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "${CMAKE_DLLTOOL} could not make ${delay_library}")
    endif()
  endif()
  add_library(vorn_delay_${name} STATIC IMPORTED GLOBAL)
  set_target_properties(vorn_delay_${name} PROPERTIES IMPORTED_LOCATION ${delay_library})
endfunction()

file(MAKE_DIRECTORY ${VORN_DELAY_IMPORT_DIR})
foreach(name IN ITEMS bcrypt crypt32 gdiplus winhttp wintrust)
  vorn_delay_import(${name})
endforeach()
