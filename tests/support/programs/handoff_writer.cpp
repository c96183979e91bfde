// Writes the hand-off again and again, alternating between two servers and
// names, until it is ended: a test kills it at some moment and looks at
// what the file holds. Usage: handoff-writer <game folder> <event> <writes>:
// the named event is set once that many writes are done, and it writes on.
#include <windows.h>

#include <cwchar>

#include "common/unique_handle.h"
#include "game/handoff.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  common::UniqueKernelHandle written(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]));
  if (!written) return 3;
  const unsigned signal_after = static_cast<unsigned>(wcstoul(argv[3], nullptr, 10));
  for (unsigned i = 0; i < 100000; ++i) {
    if (i % 2 == 0) {
      if (!game::WriteHandoff(argv[1], L"alpha.example", 1111, L"Ann")) return 1;
    } else {
      if (!game::WriteHandoff(argv[1], L"beta.example", 2222, L"Bob")) return 1;
    }
    if (i + 1 == signal_after) SetEvent(written.get());
  }
  return 0;
}
