#include "common/timing.h"

#include <cwchar>
#include <utility>

#include "common/env.h"

namespace common {

namespace {

Timing& Current() {
  static Timing timing;
  return timing;
}

}  // namespace

const Timing& CurrentTiming() { return Current(); }

void SetTiming(const Timing& timing) { Current() = timing; }

uint32_t BusyWaitMs(size_t attempt) {
  static const uint32_t kSteps[kBusyTries] = {1, 2, 3, 4, 6, 8, 8, 8};
  return kSteps[attempt < kBusyTries ? attempt : kBusyTries - 1] * CurrentTiming().busy_step_ms;
}

bool ParseTiming(const std::wstring& text, Timing& timing) {
  const std::pair<const wchar_t*, uint32_t Timing::*> fields[] = {
      {L"retry", &Timing::retry_base_ms},
      {L"jitter", &Timing::retry_jitter_percent},
      {L"retry_after", &Timing::retry_after_unit_ms},
      {L"refetch", &Timing::refetch_wait_ms},
      {L"busy", &Timing::busy_step_ms},
      {L"connect", &Timing::connect_limit_ms},
      {L"answer", &Timing::answer_limit_ms},
      {L"list", &Timing::list_deadline_ms},
  };
  Timing read = timing;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(L',', start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring item = text.substr(start, end - start);
    start = end + 1;
    const size_t equals = item.find(L'=');
    if (equals == std::wstring::npos || equals + 1 == item.size()) return false;
    const std::wstring name = item.substr(0, equals), value = item.substr(equals + 1);
    if (value.find_first_not_of(L"0123456789") != std::wstring::npos || value.size() > 9) return false;
    bool known = false;
    for (const auto& field : fields) {
      if (name != field.first) continue;
      read.*field.second = static_cast<uint32_t>(wcstoul(value.c_str(), nullptr, 10));
      known = true;
    }
    if (!known) return false;
  }
  timing = read;
  return true;
}

void TimingFromEnvironment() {
  const std::wstring text = EnvironmentValue(L"VELMORA_TIMING");
  Timing timing = CurrentTiming();
  if (!text.empty() && ParseTiming(text, timing)) SetTiming(timing);
}

}  // namespace common
