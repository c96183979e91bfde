# Which architecture this build folder's tests run as (cmake/test-arch.sh),
# and where they are built:
# - the tests' architecture is this tree's: everything is built here;
# - this is the 32-bit product tree on a machine that cannot run 32-bit
#   code: the product is built here, and the whole test tree is built for
#   64-bit in <build>/x86_64, whose tests CTest runs from here.
# Sets VELMORA_TESTS_HERE and VELMORA_TEST_ARCH_CHOSEN.

# The architecture of this tree's programs, which the Wine scripts read.
file(WRITE "${CMAKE_BINARY_DIR}/wine-arch" "${CMAKE_SYSTEM_PROCESSOR}\n")

if(VELMORA_TEST_ARCH)
  # Given by the parent tree (or on the command line).
  set(VELMORA_TEST_ARCH_CHOSEN ${VELMORA_TEST_ARCH})
  set(reason "asked for by the build")
else()
  execute_process(COMMAND bash "${CMAKE_SOURCE_DIR}/cmake/test-arch.sh" "${CMAKE_BINARY_DIR}"
                  OUTPUT_VARIABLE answer RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake/test-arch.sh failed")
  endif()
  string(REPLACE "\n" ";" answer "${answer}")
  list(GET answer 0 VELMORA_TEST_ARCH_CHOSEN)
  list(GET answer 1 reason)
endif()

set(line "tests run as ${VELMORA_TEST_ARCH_CHOSEN}: ${reason}")
if(VELMORA_TEST_ARCH_CHOSEN STREQUAL CMAKE_SYSTEM_PROCESSOR)
  set(VELMORA_TESTS_HERE TRUE)
else()
  set(VELMORA_TESTS_HERE FALSE)
  string(APPEND line "; built in ${CMAKE_BINARY_DIR}/${VELMORA_TEST_ARCH_CHOSEN}")
endif()
if(NOT VELMORA_TEST_ARCH)
  message(STATUS "${line}")
  file(WRITE "${CMAKE_BINARY_DIR}/test-arch.txt" "${line}\n")
endif()
