# The test release server and the CA it is trusted through, as CTest
# fixtures. A test that fetches from it adds FIXTURES release_server to its
# velmora_add_test; it then finds the server through release_server_client.h.
velmora_support_program(trust_test_ca trust-test-ca support/programs/trust_test_ca.cpp)
target_sources(test_support PRIVATE support/release_server_client.cpp)

add_test(NAME test_ca_setup
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/support/test-ca.sh ${CMAKE_BINARY_DIR}
                 ${VELMORA_SUPPORT_BIN}/trust-test-ca.exe)
set_tests_properties(test_ca_setup PROPERTIES FIXTURES_SETUP test_ca FIXTURES_REQUIRED wine TIMEOUT 120)

add_test(NAME release_server_start
         COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/support/release_server.py start
                 --state ${CMAKE_BINARY_DIR}/test-server --tls ${CMAKE_BINARY_DIR}/test-ca)
set_tests_properties(release_server_start PROPERTIES
  FIXTURES_SETUP release_server FIXTURES_REQUIRED test_ca TIMEOUT 60)
add_test(NAME release_server_stop
         COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/support/release_server.py stop
                 --state ${CMAKE_BINARY_DIR}/test-server)
set_tests_properties(release_server_stop PROPERTIES FIXTURES_CLEANUP release_server TIMEOUT 30)
