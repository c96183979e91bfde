// Writes the hand-off again and again, alternating between two servers and
// names, until it is ended: a test kills it at some moment and looks at
// what the file holds. Usage: handoff-writer <game folder>
#include <windows.h>

#include "game/handoff.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  for (unsigned i = 0; i < 100000; ++i) {
    if (i % 2 == 0) {
      if (!game::WriteHandoff(argv[1], L"alpha.example", 1111, L"Ann")) return 1;
    } else {
      if (!game::WriteHandoff(argv[1], L"beta.example", 2222, L"Bob")) return 1;
    }
  }
  return 0;
}
