# Keeps the engine's dependencies pointing down. Every folder is one library
# (or program), and every source file in it may include only headers of its own
# folder and of the folders of the libraries it links, directly or through
# others. Includes start from the source root, so the folder of an include is
# the path before its file name. An include that points up, or sideways to a
# library not linked, stops the configuration with the file and the line.

# The tolvane_ libraries that target links, directly or through others.
function(tolvane_linked_libraries target out)
  set(seen)
  set(pending ${target})
  while(pending)
    list(POP_FRONT pending current)
    get_target_property(direct ${current} LINK_LIBRARIES)
    get_target_property(interface ${current} INTERFACE_LINK_LIBRARIES)
    foreach(library IN LISTS direct interface)
      if(library MATCHES "^tolvane_" AND TARGET ${library} AND NOT library IN_LIST seen)
        list(APPEND seen ${library})
        list(APPEND pending ${library})
      endif()
    endforeach()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

# The folder of target's sources, relative to the source root.
function(tolvane_target_folder target out)
  get_target_property(folder ${target} SOURCE_DIR)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${folder})
  set(${out} ${folder} PARENT_SCOPE)
endfunction()

# Checks every header and source file in the folder of each target.
function(tolvane_check_layering)
  foreach(target IN LISTS ARGN)
    tolvane_target_folder(${target} folder)
    set(allowed ${folder})
    tolvane_linked_libraries(${target} libraries)
    foreach(library IN LISTS libraries)
      tolvane_target_folder(${library} library_folder)
      list(APPEND allowed ${library_folder})
    endforeach()
    file(GLOB files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.h ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
    foreach(file IN LISTS files)
      file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
      foreach(line IN LISTS includes)
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" header "${line}")
        get_filename_component(header_folder "${header}" DIRECTORY)
        if(header_folder STREQUAL "")
          set(header_folder ${folder})
        endif()
        if(NOT header_folder IN_LIST allowed)
          file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR} ${file})
          message(FATAL_ERROR "${name} includes \"${header}\": ${folder}/ (${target}) does not depend on "
                              "${header_folder}/. Dependencies point down: ${allowed}")
        endif()
      endforeach()
    endforeach()
  endforeach()
endfunction()
