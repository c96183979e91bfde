#pragma once
// How a test under Wine reaches the stand-in server list service that the
// "list_service" CTest fixture started (tests/support/list_service.py).
#include <string>

namespace harness {

// Its port on 127.0.0.1; 0 when the fixture did not run.
int ListServicePort();

// "http://127.0.0.1:<port>" + path (path starts with "/").
std::wstring ListServiceUrl(const std::wstring& path);

// A URL whose answer is exactly these bytes with this status.
std::wstring ListEchoUrl(const std::string& body, int status = 200);

// How many /slow and /drip requests carried tag so far (-1: no answer).
int ListRequestsTagged(const std::wstring& tag);

}  // namespace harness
