#pragma once
// How a test under Wine finds and drives the test release server that the
// "release_server" CTest fixture started (tests/support/release_server.py).
#include <string>
#include <vector>

namespace harness {

int ReleaseServerPort();           // its HTTPS port; 0 when the fixture did not run
int ReleaseServerHttpPort();       // its plain-HTTP port
int ReleaseServerUntrustedPort();  // HTTPS with a certificate nothing trusts
std::wstring ReleaseServerRoot();  // the served folder, as a Windows path

// "https://localhost:<port>" + path (path starts with "/" or is empty).
std::wstring ReleaseUrl(const std::wstring& path);

// A fresh folder under the served root, unique to this call, named after
// tag; returns its name (one path segment) and fills folder with its path.
std::wstring MakeReleaseFolder(const std::wstring& tag, std::wstring& folder);

// Signs root\<relative> (a "/"-separated path) with the test release key
// into the same name with ".sig" for its extension. False on any failure.
bool SignRelease(const std::wstring& relative);

// Publishes the game files in root\<folder> into root\<out> (both
// "/"-separated, relative to the root) with the
// release tool and the test key; query holds its options as URL query
// text ("channel=stable&build=b1&protocol=3&server=h:27015", and
// "launcher=<root-relative path>&launcher-version=6"). Returns "" or what
// went wrong.
std::string PublishRelease(const std::wstring& folder, const std::wstring& out, const std::wstring& query);
// The same release as a dry run: what the tool printed, or "" on failure.
std::string DryRunRelease(const std::wstring& folder, const std::wstring& out, const std::wstring& query);

// One request the server answered under a prefix, as its details list it.
struct ServedRequest {
  std::string path, connection, range, if_range;
  int status = 0;
  unsigned long long bytes = 0;               // sent
  bool chunk() const;                         // a chunk object (not an index)
  bool whole_file() const;                    // a file of files/
  bool Names(const std::string& file) const;  // the path ends in "/" + file
};
std::vector<ServedRequest> RequestsServed(const std::wstring& prefix);

// Lines "PATH<TAB>USER-AGENT" of the requests received whose path starts
// with "/" + prefix.
std::string RequestsFor(const std::wstring& prefix);

// The same requests as "PATH<TAB>CONNECTION<TAB>RANGE<TAB>IF-RANGE<TAB>STATUS<TAB>BYTES SENT".
std::string RequestDetailsFor(const std::wstring& prefix);

// How many connections asked for paths starting with "/" + prefix.
int ConnectionsFor(const std::wstring& prefix);

}  // namespace harness
