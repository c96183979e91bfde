// How a run's options come together: defaults, launcher.ini beside the
// executable, then the command line.
#include <gtest/gtest.h>

#include <vector>

#include "app/options.h"
#include "common/path.h"
#include "common/texts.h"
#include "tests/support/harness.h"

namespace {

// launcher.ini beside this test program, removed again after each test.
class OptionsTest : public ::testing::Test {
 protected:
  void TearDown() override { DeleteFileW(IniPath().c_str()); }
  static std::wstring IniPath() { return common::ExeDirectory() + L"\\launcher.ini"; }
  static void WriteIni(const std::string& text) { ASSERT_TRUE(harness::WriteFileBytes(IniPath(), text)); }

  static update::Options Parse(std::vector<std::wstring> args) {
    args.insert(args.begin(), L"VelmoraMultiplayer.exe");
    std::vector<wchar_t*> argv;
    for (std::wstring& arg : args) argv.push_back(&arg[0]);
    return app::ParseOptions(static_cast<int>(argv.size()), argv.data());
  }
};

TEST_F(OptionsTest, DefaultsWithoutIniOrArguments) {
  update::Options o = Parse({});
  EXPECT_EQ(o.base_url.rfind(L"https://", 0), 0u);
  EXPECT_NE(o.base_url.back(), L'/');
  EXPECT_EQ(o.base_url.find(L'/', 8), std::wstring::npos) << "no path in the default base URL";
  EXPECT_EQ(o.channel, L"stable");
  EXPECT_EQ(o.game_dir, L"");
  EXPECT_EQ(o.player_name, L"");
  EXPECT_EQ(o.list_url.rfind(L"http://", 0), 0u);
  EXPECT_NE(o.list_url.find(L":27016/api/servers"), std::wstring::npos);
  EXPECT_TRUE(o.launch);
  EXPECT_FALSE(o.check_only);
  EXPECT_TRUE(o.use_window);
}

TEST_F(OptionsTest, IniValuesApplyAndCommandLineWins) {
  WriteIni(
      "[update]\r\nbase_url=https://ini.example///\r\nchannel=beta\r\nlist_url=http://l.example/x\r\n"
      "[game]\r\npath=D:\\Games\\Velmora\\\r\n");
  update::Options o = Parse({});
  EXPECT_EQ(o.base_url, L"https://ini.example") << "trailing slashes go after both layers";
  EXPECT_EQ(o.channel, L"beta");
  EXPECT_EQ(o.list_url, L"http://l.example/x");
  EXPECT_EQ(o.game_dir, L"D:\\Games\\Velmora\\") << "backslashes are stripped later, at resolution";

  o = Parse({L"--channel", L"nightly", L"--base-url", L"https://cli.example///"});
  EXPECT_EQ(o.channel, L"nightly");
  EXPECT_EQ(o.base_url, L"https://cli.example");
}

// Mirrors: every --mirror first, in order, then the ini's blank-separated
// list; trailing slashes go as for the base URL.
TEST_F(OptionsTest, MirrorsComeFromTheCommandLineThenTheIni) {
  WriteIni("[update]\r\nmirrors=  https://a.example/rel/ \thttps://b.example   \r\n");
  EXPECT_EQ(Parse({}).mirrors, (std::vector<std::wstring>{L"https://a.example/rel", L"https://b.example"}));
  EXPECT_EQ(Parse({L"--mirror", L"https://c.example//", L"--channel", L"x", L"--mirror", L"https://d.example"}).mirrors,
            (std::vector<std::wstring>{L"https://c.example", L"https://d.example", L"https://a.example/rel",
                                       L"https://b.example"}));
  EXPECT_EQ(Parse({L"--mirror"}).mirrors.size(), 2u) << "a --mirror without its value adds nothing";
  WriteIni("[update]\r\nmirrors=\r\n");
  EXPECT_TRUE(Parse({}).mirrors.empty());
}

TEST_F(OptionsTest, EmptyIniValuesKeepDefaults) {
  WriteIni("[update]\nbase_url=\nchannel=\n[game]\npath=\n");
  update::Options o = Parse({});
  EXPECT_EQ(o.base_url, app::kDefaultBaseUrl);
  EXPECT_EQ(o.channel, L"stable");
  EXPECT_EQ(o.game_dir, L"");
}

TEST_F(OptionsTest, IniValueCutAt511Characters) {
  WriteIni("[update]\nchannel=" + std::string(600, 'c') + "\n");
  EXPECT_EQ(Parse({}).channel, std::wstring(511, L'c'));
}

TEST_F(OptionsTest, UnreadableOrBinaryIniIsIgnored) {
  // A folder by that name cannot be read as a file.
  ASSERT_TRUE(CreateDirectoryW(IniPath().c_str(), nullptr));
  update::Options o = Parse({});
  RemoveDirectoryW(IniPath().c_str());
  EXPECT_EQ(o.channel, L"stable");

  WriteIni(std::string("\x00\xff\xfe[update]\x00channel=\x01\x02", 21));
  o = Parse({});
  EXPECT_FALSE(o.channel.empty());
}

TEST_F(OptionsTest, ValueOptionsTakeTheNextArgumentVerbatim) {
  update::Options o = Parse({L"--game", L"--check"});
  EXPECT_EQ(o.game_dir, L"--check");
  EXPECT_TRUE(o.use_window);
  EXPECT_TRUE(o.launch);
  EXPECT_FALSE(o.check_only);

  o = Parse({L"--name", L"", L"--list-url", L"http://a/b"});
  EXPECT_EQ(o.player_name, L"");
  EXPECT_EQ(o.list_url, L"http://a/b");

  o = Parse({L"--channel", L"one", L"--channel", L"two"});
  EXPECT_EQ(o.channel, L"two") << "the last value wins";
}

TEST_F(OptionsTest, ValueOptionAsLastArgumentIsIgnored) {
  WriteIni("[game]\npath=C:\\FromIni\n");
  EXPECT_EQ(Parse({L"--game"}).game_dir, L"C:\\FromIni");
  DeleteFileW(IniPath().c_str());
  EXPECT_EQ(Parse({L"--game"}).game_dir, L"");
  EXPECT_EQ(Parse({L"--name", L"Ann", L"--name"}).player_name, L"Ann");
}

TEST_F(OptionsTest, FlagsAndTheirCombinations) {
  update::Options o = Parse({L"--no-launch"});
  EXPECT_FALSE(o.launch);
  EXPECT_TRUE(o.use_window);
  o = Parse({L"--console"});
  EXPECT_FALSE(o.use_window);
  EXPECT_TRUE(o.launch);

  const std::vector<std::vector<std::wstring>> orders = {{L"--check", L"--console", L"--no-launch"},
                                                         {L"--no-launch", L"--check", L"--console"},
                                                         {L"--console", L"--no-launch", L"--check"}};
  for (const auto& order : orders) {
    o = Parse(order);
    EXPECT_TRUE(o.check_only);
    EXPECT_FALSE(o.launch);
    EXPECT_FALSE(o.use_window);
  }
}

TEST_F(OptionsTest, OnlyExactOptionNamesCount) {
  update::Options o =
      Parse({L"--Console", L"--CHECK", L"--channel=beta", L"-c", L"--chan", L"stray", L"--self-test", L"a"});
  EXPECT_TRUE(o.use_window);
  EXPECT_FALSE(o.check_only);
  EXPECT_EQ(o.channel, L"stable");
}

// The download cap in KiB/s: launcher.ini's, then --max-speed; what is no
// whole number leaves what was there.
TEST_F(OptionsTest, TheSpeedLimitFromTheIniAndTheCommandLine) {
  const struct {
    const char* ini;
    std::vector<std::wstring> args;
    int kib;
  } cases[] = {
      {"", {}, 0},
      {"max_speed=4096", {}, 4096},
      {"max_speed=4096", {L"--max-speed", L"512"}, 512},
      {"max_speed=4096", {L"--max-speed", L"0"}, 0},
      {"max_speed=fast", {L"--max-speed", L"-5"}, 0},
      {"max_speed=-1", {}, 0},
      {"max_speed=99999999", {}, 0},
      {"", {L"--max-speed"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ini) + " " + harness::Narrow(c.args.empty() ? L"" : c.args.back()));
    WriteIni(std::string("[update]\n") + c.ini + "\n");
    EXPECT_EQ(Parse(c.args).max_speed_kib, c.kib);
  }
}

// How many files download at once: 1 to 16, from launcher.ini only.
TEST_F(OptionsTest, ConnectionsFromTheIni) {
  const struct {
    const char* value;
    int connections;
    const wchar_t* source;
  } cases[] = {{"", 8, L"default"},         {"4", 4, L"launcher.ini"},  {"0", 1, L"launcher.ini"},
               {"99", 16, L"launcher.ini"}, {"-3", 1, L"launcher.ini"}, {"four", 8, L"default"},
               {"6x", 8, L"default"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    WriteIni(std::string("[update]\nconnections=") + c.value + "\n");
    std::vector<std::wstring> args = {L"VelmoraMultiplayer.exe"};
    std::vector<wchar_t*> argv;
    for (std::wstring& arg : args) argv.push_back(&arg[0]);
    const app::Settings settings = app::ReadSettings(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(settings.options.connections, c.connections);
    bool noted = false;
    for (const auto& source : settings.sources) {
      if (source.first == L"connections") {
        EXPECT_EQ(source.second, c.source);
        noted = true;
      }
    }
    EXPECT_TRUE(noted);
  }
}

// Where each option came from, for the log; --verify and --log.
TEST_F(OptionsTest, SourcesVerifyAndLog) {
  WriteIni("[update]\nchannel=beta\n");
  std::vector<std::wstring> args = {
      L"VelmoraMultiplayer.exe", L"--base-url", L"https://cli.example", L"--verify", L"--log", L"D:\\logs\\l.log"};
  std::vector<wchar_t*> argv;
  for (std::wstring& arg : args) argv.push_back(&arg[0]);
  const app::Settings settings = app::ReadSettings(static_cast<int>(argv.size()), argv.data());
  EXPECT_TRUE(settings.options.verify);
  EXPECT_EQ(settings.log_file, L"D:\\logs\\l.log");
  const std::vector<std::pair<std::wstring, std::wstring>> expected = {
      {L"language", L"default"}, {L"base_url", L"command line"}, {L"channel", L"launcher.ini"},
      {L"list_url", L"default"}, {L"game_dir", L"default"},      {L"connections", L"default"}};
  EXPECT_EQ(settings.sources, expected);
  EXPECT_FALSE(Parse({}).verify);
}

TEST_F(OptionsTest, ExeDirectoryIsTheFolderOfThisProgram) {
  std::wstring path = common::ExePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(common::ExeDirectory() + L"\\", path.substr(0, path.find_last_of(L'\\') + 1));
  EXPECT_TRUE(harness::FileExists(path));
}

}  // namespace

// The language: the command line over launcher.ini over the user's own
// languages; one we do not ship is said and passed over.
TEST_F(OptionsTest, LanguageFromIniAndCommandLine) {
  struct Case {
    const char* ini;
    std::vector<std::wstring> args;
    const wchar_t* language;
    const wchar_t* source;
    const wchar_t* note;  // a part of the one note, or nullptr for none
  };
  const Case cases[] = {
      {"[ui]\nlanguage=de\n", {}, L"de", L"launcher.ini", nullptr},
      {"[ui]\nlanguage=de\n", {L"--language", L"pl"}, L"pl", L"command line", nullptr},
      {"", {L"--language", L"ru", L"--language", L"pt-BR"}, L"pt-BR", L"command line", nullptr},
      {"", {L"--language", L"xx-YY"}, L"en", L"command line", L"xx-YY"},
  };
  for (const Case& c : cases) {
    WriteIni(c.ini);
    std::vector<std::wstring> args = c.args;
    args.insert(args.begin(), L"VelmoraMultiplayer.exe");
    std::vector<wchar_t*> argv;
    for (std::wstring& arg : args) argv.push_back(&arg[0]);
    const app::Settings settings = app::ReadSettings(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(settings.language, c.language);
    EXPECT_EQ(common::Language(), c.language);
    EXPECT_EQ(settings.sources.front(), std::make_pair(std::wstring(L"language"), std::wstring(c.source)));
    const bool noted =
        settings.notes.size() == 1 && settings.notes[0].find(c.note != nullptr ? c.note : L"") != std::wstring::npos;
    EXPECT_EQ(noted, c.note != nullptr) << c.language;
    (void)common::SetLanguage(L"en");
  }
}
