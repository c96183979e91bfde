# The product's folders are layers, each one static library that links only
# the layers below it:
#
#   common  <-  json, net, webview  <-  update, servers, game  <-  ui  <-  app
#
# The build keeps the layers: a layer compiles against an include root of
# its own that holds only itself and the folders below it, so an #include of
# a higher folder fails to compile.

# Warnings are errors in our own code. GCC 12's object-size warnings are
# left out: at -O3 they fire inside the standard library's own string and
# vector code (copies it has already bounds-checked), not in ours.
function(velmora_warnings target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Werror
    -Wno-restrict -Wno-array-bounds -Wno-stringop-overread -Wno-stringop-overflow>)
endfunction()

# velmora_layer(<folder> SOURCES ... [DEPENDS <lower folders>] [LIBS <system libraries>])
# Makes the library velmora_<folder>.
function(velmora_layer folder)
  cmake_parse_arguments(L "" "" "SOURCES;DEPENDS;LIBS" ${ARGN})
  set(visible ${folder})
  foreach(dependency IN LISTS L_DEPENDS)
    if(NOT TARGET velmora_${dependency})
      message(FATAL_ERROR "layer ${folder}: ${dependency} must be defined before it")
    endif()
    get_property(below GLOBAL PROPERTY VELMORA_LAYER_VISIBLE_${dependency})
    list(APPEND visible ${below})
  endforeach()
  list(REMOVE_DUPLICATES visible)
  set_property(GLOBAL PROPERTY VELMORA_LAYER_VISIBLE_${folder} ${visible})

  set(root ${CMAKE_BINARY_DIR}/layers/${folder})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  foreach(name IN LISTS visible)
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${name} ${root}/${name} SYMBOLIC)
  endforeach()

  add_library(velmora_${folder} STATIC ${L_SOURCES})
  target_include_directories(velmora_${folder} PUBLIC ${root} ${CMAKE_BINARY_DIR}/generated)
  target_compile_definitions(velmora_${folder} PUBLIC
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  foreach(dependency IN LISTS L_DEPENDS)
    target_link_libraries(velmora_${folder} PUBLIC velmora_${dependency})
  endforeach()
  target_link_libraries(velmora_${folder} PUBLIC ${L_LIBS})
  velmora_warnings(velmora_${folder})
endfunction()
