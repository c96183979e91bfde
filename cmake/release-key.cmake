# Turns the release key's public modulus (a text file of 512 hex digits,
# most significant byte first, as the release tool writes it) into a header.
# The launcher trusts only releases signed by the matching private key.
function(velmora_embed_release_key key_file out_header)
  if(NOT EXISTS "${key_file}")
    message(FATAL_ERROR "release key file not found: ${key_file}")
  endif()
  file(READ "${key_file}" text)
  string(REGEX REPLACE "#[^\n]*" "" text "${text}")
  string(REGEX REPLACE "[ \t\r\n]" "" text "${text}")
  string(TOLOWER "${text}" text)
  string(LENGTH "${text}" len)
  if(NOT len EQUAL 512 OR NOT text MATCHES "^[0-9a-f]+$")
    message(FATAL_ERROR "${key_file}: expected the 2048-bit modulus as 512 hex digits")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${text}")
  file(WRITE "${out_header}.tmp"
"// Generated from ${key_file}; do not edit.
#pragma once
namespace update {
inline constexpr unsigned char kReleaseKeyModulus[256] = {${bytes}};
}
")
  configure_file("${out_header}.tmp" "${out_header}" COPYONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${key_file}")
endfunction()
