# SPDX-License-Identifier: LGPL-2.1-or-later
# Sources are listed by name in each CMakeLists.txt, so that the build knows its inputs and a
# stray file builds nothing. The check below keeps the lists whole: a source of the folder that
# no list names (one added on a branch and merged, say) stops the configuration, naming it.

# vorn_require_listed(LIST_VAR [RECURSE] GLOB ...): every file of the current source folder that
# matches a GLOB (relative to the folder) is in LIST_VAR (the same relative paths), and every
# listed file exists.
function(vorn_require_listed list_var)
  set(mode GLOB)
  set(globs ${ARGN})
  if(ARGV1 STREQUAL "RECURSE")
    set(mode GLOB_RECURSE)
    list(POP_FRONT globs)
  endif()
  list(TRANSFORM globs PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  file(${mode} present LIST_DIRECTORIES false RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${globs})
  set(listed ${${list_var}})
  set(problems "")
  foreach(file IN LISTS present)
    if(NOT file IN_LIST listed)
      string(APPEND problems "\n  ${file} is in the folder but in no source list: add it to its target's list")
    endif()
  endforeach()
  foreach(file IN LISTS listed)
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${file})
      string(APPEND problems "\n  ${file} is in ${list_var} but not in the folder")
    endif()
  endforeach()
  if(problems)
    message(FATAL_ERROR "${CMAKE_CURRENT_LIST_FILE}: the source lists (${list_var}) are not the folder's:${problems}")
  endif()
endfunction()
