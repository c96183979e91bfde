// The console front-end end to end: the real launcher under Wine against the
// test release server, checked line by line with its exit code.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/harness.h"
#include "tests/support/release_server_client.h"

namespace {

class ConsoleRunTest : public ::testing::Test {
 protected:
  std::wstring release_;  // this test's folder on the server, as a Windows path
  std::wstring name_;     // its name in URLs
  std::wstring game_ = harness::MakeTempDir(L"console-game");
  std::wstring cwd_ = harness::MakeTempDir(L"console-cwd");
  // The launcher's state and log, apart from every other test's.
  std::wstring data_ = harness::MakeTempDir(L"console-data");
  std::wstring log_ = data_ + L"\\launcher.log";

  void SetUp() override {
    ASSERT_NE(harness::ReleaseServerPort(), 0) << "the release server fixture did not run";
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", data_.c_str());
    name_ = harness::MakeReleaseFolder(L"console", release_);
    ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\src\\mod.dll", "the mod, version 2"));
    ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\src\\maps\\city.map", std::string(70000, 'm')));
    // The release tool lists files in byte order: maps\city.map first.
    ASSERT_EQ(harness::PublishRelease(name_ + L"/src", name_ + L"/pub",
                                      L"channel=stable&build=2.1.0&protocol=7&server=lobby.example:27015"
                                      L"&notes=Night%20shift%20maps"),
              "");
    harness::SteamHandler::Unregister();
    // A game folder as Steam lays it out: the game beside the mod.
    ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\Velmora.exe", "the game"));
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", nullptr);
    harness::RemoveTree(game_);
    harness::RemoveTree(cwd_);
    harness::RemoveTree(data_);
  }
  // The last lines of a failed run: the error and where the log is.
  std::string FailureTail(const std::string& error) const {
    return "\n  " + error + "\n  The launcher's log: " + harness::Narrow(log_) + "\n\n";
  }
  // The last of the progress lines between from and end (each ends in a
  // carriage return), without the padding it may carry.
  static std::string LastProgress(const std::string& output, size_t from, size_t end) {
    const std::string lines = output.substr(from, end - from);
    const size_t start = lines.rfind('\r', lines.size() >= 2 ? lines.size() - 2 : 0);
    std::string line = lines.substr(start == std::string::npos ? 0 : start + 1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    return line;
  }
  harness::RunResult Run(std::vector<std::wstring> args, const std::wstring& base = L"") {
    args.insert(args.end(), {L"--console", L"--game", game_, L"--base-url",
                             base.empty() ? harness::ReleaseUrl(L"/" + name_ + L"/pub") : base});
    harness::RunResult r = harness::RunProcess(harness::LauncherExe(), args, cwd_, 120000);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timed_out);
    return r;
  }
  std::string Head() const {
    return "\n  Velmora MP launcher\n\n  game: " + harness::Narrow(game_) + "\n  channel: stable\n";
  }
  void PutCurrentGame() {
    ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\mod.dll", "the mod, version 2"));
    ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\maps\\city.map", std::string(70000, 'm')));
  }
};

TEST_F(ConsoleRunTest, UpdateThenLaunchThroughSteam) {
  harness::SteamHandler steam;
  harness::RunResult r = Run({L"--name", L"\x0141ucja"});
  EXPECT_EQ(r.exit_code, 0u);
  // One progress line for the whole transfer, rewritten in place: how many
  // times depends on how fast the files arrive; the last one says all.
  const std::string head = Head() + "  Checking for updates\n";
  ASSERT_EQ(r.output.rfind(head, 0), 0u) << r.output;
  const size_t end = r.output.find("\r\n  build: ");
  ASSERT_NE(end, std::string::npos) << r.output;
  // (A speed and the time left follow once the transfer took a second.)
  EXPECT_EQ(LastProgress(r.output, head.size(), end + 1).rfind("    Downloading 2 files  100%  70.0 of 70.0 kB", 0), 0u)
      << r.output;
  EXPECT_EQ(r.output.substr(end),
            "\r\n  build: 2.1.0 (protocol 7)\n"
            "  notes: Night shift maps\n"
            "\n  updated 2 files.\n"
            "  playing as \xC5\x81ucja\n"
            "\n  starting the game through Steam...\n"
            "  the mod loads itself once the game is up. Have fun.\n");
  EXPECT_EQ(harness::ReadFileBytes(game_ + L"\\mod.dll"), "the mod, version 2");
  EXPECT_EQ(steam.Requests(), "steam://rungameid/900100\n");

  // The hand-off carries the release's server and the name.
  wchar_t value[128] = {};
  const std::wstring ini = game_ + L"\\velmoramp.ini";
  GetPrivateProfileStringW(L"net", L"host", L"", value, 128, ini.c_str());
  EXPECT_STREQ(value, L"lobby.example");
  GetPrivateProfileStringW(L"net", L"port", L"", value, 128, ini.c_str());
  EXPECT_STREQ(value, L"27015");
  GetPrivateProfileStringW(L"net", L"name", L"", value, 128, ini.c_str());
  EXPECT_STREQ(value, L"\x0141ucja");

  // The log tells the run's story in order, without the player's name.
  const std::string log = harness::ReadFileBytes(log_);
  size_t at = 0;
  for (const std::string& event : {std::string("start: launcher "), std::string("mode console"),
                                   std::string("option base_url = ") +
                                       harness::Narrow(harness::ReleaseUrl(L"/" + name_ + L"/pub")) + " (command line)",
                                   std::string("option channel = stable (default)"), std::string("option name given"),
                                   "game folder: " + harness::Narrow(game_) + " (as the options name it)",
                                   std::string("/stable/manifest.txt: status 200"), std::string("release 2.1.0"),
                                   std::string("update done: 2 files replaced"),
                                   std::string("play: lobby.example:27015, Steam accepted the launch")}) {
    const size_t found = log.find(event, at);
    EXPECT_NE(found, std::string::npos) << "missing or out of order: " << event << "\n" << log;
    if (found != std::string::npos) at = found;
  }
  // Files are placed side by side, so in either order, but within the run.
  for (const char* replaced : {"replaced maps\\city.map", "replaced mod.dll"}) {
    EXPECT_GT(log.find(replaced), log.find("release 2.1.0")) << replaced << "\n" << log;
    EXPECT_LT(log.find(replaced), log.find("update done: 2 files replaced")) << replaced;
  }
  // The signature is asked for beside the description, so either comes first.
  EXPECT_LT(log.find("/stable/manifest.sig: status 200"), log.find("release 2.1.0")) << log;
  EXPECT_EQ(log.find("\xC5\x81ucja"), std::string::npos) << "no player name in the log";
  for (size_t line = 0; line < log.size(); line = log.find('\n', line) + 1) {
    // "2026-12-08T11:37:30.123Z [123] ": UTC time and thread on every line.
    EXPECT_EQ(log.compare(line + 23, 3, "Z ["), 0) << log.substr(line, 60);
  }

  // A second run finds everything current and plays under the saved name.
  r = Run({L"--no-launch"});
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.output, Head() +
                          "  Checking for updates\n"
                          "\n  build: 2.1.0 (protocol 7)\n"
                          "  notes: Night shift maps\n"
                          "\n  already up to date.\n"
                          "  playing as \xC5\x81ucja\n");
}

// Mistakes on the command line as a new player makes them: each is named
// once, with what was done instead, or stops the run before anything is
// written; none silently becomes a run the player did not ask for.
TEST_F(ConsoleRunTest, MistakesOnTheCommandLineAreNamed) {
  const std::wstring missing = game_ + L"-typo";
  const std::wstring no_game = harness::MakeTempDir(L"console-no-game");
  const std::wstring base = harness::ReleaseUrl(L"/" + name_ + L"/pub");
  const struct {
    const char* what;
    std::vector<std::wstring> args;  // after --console --base-url BASE
    DWORD exit_code;
    std::string shown;
    const std::wstring* written;  // the folder that holds the mod afterwards, if any
  } rows[] = {
      {"an option misspelt",
       {L"--game", game_, L"--no-launch", L"--chanel", L"beta"},
       0,
       "  channel: stable\n  Ignored --chanel: not an option (did you mean --channel?)\n  Ignored beta: not an "
       "option\n",
       &game_},
      {"a value option without its value",
       {L"--game", game_, L"--no-launch", L"--channel"},
       0,
       "  Ignored --channel: it needs a value after it\n",
       &game_},
      {"a speed that is no number",
       {L"--game", game_, L"--no-launch", L"--max-speed", L"abc"},
       0,
       "  Ignored --max-speed abc: give a whole number of KiB/s, 0 for no limit\n",
       &game_},
      {"a speed below 0",
       {L"--game", game_, L"--no-launch", L"--max-speed", L"-5"},
       0,
       "  Ignored --max-speed -5: give a whole number of KiB/s, 0 for no limit\n",
       &game_},
      {"the self-test beside other options",
       {L"--game", game_, L"--self-test", L"manifest.txt", L"manifest.sig", L"--check"},
       2,
       "  usage: VelmoraMultiplayer.exe --self-test <manifest.txt> <manifest.sig>\n",
       nullptr},
      {"the self-test with one file", {L"--self-test", L"manifest.txt"}, 2, "  usage: VelmoraMultiplayer.exe", nullptr},
      {"a game folder that does not exist",
       {L"--game", missing, L"--no-launch"},
       1,
       "\n  The game folder " + harness::Narrow(missing) + " does not exist. Check --game or [game] path.\n",
       nullptr},
      {"a game folder that does not exist, in a dry run",
       {L"--game", missing, L"--check"},
       1,
       "does not exist. Check --game or [game] path.\n",
       nullptr},
      {"a folder without the game, in a dry run",
       {L"--game", no_game, L"--check"},
       0,
       "  The game folder " + harness::Narrow(no_game) +
           " holds no Velmora.exe; the mod is installed there all the same.\n",
       nullptr},
      {"a folder without the game",
       {L"--game", no_game, L"--no-launch"},
       0,
       " holds no Velmora.exe; the mod is installed there all the same.\n",
       &no_game},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    DeleteFileW((game_ + L"\\mod.dll").c_str());
    std::vector<std::wstring> args = {L"--console", L"--base-url", base};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const harness::RunResult r = harness::RunProcess(harness::LauncherExe(), args, cwd_, 120000);
    EXPECT_EQ(r.exit_code, row.exit_code) << r.output;
    EXPECT_NE(r.output.find(row.shown), std::string::npos) << r.output;
    EXPECT_FALSE(harness::FileExists(missing)) << "no folder is made for a typo";
    for (const std::wstring* folder : {static_cast<const std::wstring*>(&game_), &no_game}) {
      EXPECT_EQ(harness::FileExists(*folder + L"\\mod.dll"), row.written == folder) << harness::Narrow(*folder);
    }
    DeleteFileW((no_game + L"\\mod.dll").c_str());
  }
  // The log names each with its value.
  const std::string log = harness::ReadFileBytes(log_);
  EXPECT_NE(log.find("option: Ignored --max-speed abc"), std::string::npos) << log;
  EXPECT_EQ(log.find("option max_speed =  ("), std::string::npos) << log;
  harness::RemoveTree(no_game);
}

// A base URL that is no URL at all ends the run with its reason, every
// time: a crash on this path was seen once in twelve starts.
TEST_F(ConsoleRunTest, ABaseUrlThatIsNoUrlFailsCleanlyEveryTime) {
  for (int run = 0; run < 16; ++run) {
    SCOPED_TRACE(run);
    const harness::RunResult r = Run({L"--no-launch"}, L"notaurl");
    ASSERT_EQ(r.exit_code, 1u) << r.output;
    ASSERT_EQ(r.output, Head() + "  Checking for updates\n" +
                            FailureTail("Could not reach the update server: malformed url (win32 12006)"));
  }
  EXPECT_FALSE(harness::FileExists(game_ + L"\\mod.dll"));
}

TEST_F(ConsoleRunTest, RefusedLaunchIsAFailure) {
  PutCurrentGame();
  ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\velmoramp.cmd", "stale"));
  harness::RunResult r = Run({});
  EXPECT_EQ(r.exit_code, 1u);
  const std::string tail =
      "  playing as Player\n"
      "\n  starting the game through Steam...\n" +
      FailureTail("Steam did not accept the launch request. Start Velmora from Steam yourself.");
  ASSERT_GE(r.output.size(), tail.size());
  EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail) << r.output;
  EXPECT_TRUE(harness::FileExists(game_ + L"\\velmoramp.ini")) << "the hand-off comes before the launch";
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.cmd"));
}

TEST_F(ConsoleRunTest, DryRunCountsAndTouchesNothing) {
  harness::SteamHandler steam;
  harness::RunResult r = Run({L"--check"});
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.output, Head() +
                          "  Checking for updates\n"
                          "  maps\\city.map\n"
                          "  mod.dll\n"
                          "\n  build: 2.1.0 (protocol 7)\n"
                          "  notes: Night shift maps\n"
                          "\n  2 files would be updated (70.0 kB to download).\n");
  EXPECT_FALSE(harness::FileExists(game_ + L"\\mod.dll"));
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini"));

  PutCurrentGame();
  r = Run({L"--check"});
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.output, Head() +
                          "  Checking for updates\n\n  build: 2.1.0 (protocol 7)\n"
                          "  notes: Night shift maps\n\n  up to date.\n");
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini"));
  EXPECT_EQ(steam.Requests(0), "") << "a dry run never launches";
  EXPECT_EQ(harness::ReadFileBytes(log_).find("play: "), std::string::npos) << "nor asks Steam";
}

// In the pseudo-language every text is marked: what is left of the output
// once the marked texts and the values the run was given are taken out
// holds no word, or a text bypassed the catalogue.
TEST_F(ConsoleRunTest, EveryTextComesFromTheCatalogue) {
  const std::vector<std::string> values = {harness::Narrow(game_), "stable",  "2.1.0",     "Night shift maps",
                                           "maps\\city.map",       "mod.dll", "--channel", "--chanel"};
  for (const std::vector<std::wstring>& args :
       {std::vector<std::wstring>{L"--check", L"--language", L"qps-ploc"},
        std::vector<std::wstring>{L"--no-launch", L"--language", L"qps-ploc", L"--chanel"}}) {
    const harness::RunResult r = Run(args);
    std::string rest = r.output;
    for (const std::string& value : values) {
      for (size_t at; (at = rest.find(value)) != std::string::npos;) rest.erase(at, value.size());
    }
    for (size_t open; (open = rest.find('[')) != std::string::npos;) {
      const size_t close = rest.find(']', open);
      ASSERT_NE(close, std::string::npos) << r.output;
      rest.erase(open, close + 1 - open);
    }
    size_t letters = 0;
    for (const char c : rest) letters += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ? 1 : 0;
    EXPECT_EQ(letters, 0u) << "not from the catalogue: " << rest << "\nin:\n" << r.output;
    EXPECT_NE(r.output.find("[Ṽéļɱöŕà ṀÞ ļàûñçĥéŕ"), std::string::npos) << r.output;
  }
}

// A release announced in stable/next is installed from its hour on, without
// a promote; before its hour, or when anything about it is wrong, the
// current one is. Each case starts from an empty game and data folder.
TEST_F(ConsoleRunTest, AnAnnouncedReleaseCountsFromItsHour) {
  ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\next\\mod.dll", "the mod, version 3"));
  ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\next\\maps\\city.map", std::string(70000, 'm')));
  ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\beta\\mod.dll", "the beta mod"));
  ASSERT_EQ(harness::PublishRelease(name_ + L"/beta", name_ + L"/pub",
                                    L"channel=beta&build=9.0&protocol=7&server=h:1&sequence=5&at=2000-01-01T00:00:00Z"),
            "");
  const std::wstring next = release_ + L"\\pub\\stable\\next";
  struct Case {
    const char* what;
    const wchar_t* at;  // the hour of the announcement in stable/next
    void (*spoil)(const std::wstring& pub);
    const char* build;  // the release installed
    const char* logged;
  };
  const Case cases[] = {
      {"due", L"2000-01-01T00:00:00Z", nullptr, "3.0", "announced release: 3.0 (sequence 2) is due since"},
      {"ahead", L"2099-01-01T00:00:00Z", nullptr, "2.1.0", "announced release: 3.0 (sequence 2) from 2099-01-01"},
      {"tampered", L"2000-01-01T00:00:00Z",
       [](const std::wstring& pub) {
         std::string text = harness::ReadFileBytes(pub + L"\\stable\\next\\manifest.txt");
         text.replace(text.find("3.0"), 3, "3.1");
         ASSERT_TRUE(harness::WriteFileBytes(pub + L"\\stable\\next\\manifest.txt", text));
       },
       "2.1.0", "announced release refused: its signature does not match"},
      {"another channel", L"2000-01-01T00:00:00Z",
       [](const std::wstring& pub) {
         for (const wchar_t* name : {L"\\manifest.txt", L"\\manifest.sig"}) {
           ASSERT_NE(CopyFileW((pub + L"\\beta\\next" + name).c_str(), (pub + L"\\stable\\next" + name).c_str(), FALSE),
                     0);
         }
       },
       "2.1.0", "announced release refused: This release was published for channel beta, not stable."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    harness::RemoveTree(next);
    ASSERT_EQ(
        harness::PublishRelease(name_ + L"/next", name_ + L"/pub",
                                L"channel=stable&build=3.0&protocol=7&server=h:1&sequence=2&at=" + std::wstring(c.at)),
        "");
    if (c.spoil != nullptr) c.spoil(release_ + L"\\pub");
    const std::wstring data = harness::MakeTempDir(L"console-announced");
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", data.c_str());
    harness::RemoveTree(game_);
    ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\Velmora.exe", "the game"));
    const harness::RunResult r = Run({L"--no-launch"});
    EXPECT_EQ(r.exit_code, 0u) << r.output;
    EXPECT_NE(r.output.find(std::string("build: ") + c.build + " "), std::string::npos) << r.output;
    EXPECT_EQ(harness::ReadFileBytes(game_ + L"\\mod.dll"),
              std::string(c.build) == "3.0" ? "the mod, version 3" : "the mod, version 2");
    EXPECT_NE(harness::ReadFileBytes(data + L"\\launcher.log").find(c.logged), std::string::npos)
        << harness::ReadFileBytes(data + L"\\launcher.log");
    EXPECT_TRUE(harness::FileExists(next + L"\\manifest.txt")) << "the launcher never promotes";
    EXPECT_EQ(r.output.find("  Release 3.0 arrives in ") != std::string::npos, std::string(c.what) == "ahead")
        << r.output;
    harness::RemoveTree(data);
  }
  SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", data_.c_str());
}

TEST_F(ConsoleRunTest, FailedUpdatesEndWithTheErrorAndNoHandoff) {
  // Nothing listens on port 9: tried again three times, then given up.
  harness::RunResult r = Run({}, L"https://localhost:9");
  EXPECT_EQ(r.exit_code, 1u);
  const std::string retry = "  Retrying manifest.txt in ";
  EXPECT_EQ(
      r.output.rfind(Head() + "  Checking for updates\n" + retry +
                         "0 s: the connection was refused: nothing answers at that address and port (win32 12029)",
                     0),
      0u)
      << r.output;
  size_t retries = 0;
  for (size_t at = r.output.find(retry); at != std::string::npos; at = r.output.find(retry, at + 1)) ++retries;
  EXPECT_EQ(retries, 3u) << r.output;
  EXPECT_NE(r.output.find("\n  Could not reach the update server: the connection was refused"), std::string::npos);
  const std::string tail = ")\n  The launcher's log: " + harness::Narrow(log_) + "\n\n";
  ASSERT_GE(r.output.size(), tail.size());
  EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail) << r.output;

  // A signature of another text: nothing is changed.
  ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\pub\\stable\\manifest.txt",
                                      harness::ReadFileBytes(release_ + L"\\pub\\stable\\manifest.txt") + "\n"));
  r = Run({});
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_EQ(r.output,
            Head() + "  Checking for updates\n" + FailureTail("This update is not signed by us. Nothing was changed."));
  EXPECT_FALSE(harness::FileExists(game_ + L"\\mod.dll"));
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini"));
}

// A log that cannot be written never stops the launcher, and a failure then
// does not point at a log that is not there.
TEST_F(ConsoleRunTest, ALogThatCannotBeWrittenIsSkipped) {
  PutCurrentGame();
  harness::RunResult r = Run({L"--no-launch", L"--log", L"C:\\no such folder\\launcher.log"});
  EXPECT_EQ(r.exit_code, 0u) << r.output;
  EXPECT_NE(r.output.find("\n  already up to date.\n"), std::string::npos) << r.output;
  EXPECT_FALSE(harness::FileExists(log_));

  r = Run({L"--log", L"C:\\no such folder\\launcher.log"}, harness::ReleaseUrl(L"/_404/" + name_));
  EXPECT_EQ(r.exit_code, 1u);
  const std::string no_log =
      "There is no release for channel stable at " + harness::Narrow(harness::ReleaseUrl(L"/_404/" + name_)) + ".\n\n";
  ASSERT_GE(r.output.size(), no_log.size());
  EXPECT_EQ(r.output.substr(r.output.size() - no_log.size()), no_log) << r.output;

  // --log names another file, which is then where a failure points.
  const std::wstring elsewhere = data_ + L"\\elsewhere.log";
  r = Run({L"--log", elsewhere}, harness::ReleaseUrl(L"/_404/" + name_));
  EXPECT_EQ(r.exit_code, 1u);
  const std::string tail = "\n  The launcher's log: " + harness::Narrow(elsewhere) + "\n\n";
  EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail) << r.output;
  EXPECT_NE(harness::ReadFileBytes(elsewhere).find("update failed"), std::string::npos);
}

// A name that would break the hand-off file is refused, whatever its source.
TEST_F(ConsoleRunTest, ANameWithALineBreakIsRefused) {
  PutCurrentGame();
  harness::RunResult r = Run({L"--no-launch", L"--name", L"Ann\r\n[net]\r\nhost=evil.example"});
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_NE(r.output.find(
                "That player name cannot be used: at most 127 characters, and no line breaks.\n  The launcher's log:"),
            std::string::npos)
      << r.output;
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini"));
}

TEST_F(ConsoleRunTest, TrailingSlashesOfTheBaseUrlAreDropped) {
  PutCurrentGame();
  harness::RunResult r = Run({L"--check"}, harness::ReleaseUrl(L"/" + name_ + L"/pub///"));
  EXPECT_EQ(r.exit_code, 0u) << r.output;
  const std::string requests = harness::RequestsFor(name_);
  EXPECT_NE(requests.find("/" + harness::Narrow(name_) + "/pub/stable/manifest.txt\t"), std::string::npos) << requests;
  EXPECT_EQ(requests.find("//"), std::string::npos) << requests;
}

// With no server to ask (the base URL answers 404, the mirror refuses), the
// whole release installed last is played; a folder with none is not.
TEST_F(ConsoleRunTest, WithNoServerTheInstalledReleaseIsPlayed) {
  ASSERT_EQ(Run({L"--no-launch"}).exit_code, 0u);
  ASSERT_NE(DeleteFileW((release_ + L"\\pub\\stable\\manifest.txt").c_str()), 0);
  harness::SteamHandler steam;
  harness::RunResult r = Run({L"--mirror", L"https://localhost:1/mirror"});
  EXPECT_EQ(r.exit_code, 0u) << r.output;
  EXPECT_NE(r.output.find("  Trying mirror 2 of 2: localhost:1\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\n  build: 2.1.0 (protocol 7)\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\n  Playing the installed release 2.1.0: There is no release for channel stable at " +
                          harness::Narrow(harness::ReleaseUrl(L"/" + name_ + L"/pub")) + ".\n  playing as "),
            std::string::npos)
      << r.output;
  EXPECT_EQ(steam.Requests(), "steam://rungameid/900100\n");

  const std::wstring empty = harness::MakeTempDir(L"console-empty");
  r = harness::RunProcess(harness::LauncherExe(),
                          {L"--console", L"--game", empty, L"--base-url", harness::ReleaseUrl(L"/" + name_ + L"/pub")},
                          cwd_, 120000);
  EXPECT_EQ(r.exit_code, 1u) << r.output;
  EXPECT_EQ(r.output.find("Playing the installed release"), std::string::npos) << r.output;
  EXPECT_FALSE(harness::FileExists(empty + L"\\velmoramp.ini"));
  harness::RemoveTree(empty);
}

// A second release of this test's own, published from files given.
std::wstring PublishSecond(const std::wstring& name, const std::vector<std::pair<std::wstring, std::string>>& files,
                           const std::wstring& release) {
  for (const auto& f : files) EXPECT_TRUE(harness::WriteFileBytes(release + L"\\src2\\" + f.first, f.second));
  EXPECT_EQ(
      harness::PublishRelease(name + L"/src2", name + L"/pub2", L"channel=stable&build=3.0&protocol=7&server=h:1"), "");
  return harness::ReleaseUrl(L"/" + name + L"/pub2");
}

// Bytes sent for the requests of one file, newest last.
std::vector<long long> BytesSent(const std::wstring& name, const std::string& file) {
  std::vector<long long> sent;
  for (const harness::ServedRequest& r : harness::RequestsServed(name)) {
    if (r.Names(file)) sent.push_back(static_cast<long long>(r.bytes));
  }
  return sent;
}

// Chunk objects the server answered, asked for through the slow prefix or
// directly. (A request cut off by a kill is logged when it breaks.)
int ChunksServed(const std::wstring& name, bool slow) {
  int served = 0;
  for (const harness::ServedRequest& r : harness::RequestsServed(name)) {
    served += r.chunk() && r.status == 200 && (r.path.find("/_chunk-") != std::string::npos) == slow;
  }
  return served;
}

// The chunk lines of the one index in a folder.
int ChunkLines(const std::wstring& folder) {
  WIN32_FIND_DATAW found = {};
  const HANDLE find = FindFirstFileW((folder + L"\\*.txt").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  FindClose(find);
  const std::string text = harness::ReadFileBytes(folder + L"\\" + found.cFileName);
  int lines = 0;
  for (size_t at = text.find("\nchunk "); at != std::string::npos; at = text.find("\nchunk ", at + 1)) ++lines;
  return lines;
}

// Numbers as text: smaller in chunks than whole, so fetched in chunks.
std::string NumberText(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) text += std::to_string(random() % 100000) + (random() % 8 == 0 ? '\n' : ' ');
  text.resize(size);
  return text;
}
// Killed in the middle of a big download (a shut-down PC, a crash): the
// next start asks only for the rest, of a whole file or of a chunked one.
TEST_F(ConsoleRunTest, AKilledDownloadIsResumedByTheNextStart) {
  const std::wstring base = PublishSecond(name_, {{L"whole.pak", std::string(3 * 1024 * 1024, 'k')}}, release_);
  harness::ChildProcess launcher;
  ASSERT_TRUE(launcher.Start(harness::LauncherExe(), {L"--console", L"--no-launch", L"--game", game_, L"--base-url",
                                                      harness::ReleaseUrl(L"/_chunk-65536/" + name_ + L"/pub2")}));
  const std::wstring part = game_ + L"\\whole.pak.part";
  DWORD start = GetTickCount();
  while (harness::ReadFileBytes(part).size() < 1536 * 1024 && GetTickCount() - start < 60000) Sleep(20);
  launcher.Stop();  // as a crash would: no chance to tidy up
  ASSERT_GE(harness::ReadFileBytes(part).size(), 1536u * 1024);
  harness::RunResult r = Run({L"--no-launch"}, base);
  EXPECT_EQ(r.exit_code, 0u) << r.output;
  EXPECT_TRUE(harness::ReadFileBytes(game_ + L"\\whole.pak") == std::string(3 * 1024 * 1024, 'k'));
  const std::vector<long long> sent = BytesSent(name_, "whole.pak");
  ASSERT_GE(sent.size(), 2u);
  EXPECT_LT(sent.back(), 3 * 1024 * 1024 * 6 / 10) << "the next run fetched only the rest";

  // A file big enough to be chunked: the chunks placed before the kill are
  // not fetched again.
  const std::string big = NumberText(8 * 1024 * 1024, 7);
  const std::wstring third = L"/" + name_ + L"/pub3";
  ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\src3\\big.pak", big));
  ASSERT_EQ(
      harness::PublishRelease(name_ + L"/src3", name_ + L"/pub3", L"channel=stable&build=4.0&protocol=7&server=h:1"),
      "");
  ASSERT_TRUE(launcher.Start(harness::LauncherExe(), {L"--console", L"--no-launch", L"--game", game_, L"--base-url",
                                                      harness::ReleaseUrl(L"/_chunk-16384/" + name_ + L"/pub3")}));
  // A chunk is in the part once the launcher has logged its fetch (it logs
  // after the last byte is written).
  const auto fetched = [this] {
    int n = 0;
    const std::string log = harness::ReadFileBytes(log_);
    for (size_t at = log.find("/chunks/stable/"); at != std::string::npos; at = log.find("/chunks/stable/", at + 1)) {
      const std::string line = log.substr(at, log.find('\n', at) - at);
      n += line.find("/indexes/") == std::string::npos && line.find(": status 200, ") != std::string::npos;
    }
    return n;
  };
  start = GetTickCount();
  while (fetched() < 3 && GetTickCount() - start < 60000) Sleep(20);
  launcher.Stop();
  ASSERT_GE(fetched(), 3);
  r = Run({L"--no-launch"}, harness::ReleaseUrl(third));
  EXPECT_EQ(r.exit_code, 0u) << r.output;
  EXPECT_TRUE(harness::ReadFileBytes(game_ + L"\\big.pak") == big);
  const int again = ChunksServed(name_, false);
  const int total = ChunkLines(release_ + L"\\pub3\\chunks\\stable\\indexes");
  EXPECT_GE(total, 6) << "8 MiB in chunks of about 1 MiB";
  EXPECT_GT(again, 0);
  EXPECT_LE(again, total - 3) << "the chunks sent in full before the kill are kept; " << again << " fetched of "
                              << total;
  EXPECT_EQ(BytesSent(name_, "big.pak").size(), 0u) << "never the whole file";
}

// The game starts while the update moves its files: the run says how far
// it got, and nothing is launched until a run completes the release.
TEST_F(ConsoleRunTest, AFolderOfTwoReleasesIsNotPlayed) {
  std::vector<std::pair<std::wstring, std::string>> files;
  for (int i = 0; i < 120; ++i) {
    wchar_t file[16];
    swprintf(file, 16, L"f%03d.dll", i);
    files.emplace_back(file, std::string(500, static_cast<char>('a' + i % 20)));
    ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\" + file, "old"));
  }
  const std::wstring base = PublishSecond(name_, files, release_);
  harness::SteamHandler steam;
  {
    harness::HeldFile game(game_ + L"\\f119.dll", L"lock", game_ + L"\\f000.dll.part");
    ASSERT_TRUE(game.held());
    const harness::RunResult r = Run({}, base);
    EXPECT_EQ(r.exit_code, 1u);
    EXPECT_NE(r.output.find("\n  Updated 119 of 120 files; could not replace " + harness::Narrow(game_) +
                            "\\f119.dll: it is in use. Close Velmora and start the launcher again.\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(steam.Requests(0), "") << "nothing launched";
    EXPECT_EQ(harness::ReadFileBytes(log_).find("play: "), std::string::npos);
    EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini"));
  }
  const harness::RunResult r = Run({}, base);
  EXPECT_EQ(r.exit_code, 0u) << r.output;
  EXPECT_NE(r.output.find("\n  updated 1 file.\n"), std::string::npos) << r.output;
  EXPECT_EQ(steam.Requests(), "steam://rungameid/900100\n");
}

}  // namespace
