// The small helpers every layer uses: paths, the registry reader, whole
// files and the environment.
#include <gtest/gtest.h>

#include "common/env.h"
#include "common/file.h"
#include "common/log.h"
#include "common/path.h"
#include "common/registry.h"
#include "common/unique_handle.h"
#include "tests/support/harness.h"

namespace {

TEST(PathTest, StrippingAndParents) {
  struct Case {
    std::wstring in, stripped, parent;
  };
  const Case cases[] = {
      {L"C:\\Games\\Velmora\\\\", L"C:\\Games\\Velmora", L"C:\\Games\\Velmora\\"},
      {L"C:\\Games", L"C:\\Games", L"C:"},
      {L"\\\\", L"", L"\\"},
      {L"plain", L"plain", L""},
      {L"", L"", L""},
      {L"a/b/", L"a/b/", L""},  // only backslashes are separators here
  };
  for (const Case& c : cases) {
    std::wstring s = c.in;
    common::StripTrailingBackslashes(s);
    EXPECT_EQ(s, c.stripped) << harness::Narrow(c.in);
    EXPECT_EQ(common::ParentFolder(c.in), c.parent) << harness::Narrow(c.in);
  }
}

TEST(PathTest, FilesAndFoldersAreTold) {
  const std::wstring dir = harness::MakeTempDir(L"common-path");
  ASSERT_TRUE(harness::WriteFileBytes(dir + L"\\file.txt", "x"));
  ASSERT_TRUE(harness::MakeDirs(dir + L"\\folder.txt"));
  EXPECT_TRUE(common::IsFile(dir + L"\\file.txt"));
  EXPECT_FALSE(common::IsFolder(dir + L"\\file.txt"));
  EXPECT_FALSE(common::IsFile(dir + L"\\folder.txt")) << "a folder named like a file is no file";
  EXPECT_TRUE(common::IsFolder(dir + L"\\folder.txt"));
  EXPECT_FALSE(common::IsFile(dir + L"\\missing"));
  EXPECT_FALSE(common::IsFolder(dir + L"\\missing"));
  EXPECT_TRUE(common::MakeFolders(dir + L"\\a\\b\\c\\")) << "with the folders on the way";
  EXPECT_TRUE(common::IsFolder(dir + L"\\a\\b\\c"));
  EXPECT_TRUE(common::MakeFolders(dir + L"\\folder.txt")) << "one that exists";
  EXPECT_FALSE(common::MakeFolders(dir + L"\\file.txt\\below")) << "a file on the way";
  harness::RemoveTree(dir);
}

// A path longer than the first buffer is read whole, not cut: the buffer
// grows (Wine cannot start programs from folders deeper than 260
// characters, so the growth is shown with small first buffers).
TEST(PathTest, ModulePathGrowsItsBufferUntilThePathFits) {
  wchar_t expected[4096] = {};
  const DWORD n = GetModuleFileNameW(nullptr, expected, 4096);
  ASSERT_GT(n, 10u);
  for (size_t first : {size_t{1}, size_t{8}, static_cast<size_t>(n), static_cast<size_t>(n) + 1, size_t{260}}) {
    EXPECT_EQ(common::ModulePath(nullptr, first), expected) << "first buffer " << first;
  }
  EXPECT_EQ(common::ExePath(), expected);
  EXPECT_EQ(common::ExeDirectory(), common::ParentFolder(expected));
}

class RegistryTest : public ::testing::Test {
 protected:
  const std::wstring key_ = L"Software\\VelmoraTests\\Registry";
  void TearDown() override {
    harness::DeleteRegTree(HKEY_CURRENT_USER, key_);
    harness::DeleteRegTree(HKEY_LOCAL_MACHINE, key_, KEY_WOW64_32KEY);
    harness::DeleteRegTree(HKEY_LOCAL_MACHINE, key_, KEY_WOW64_64KEY);
  }
  std::wstring Read(const wchar_t* name, size_t max = static_cast<size_t>(-1)) const {
    return common::ReadRegistryString(HKEY_CURRENT_USER, key_.c_str(), name, 0, max);
  }
};

TEST_F(RegistryTest, OnlyPlainStringsWithinTheLimit) {
  ASSERT_TRUE(harness::SetRegValue(HKEY_CURRENT_USER, key_, L"plain", L"C:\\Steam"));
  ASSERT_TRUE(harness::SetRegValue(HKEY_CURRENT_USER, key_, L"expand", L"%TEMP%\\x", REG_EXPAND_SZ));
  ASSERT_TRUE(harness::SetRegValue(HKEY_CURRENT_USER, key_, L"long", std::wstring(259, L'x')));
  ASSERT_TRUE(harness::SetRegValue(HKEY_CURRENT_USER, key_, L"longer", std::wstring(260, L'x')));
  ASSERT_TRUE(harness::SetRegValue(HKEY_CURRENT_USER, key_, L"empty", L""));
  EXPECT_EQ(Read(L"plain"), L"C:\\Steam");
  EXPECT_EQ(Read(L"expand"), L"") << "an expandable string is another type";
  EXPECT_EQ(Read(L"missing"), L"");
  EXPECT_EQ(Read(L"long", 259), std::wstring(259, L'x'));
  EXPECT_EQ(Read(L"longer", 259), L"") << "a value over the limit is not cut";
  EXPECT_EQ(Read(L"longer"), std::wstring(260, L'x')) << "no limit by default";
  EXPECT_EQ(Read(L"empty"), L"");
  EXPECT_EQ(common::ReadRegistryString(HKEY_CURRENT_USER, L"Software\\VelmoraTests\\Nowhere", L"plain", 0), L"");
}

TEST_F(RegistryTest, AValueStoredWithoutATerminatorReadsWhole) {
  common::UniqueRegKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  const wchar_t text[] = L"abc";
  ASSERT_EQ(RegSetValueExW(key.get(), L"bare", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 3 * sizeof(wchar_t)),
            ERROR_SUCCESS);
  EXPECT_EQ(Read(L"bare"), L"abc");
  EXPECT_EQ(Read(L"bare", 3), L"abc");
}

TEST_F(RegistryTest, ViewsAreKeptApart) {
  ASSERT_TRUE(harness::SetRegValue(HKEY_LOCAL_MACHINE, key_, L"v", L"thirty-two", REG_SZ, KEY_WOW64_32KEY));
  ASSERT_TRUE(harness::SetRegValue(HKEY_LOCAL_MACHINE, key_, L"v", L"sixty-four", REG_SZ, KEY_WOW64_64KEY));
  EXPECT_EQ(common::ReadRegistryString(HKEY_LOCAL_MACHINE, key_.c_str(), L"v", KEY_WOW64_32KEY), L"thirty-two");
  EXPECT_EQ(common::ReadRegistryString(HKEY_LOCAL_MACHINE, key_.c_str(), L"v", KEY_WOW64_64KEY), L"sixty-four");
}

TEST(FileTest, WholeFilesWrittenAndReadBack) {
  const std::wstring dir = harness::MakeTempDir(L"common-file");
  const std::wstring path = dir + L"\\f.bin";
  const std::vector<unsigned char> bytes = {0, 1, 0xFF, '\r', '\n'};
  ASSERT_TRUE(common::WriteWholeFile(path, bytes));
  EXPECT_EQ(common::ReadWholeFile(path, 5), bytes);
  EXPECT_TRUE(common::ReadWholeFile(path, 4).empty()) << "over the bound";
  ASSERT_TRUE(common::WriteWholeFile(path, {}));
  EXPECT_TRUE(harness::FileExists(path)) << "an empty buffer still makes the file";
  EXPECT_EQ(harness::ReadFileBytes(path), "");
  EXPECT_FALSE(common::WriteWholeFile(dir + L"\\no\\such\\folder\\f.bin", bytes));
  harness::RemoveTree(dir);
}

// What a file's stamp is made of: the facts agree with what Windows tells
// of the same file, and the index names the file itself (shared by its
// hard links, kept by a rename, another for another file).
TEST(FileTest, FactsOfAnOpenFile) {
  const std::wstring dir = harness::MakeTempDir(L"common-facts");
  ASSERT_TRUE(common::WriteWholeFile(dir + L"\\a.bin", std::vector<unsigned char>(70000, 'a')));
  ASSERT_TRUE(common::WriteWholeFile(dir + L"\\b.bin", {}));
  ASSERT_TRUE(CreateHardLinkW((dir + L"\\a-link.bin").c_str(), (dir + L"\\a.bin").c_str(), nullptr));
  const auto facts = [](const std::wstring& path, common::FileFacts& out) {
    common::UniqueFile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file && common::DescribeFile(file.get(), out);
  };
  struct Row {
    const wchar_t* name;
    uint64_t size;
    uint32_t links;
    bool folder;
  };
  const Row rows[] = {
      {L"a.bin", 70000, 2, false}, {L"a-link.bin", 70000, 2, false}, {L"b.bin", 0, 1, false}, {L"", 0, 1, true}};
  for (const Row& row : rows) {
    const std::wstring path = *row.name ? dir + L"\\" + row.name : dir;
    common::FileFacts f;
    ASSERT_TRUE(facts(path, f)) << harness::Narrow(path);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(f.attributes, data.dwFileAttributes) << harness::Narrow(path);
    EXPECT_EQ(f.write_time, (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime);
    EXPECT_EQ((f.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, row.folder);
    if (row.folder) continue;
    EXPECT_EQ(f.size, row.size) << harness::Narrow(path);
    EXPECT_EQ(f.links, row.links) << harness::Narrow(path);
    EXPECT_NE(f.index, 0u);
  }
  common::FileFacts a, link, b, moved;
  ASSERT_TRUE(facts(dir + L"\\a.bin", a) && facts(dir + L"\\a-link.bin", link) && facts(dir + L"\\b.bin", b));
  EXPECT_EQ(a.index, link.index) << "hard links are one file";
  EXPECT_NE(a.index, b.index);
  ASSERT_TRUE(MoveFileExW((dir + L"\\b.bin").c_str(), (dir + L"\\c.bin").c_str(), 0));
  ASSERT_TRUE(facts(dir + L"\\c.bin", moved));
  EXPECT_EQ(moved.index, b.index) << "a rename keeps the file";
  harness::RemoveTree(dir);
}

TEST(EnvironmentTest, SetEmptyAndUnset) {
  SetEnvironmentVariableW(L"VELMORA_TEST_VALUE", L"\x0141\xD83D\xDE00 x");
  EXPECT_EQ(common::EnvironmentValue(L"VELMORA_TEST_VALUE"), L"\x0141\xD83D\xDE00 x");
  SetEnvironmentVariableW(L"VELMORA_TEST_VALUE", L"");
  EXPECT_EQ(common::EnvironmentValue(L"VELMORA_TEST_VALUE"), L"");
  SetEnvironmentVariableW(L"VELMORA_TEST_VALUE", nullptr);
  EXPECT_EQ(common::EnvironmentValue(L"VELMORA_TEST_VALUE"), L"");
}

// The log stays below its bound by moving a full log aside, keeping one.
TEST(LogTest, LinesAndRotation) {
  const std::wstring dir = harness::MakeTempDir(L"common-log");
  const std::wstring path = dir + L"\\launcher.log";
  common::OpenLog(path);
  EXPECT_EQ(common::LogPath(), path);
  common::Log(L"first %s\r\nline %d", L"\x0141\xD83D\xDE00", 7);
  const std::string first = harness::ReadFileBytes(path);
  const std::string line = "] first \xC5\x81\xF0\x9F\x98\x80  line 7\r\n";
  ASSERT_GE(first.size(), line.size());
  EXPECT_EQ(first.substr(first.size() - line.size()), line) << "UTF-8, and no line break inside a line";

  const std::wstring filler(900, L'x');
  for (int i = 0; i < 2500; ++i) common::Log(L"%d %s", i, filler.c_str());
  const std::string current = harness::ReadFileBytes(path), old = harness::ReadFileBytes(path + L".1");
  EXPECT_LT(current.size(), common::kMaxLogBytes);
  EXPECT_LT(old.size(), common::kMaxLogBytes);
  EXPECT_GT(old.size(), common::kMaxLogBytes - 2000);
  EXPECT_NE(current.find(" 2499 x"), std::string::npos) << "the newest line is in the current log";
  EXPECT_EQ(old.find("first "), std::string::npos) << "only one old log is kept";

  // An old log that cannot be replaced (here a folder of its name): the log
  // starts again rather than grow without bound, and says so.
  ASSERT_TRUE(DeleteFileW((path + L".1").c_str()));
  ASSERT_TRUE(harness::MakeDirs(path + L".1\\held"));
  for (int i = 0; i < 2500; ++i) common::Log(L"%d %s", i, filler);
  const std::string restarted = harness::ReadFileBytes(path);
  EXPECT_LT(restarted.size(), common::kMaxLogBytes);
  EXPECT_NE(restarted.find("the log could not be moved aside"), std::string::npos);
  EXPECT_NE(restarted.find(" 2499 x"), std::string::npos);

  // A log that cannot be opened is skipped, quietly.
  common::OpenLog(dir + L"\\no such folder\\launcher.log");
  EXPECT_EQ(common::LogPath(), L"");
  common::Log(L"goes nowhere");
  harness::RemoveTree(dir);
}

}  // namespace
