#include "servers/ping.h"

// Winsock first, then the ICMP API after the types it uses.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on

#include <algorithm>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "common/unique_handle.h"
#include "common/worker_pool.h"

namespace servers {
namespace {

using UniqueIcmp = common::UniqueHandle<HANDLE, &IcmpCloseHandle, -1>;

struct AddressListDeleter {
  void operator()(ADDRINFOW* list) const { FreeAddrInfoW(list); }
};
using AddressList = std::unique_ptr<ADDRINFOW, AddressListDeleter>;

// The published layout of an IPv6 echo reply: a byte-packed address (26
// bytes), then the status at offset 28. The toolchain's headers declare the
// address unpacked, so it is declared here as published.
#pragma pack(push, 1)
struct Ipv6AddressEx {
  USHORT port;
  ULONG flowinfo;
  USHORT address[8];
  ULONG scope_id;
};
#pragma pack(pop)
struct Icmpv6EchoReply {
  Ipv6AddressEx address;
  ULONG status;
  unsigned int round_trip_ms;
};
static_assert(sizeof(Ipv6AddressEx) == 26, "IPV6_ADDRESS_EX is byte-packed");
static_assert(offsetof(Icmpv6EchoReply, status) == 28, "ICMPV6_ECHO_REPLY layout");

// A small payload, as the system's own ping sends; the reply buffers leave
// room for it, an ICMP error message and the 8 bytes the API asks for.
const char kPayload[] = "velmoramp-ping";
constexpr DWORD kReplyBytes = 256;

// Winsock for the name look-ups, for the owner's lifetime.
class Winsock {
 public:
  Winsock() { started_ = WSAStartup(MAKEWORD(2, 2), &data_) == 0; }
  ~Winsock() {
    if (started_) WSACleanup();
  }
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;

 private:
  WSADATA data_ = {};
  bool started_ = false;
};

int EchoV4(const sockaddr_in& to, unsigned long timeout_ms, unsigned long& error) {
  UniqueIcmp icmp(IcmpCreateFile());
  if (!icmp) {
    error = GetLastError();
    return kNoAnswer;
  }
  alignas(8) unsigned char reply[kReplyBytes] = {};
  const DWORD replies = IcmpSendEcho(icmp.get(), to.sin_addr.s_addr, const_cast<char*>(kPayload), sizeof kPayload - 1,
                                     nullptr, reply, sizeof reply, timeout_ms);
  if (replies == 0) {
    error = GetLastError();
    return kNoAnswer;
  }
  const auto* answer = reinterpret_cast<const ICMP_ECHO_REPLY*>(reply);
  if (answer->Status != IP_SUCCESS) {
    error = answer->Status;
    return kNoAnswer;
  }
  error = 0;
  return static_cast<int>(answer->RoundTripTime);
}

int EchoV6(const sockaddr_in6& to, unsigned long timeout_ms, unsigned long& error) {
  UniqueIcmp icmp(Icmp6CreateFile());
  if (!icmp) {
    error = GetLastError();
    return kNoAnswer;
  }
  sockaddr_in6 from = {};
  from.sin6_family = AF_INET6;  // any local address
  sockaddr_in6 destination = to;
  alignas(8) unsigned char reply[kReplyBytes] = {};
  const DWORD replies =
      Icmp6SendEcho2(icmp.get(), nullptr, nullptr, nullptr, &from, &destination, const_cast<char*>(kPayload),
                     sizeof kPayload - 1, nullptr, reply, sizeof reply, timeout_ms);
  if (replies == 0) {
    error = GetLastError();
    return kNoAnswer;
  }
  const auto* answer = reinterpret_cast<const Icmpv6EchoReply*>(reply);
  if (answer->status != IP_SUCCESS) {
    error = answer->status;
    return kNoAnswer;
  }
  error = 0;
  return static_cast<int>(answer->round_trip_ms);
}

}  // namespace

int PingHost(const std::wstring& host, unsigned long timeout_ms, unsigned long* error) {
  unsigned long reason = 0;
  unsigned long& e = error != nullptr ? *error : reason;
  if (host.empty()) {
    // The look-up would give this machine's own addresses.
    e = WSAHOST_NOT_FOUND;
    return kNoAnswer;
  }
  Winsock winsock;
  ADDRINFOW hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  ADDRINFOW* found = nullptr;
  const int looked_up = GetAddrInfoW(host.c_str(), nullptr, &hints, &found);
  AddressList addresses(found);
  if (looked_up != 0 || !addresses) {
    e = looked_up != 0 ? static_cast<unsigned long>(looked_up) : static_cast<unsigned long>(WSAHOST_NOT_FOUND);
    return kNoAnswer;
  }
  const ADDRINFOW* v4 = nullptr;
  const ADDRINFOW* v6 = nullptr;
  for (const ADDRINFOW* a = addresses.get(); a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && v4 == nullptr && a->ai_addrlen >= sizeof(sockaddr_in)) v4 = a;
    if (a->ai_family == AF_INET6 && v6 == nullptr && a->ai_addrlen >= sizeof(sockaddr_in6)) v6 = a;
  }
  if (v4 != nullptr) return EchoV4(*reinterpret_cast<const sockaddr_in*>(v4->ai_addr), timeout_ms, e);
  if (v6 != nullptr) return EchoV6(*reinterpret_cast<const sockaddr_in6*>(v6->ai_addr), timeout_ms, e);
  e = WSAHOST_NOT_FOUND;
  return kNoAnswer;
}

void PingHosts(const std::vector<std::wstring>& hosts, const PingBatchFn& report, const KeepGoingFn& keep_going,
               unsigned long batch_ms) {
  std::vector<std::wstring> distinct;
  std::set<std::wstring> seen;
  for (const std::wstring& host : hosts) {
    if (seen.insert(host).second) distinct.push_back(host);
  }
  if (distinct.empty()) return;

  // Held for the whole run, so that the measuring threads' own start and
  // clean-up never take Winsock down under another's look-up.
  Winsock winsock;
  std::mutex lock;
  std::vector<PingResult> arrived;  // not yet reported
  const auto measure = [&](size_t i) {
    int ms = kNoAnswer;
    try {
      ms = PingHost(distinct[i], kPingTimeoutMs);
    } catch (...) {
      // Out of memory for a look-up: this host simply has no answer.
    }
    std::lock_guard<std::mutex> hold(lock);
    arrived.push_back(PingResult{distinct[i], ms});
  };
  // Declared after what its jobs use: it joins them before those go.
  common::WorkerPool pool;
  if (!pool.Start(distinct.size(), kMaxPingsInFlight, measure)) {
    // No thread to spare: one at a time on this one.
    for (size_t i = 0; i < distinct.size() && (!keep_going || keep_going()); ++i) {
      try {
        measure(i);
      } catch (...) {
      }
    }
  }
  for (;;) {
    const bool done = pool.Wait(batch_ms);
    std::vector<PingResult> batch;
    {
      std::lock_guard<std::mutex> hold(lock);
      batch.swap(arrived);
    }
    if (keep_going && !keep_going()) {
      pool.Stop();
      return;
    }
    if (!batch.empty() && report) report(batch);
    if (done) return;
  }
}

}  // namespace servers
