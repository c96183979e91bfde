# The stand-in server list service (list_service.py) as a CTest fixture. A
# test that fetches a list adds FIXTURES list_service to its velmora_add_test
# and finds the service through list_service_client.h.
target_sources(test_support PRIVATE support/list_service_client.cpp)

set(VELMORA_LIST_SERVICE_FILES
    --port-file ${CMAKE_BINARY_DIR}/list-service.port --pid-file ${CMAKE_BINARY_DIR}/list-service.pid)
add_test(NAME list_service_start
         COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/support/list_service.py start
                 ${VELMORA_LIST_SERVICE_FILES} --max-seconds 1800)
set_tests_properties(list_service_start PROPERTIES FIXTURES_SETUP list_service TIMEOUT 30)
add_test(NAME list_service_stop
         COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/support/list_service.py stop
                 ${VELMORA_LIST_SERVICE_FILES})
set_tests_properties(list_service_stop PROPERTIES FIXTURES_CLEANUP list_service TIMEOUT 30)
