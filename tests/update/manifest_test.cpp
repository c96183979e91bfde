// The release description parser: what a release may name decides what the
// launcher writes into the game folder. Its cases are the table it shares
// with the release tool's reader (tests/support/description-cases.txt, whose
// top describes its form), so that the tool refuses what the launcher does.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tests/support/harness.h"
#include "update/trust/manifest.h"

namespace {

struct Row {
  std::string name;
  int line = 0;
  std::string text;
  bool accepted = false;
  std::string message;
  std::vector<std::string> fields;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A value of the table with its escapes decoded; false for an escape the
// table does not define.
bool DecodeEscapes(const std::string& value, std::string& out) {
  out.clear();
  size_t i = 0;
  while (i < value.size()) {
    size_t count = 1;
    if (value.compare(i, 2, "\\[") == 0) {
      const size_t close = value.find(']', i);
      if (close == std::string::npos || close == i + 2 || close > i + 8 || value[i + 2] == '0' ||
          value.find_first_not_of("0123456789", i + 2) != close) {
        return false;
      }
      count = 0;
      for (i += 2; i < close; ++i) count = count * 10 + static_cast<size_t>(value[i] - '0');
      i = close + 1;
      if (i == value.size() || value.compare(i, 2, "\\[") == 0) return false;
    }
    char unit = value[i++];
    if (unit == '\\') {
      if (i == value.size()) return false;
      switch (value[i++]) {
        case 'n': unit = '\n'; break;
        case 'r': unit = '\r'; break;
        case 't': unit = '\t'; break;
        case 'v': unit = '\v'; break;
        case 'f': unit = '\f'; break;
        case '0': unit = '\0'; break;
        case 's': unit = ' '; break;
        case '\\': unit = '\\'; break;
        case 'x': {
          const int high = i + 2 <= value.size() ? HexDigit(value[i]) : -1;
          const int low = high >= 0 ? HexDigit(value[i + 1]) : -1;
          if (low < 0) return false;
          unit = static_cast<char>(high * 16 + low);
          i += 2;
          break;
        }
        default: return false;
      }
    }
    out.append(count, unit);
  }
  return true;
}

// The rows of the table; false with the line and the fault in problem.
bool ReadRows(const std::string& file, std::vector<Row>& rows, std::string& problem) {
  enum class State { kNone, kText, kFields, kDone } state = State::kNone;
  std::set<std::string> names;
  size_t start = 0;
  for (int number = 1; start < file.size(); ++number) {
    size_t end = file.find('\n', start);
    if (end == std::string::npos) end = file.size();
    const std::string line = file.substr(start, end - start);
    start = end + 1;
    const auto fail = [&](const std::string& why) {
      problem = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    for (unsigned char c : line) {
      if (c < 0x20 || c > 0x7E) return fail("only printable ASCII");
    }
    if (!line.empty() && line.back() == ' ') return fail("the line ends in a space");
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.find(' ');
    const std::string keyword = line.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    std::string value;
    if (keyword == "case") {
      if (state == State::kText) return fail("\"" + rows.back().name + "\" has no verdict");
      if (rest.empty() || !names.insert(rest).second) return fail("\"" + rest + "\" is no new name");
      rows.push_back(Row());
      rows.back().name = rest;
      rows.back().line = number;
      state = State::kText;
    } else if (state == State::kText && keyword == "text") {
      if (!DecodeEscapes(rest, value)) return fail("an escape the table does not define");
      rows.back().text += value;
    } else if (state == State::kText && keyword == "reject") {
      if (!DecodeEscapes(rest, rows.back().message)) return fail("an escape the table does not define");
      state = State::kDone;
    } else if (state == State::kText && line == "accept") {
      rows.back().accepted = true;
      state = State::kFields;
    } else if (state == State::kFields) {
      if (!DecodeEscapes(line, value)) return fail("an escape the table does not define");
      rows.back().fields.push_back(value);
    } else {
      return fail("\"" + keyword + "\" is out of place");
    }
  }
  if (state == State::kText) {
    problem = "\"" + rows.back().name + "\" has no verdict";
    return false;
  }
  return true;
}

// What the launcher read, as the table lists it.
std::vector<std::string> FieldsOf(const update::Manifest& m) {
  using harness::Narrow;
  std::vector<std::string> fields = {"build " + Narrow(m.build)};
  if (!m.channel.empty()) fields.push_back("channel " + Narrow(m.channel));
  if (m.protocol != 0) fields.push_back("protocol " + std::to_string(m.protocol));
  if (!m.notes.empty()) fields.push_back("notes " + Narrow(m.notes));
  if (m.server_port != 0) fields.push_back("server " + Narrow(m.server_host) + " " + std::to_string(m.server_port));
  if (m.sequence != 0) fields.push_back("sequence " + std::to_string(m.sequence));
  if (m.has_expiry) fields.push_back("expires " + Narrow(m.expires) + " " + std::to_string(m.expires_at));
  for (const update::ManifestFile& f : m.files) {
    std::string path = Narrow(f.path);
    for (char& c : path) {
      if (c == '\\') c = '/';
    }
    fields.push_back("file " + path + " " + std::to_string(f.size) + " " + f.sha256 + " " + Narrow(f.source));
    if (f.has_chunks) {
      fields.push_back("chunks " + path + " " + std::to_string(f.chunks_size) + " " + f.chunks_sha256 + " " +
                       Narrow(f.chunks_source));
    }
  }
  for (const std::wstring& mirror : m.mirrors) fields.push_back("mirror " + Narrow(mirror));
  if (m.has_pack) {
    fields.push_back("pack " + std::to_string(m.pack_size) + " " + m.pack_sha256 + " " + Narrow(m.pack_source));
  }
  if (!m.launcher_sha256.empty()) {
    fields.push_back("launcher " + std::to_string(m.launcher_version) + " " + m.launcher_sha256 + " " +
                     Narrow(m.launcher_source));
  }
  return fields;
}

TEST(ParseManifest, ReadsEveryDescriptionOfTheSharedTable) {
  std::vector<Row> rows;
  std::string problem;
  ASSERT_TRUE(ReadRows(harness::ReadFileBytes(harness::SourceDir() + L"\\tests\\support\\description-cases.txt"), rows,
                       problem))
      << "description-cases.txt, " << problem;
  ASSERT_FALSE(rows.empty());
  for (const Row& row : rows) {
    const std::string what = row.name + " (line " + std::to_string(row.line) + ")";
    update::Manifest m;
    std::wstring error;
    const bool ok = update::ParseManifest(std::vector<unsigned char>(row.text.begin(), row.text.end()), m, error);
    if (!row.accepted) {
      EXPECT_FALSE(ok) << what;
      EXPECT_EQ(harness::Narrow(error), row.message) << what;
      continue;
    }
    EXPECT_TRUE(ok) << what << ": " << harness::Narrow(error);
    if (!ok) continue;
    for (const update::ManifestFile& f : m.files) {
      EXPECT_EQ(f.path.find(L'/'), std::wstring::npos) << what << ": a path in the game folder takes \\";
    }
    EXPECT_EQ(FieldsOf(m), row.fields) << what;
  }
}

TEST(ParseManifest, StartsFromAnEmptyRecord) {
  const std::string digest(64, 'a');
  update::Manifest m;
  m.notes = L"stale";
  m.launcher_version = 9;
  update::ManifestFile old;
  old.path = L"old.dll";
  old.sha256 = digest;
  old.source = L"old";
  m.files.push_back(old);
  std::wstring error;
  const std::string text = "velmoramp-manifest 1\nbuild 1\nfile a.dll 10 " + digest + " files/x\n";
  ASSERT_TRUE(update::ParseManifest(std::vector<unsigned char>(text.begin(), text.end()), m, error));
  EXPECT_EQ(m.notes, L"");
  EXPECT_EQ(m.launcher_version, 0);
  ASSERT_EQ(m.files.size(), 1u);
  EXPECT_EQ(m.files[0].path, L"a.dll");
  EXPECT_TRUE(error.empty()) << "success leaves the error text alone";
}

}  // namespace
