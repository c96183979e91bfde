// Our declarations of the web view interfaces against the published ones.
// The facts are in tests/support/webview2-abi.json, copied with their
// sources: the MIDL-generated WebView2.h of an early-2021 SDK as kept in
// github:wailsapp/wails (v2/internal/ffenestri/windows/WebView2.h at
// 1f8a2bb9), with the ICoreWebView2 order re-checked against the SDK
// 1.0.3908-prerelease header (github:pparaxan/WebView2), and the IIDs as
// also given at learn.microsoft.com (webview2-idl); the navigation-completed
// and process-failed events as the reference pages at learn.microsoft.com
// give them. A build step turns them
// into abi_expectations.inc: static_asserts on every method's parameters and
// calling convention, and the table of IIDs and slots checked below.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "webview/interfaces.h"

namespace {

// The vtable slot g++ calls a virtual method through. Under the Itanium C++
// ABI (which g++ uses for i686 Windows too) a pointer to a virtual member
// function holds 1 + the method's byte offset in the vtable; -1 if the
// method is not virtual.
template <typename Method>
int SlotOf(Method method) {
  struct Representation {
    ptrdiff_t pointer;
    ptrdiff_t adjustment;
  };
  static_assert(sizeof(Method) == sizeof(Representation), "unexpected member pointer layout");
  Representation r;
  std::memcpy(&r, &method, sizeof r);
  if ((r.pointer & 1) == 0 || r.adjustment != 0) return -1;
  return static_cast<int>((r.pointer - 1) / static_cast<ptrdiff_t>(sizeof(void*)));
}

struct ExpectedMethod {
  int published_slot;
  const char* name;
  int our_slot;
};

struct ExpectedInterface {
  const char* name;
  const char* published_iid;
  const IID* our_iid;
  int own_method_count;
  int vtable_size;
  const char* order_check;
  std::vector<ExpectedMethod> methods;
};

#include "abi_expectations.inc"

std::string IidText(const IID& iid) {
  char text[40];
  std::snprintf(text, sizeof text, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned long>(iid.Data1), iid.Data2, iid.Data3, iid.Data4[0], iid.Data4[1], iid.Data4[2],
                iid.Data4[3], iid.Data4[4], iid.Data4[5], iid.Data4[6], iid.Data4[7]);
  return text;
}

std::string Sources() { return std::string("\n  source: ") + kAbiSource + "\n  cross-check: " + kAbiCrossCheck; }

TEST(WebViewAbi, EveryInterfaceTheLauncherUsesIsChecked) {
  ::testing::Test::RecordProperty("abi_source", kAbiSource);
  ::testing::Test::RecordProperty("abi_cross_check", kAbiCrossCheck);
  std::vector<std::string> names;
  for (const ExpectedInterface& expected : kExpected) names.push_back(expected.name);
  for (const char* used :
       {"ICoreWebView2Environment", "ICoreWebView2Controller", "ICoreWebView2", "ICoreWebView2Settings",
        "ICoreWebView2WebMessageReceivedEventArgs", "ICoreWebView2WebMessageReceivedEventHandler",
        "ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler",
        "ICoreWebView2CreateCoreWebView2ControllerCompletedHandler", "ICoreWebView2NavigationCompletedEventHandler",
        "ICoreWebView2NavigationCompletedEventArgs", "ICoreWebView2ProcessFailedEventHandler",
        "ICoreWebView2ProcessFailedEventArgs"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), used), names.end()) << used << " has no published facts";
  }
}

TEST(WebViewAbi, IidsMatchThePublishedInterfaces) {
  for (const ExpectedInterface& expected : kExpected) {
    EXPECT_EQ(IidText(*expected.our_iid), expected.published_iid) << expected.name << Sources();
  }
}

TEST(WebViewAbi, EveryMethodSitsInItsPublishedSlot) {
  // The IUnknown part every interface starts with.
  EXPECT_EQ(SlotOf(static_cast<HRESULT (STDMETHODCALLTYPE IUnknown::*)(REFIID, void**)>(&IUnknown::QueryInterface)), 0);
  EXPECT_EQ(SlotOf(&IUnknown::AddRef), 1);
  EXPECT_EQ(SlotOf(&IUnknown::Release), 2);
  for (const ExpectedInterface& expected : kExpected) {
    SCOPED_TRACE(std::string(expected.name) + Sources() + "\n  order check: " + expected.order_check);
    // The facts themselves: slots 3.. in a row, as many as published.
    ASSERT_EQ(static_cast<int>(expected.methods.size()), expected.own_method_count);
    ASSERT_EQ(expected.vtable_size, 3 + expected.own_method_count);
    for (size_t i = 0; i < expected.methods.size(); ++i) {
      const ExpectedMethod& method = expected.methods[i];
      EXPECT_EQ(method.published_slot, static_cast<int>(3 + i)) << method.name;
      EXPECT_EQ(method.our_slot, method.published_slot) << expected.name << "::" << method.name;
    }
  }
}

TEST(WebViewAbi, EventTokenIsEightBytesPassedByValue) {
  // remove_* take the token by value: 8 bytes on the x86 stack.
  static_assert(sizeof(EventRegistrationToken) == 8, "EventRegistrationToken is { INT64 value; }");
  static_assert(sizeof(COREWEBVIEW2_WEB_RESOURCE_CONTEXT) == 4, "enumerations travel as 32-bit integers");
  static_assert(sizeof(RECT) == 16, "put_Bounds takes a 16-byte RECT by value");
  static_assert(sizeof(COREWEBVIEW2_PROCESS_FAILED_KIND) == 4 && sizeof(COREWEBVIEW2_WEB_ERROR_STATUS) == 4,
                "the event arguments' enumerations travel as 32-bit integers");
  EXPECT_EQ(SlotOf(&ICoreWebView2::remove_WebMessageReceived), 35);
}

}  // namespace
