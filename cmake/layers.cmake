# The product's folders are layers, each one static library that links only
# the layers below it:
#
#   common  <-  json, net, webview  <-  update, servers, game  <-  ui  <-  app
#
# update is itself a stack of rooms, each its own library:
#
#   update/run  <-  update/trust  <-  update/disk  <-  update/hosts  <-  update/content  <-  update
#
# The build keeps the layers: a layer compiles against an include root of
# its own that holds only itself and the folders below it, so an #include of
# a higher folder (or room) fails to compile.

# Warnings are errors in our own code. GCC 12's object-size warnings are
# left out: at -O3 they fire inside the standard library's own string and
# vector code (copies it has already bounds-checked), not in ours.
function(velmora_warnings target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Werror
    -Wno-restrict -Wno-array-bounds -Wno-stringop-overread -Wno-stringop-overflow>)
endfunction()

# velmora_layer(<folder> [SOURCES ...] [DEPENDS <lower folders>] [LIBS <system libraries>])
# Makes the library velmora_<folder> ("/" as "_": velmora_update_trust for
# update/trust); one without sources is headers only.
function(velmora_layer folder)
  cmake_parse_arguments(L "" "" "SOURCES;DEPENDS;LIBS" ${ARGN})
  string(REPLACE "/" "_" library velmora_${folder})
  set(visible ${folder})
  foreach(dependency IN LISTS L_DEPENDS)
    string(REPLACE "/" "_" below_library velmora_${dependency})
    if(NOT TARGET ${below_library})
      message(FATAL_ERROR "layer ${folder}: ${dependency} must be defined before it")
    endif()
    get_property(below GLOBAL PROPERTY VELMORA_LAYER_VISIBLE_${dependency})
    list(APPEND visible ${below})
  endforeach()
  list(REMOVE_DUPLICATES visible)
  set_property(GLOBAL PROPERTY VELMORA_LAYER_VISIBLE_${folder} ${visible})

  set(root ${CMAKE_BINARY_DIR}/layers/${library})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  foreach(name IN LISTS visible)
    # A room whose whole folder is visible is reached through the folder's
    # link (and a link may not be made inside another).
    set(covered FALSE)
    foreach(other IN LISTS visible)
      string(FIND "${name}" "${other}/" at)
      if(at EQUAL 0)
        set(covered TRUE)
      endif()
    endforeach()
    if(NOT covered)
      get_filename_component(parent ${root}/${name} DIRECTORY)
      file(MAKE_DIRECTORY ${parent})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${name} ${root}/${name} SYMBOLIC)
    endif()
  endforeach()

  set(scope PUBLIC)
  if(L_SOURCES)
    add_library(${library} STATIC ${L_SOURCES})
    velmora_warnings(${library})
  else()
    add_library(${library} INTERFACE)
    set(scope INTERFACE)
  endif()
  target_include_directories(${library} ${scope} ${root} ${CMAKE_BINARY_DIR}/generated)
  target_compile_definitions(${library} ${scope}
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  foreach(dependency IN LISTS L_DEPENDS)
    string(REPLACE "/" "_" below_library velmora_${dependency})
    target_link_libraries(${library} ${scope} ${below_library})
  endforeach()
  target_link_libraries(${library} ${scope} ${L_LIBS})
endfunction()
