#pragma once
// The compiled catalogues, made at build time from common/lang/*.po: for
// each language, its texts sorted by the English one (code-unit order).
#include <cstddef>

namespace common::catalogue_data {

struct Entry {
  const wchar_t* english;
  const wchar_t* forms[4];  // one, or one per plural category of the language
  unsigned count;
};

struct Table {
  const wchar_t* tag;
  unsigned plural_forms;
  const Entry* entries;
  size_t size;
};

extern const Table kTables[];
extern const size_t kTableCount;

}  // namespace common::catalogue_data
