#pragma once
// What the tests need to run the real launcher under Wine: private folders,
// files, registry values in the test prefix, and processes with their output.
#include <windows.h>

#include <string>
#include <vector>

namespace harness {

// Windows path of a Unix path named by an environment variable that the
// test runner sets (VELMORA_EXE, VELMORA_SOURCE_DIR, VELMORA_BUILD_DIR,
// VELMORA_SUPPORT_BIN). Empty when the variable is not set.
std::wstring PathFromEnv(const char* name);
std::wstring LauncherExe();  // the built VelmoraMultiplayer.exe
std::wstring SourceDir();    // the repository
std::wstring BuildDir();     // the build folder
std::wstring SupportBin();   // folder of the helper programs (Velmora.exe, ...)

// C:\Games\Velmora in the test prefix, with a Velmora.exe in it, as a game
// folder the launcher is pointed at with --game (made on first use, kept).
std::wstring StandInGameFolder();

// A new, empty folder of its own under the prefix's temporary folder.
std::wstring MakeTempDir(const std::wstring& tag);
void RemoveTree(const std::wstring& path);

bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path);
// The file's bytes once it exists, waiting at most timeout_ms (empty then).
std::string WaitForFileBytes(const std::wstring& path, DWORD timeout_ms);
// Waits until the file holds text (a log line, say); false after timeout_ms.
bool WaitForFileText(const std::wstring& path, const std::string& text, DWORD timeout_ms);
bool FileExists(const std::wstring& path);
bool MakeDirs(const std::wstring& path);

// Copies the launcher into a folder (so launcher.ini and .old files beside
// it belong to one test) and returns the copy's path.
std::wstring CopyLauncherTo(const std::wstring& folder, const std::wstring& name = L"VelmoraMultiplayer.exe");

struct RunResult {
  DWORD exit_code = 0;
  std::string output;  // standard output and error, as written (UTF-8 from the launcher)
  bool started = false;
  bool timed_out = false;
};

// Runs a program with arguments (quoted as the platform's splitter expects)
// from the given current folder, capturing its output. A program still
// running after the timeout is ended and reported as timed out.
RunResult RunProcess(const std::wstring& exe, const std::vector<std::wstring>& args, const std::wstring& cwd,
                     DWORD timeout_ms = 60000);

// Joins arguments into one command line that CommandLineToArgvW splits back.
std::wstring QuoteArgument(const std::wstring& arg);
// The command line of a program started as the launcher starts its
// replacement: the program always in quotes, then the arguments.
std::string RestartCommandLine(const std::wstring& exe, const std::vector<std::wstring>& args);

// Registry values in the test prefix. view is 0, KEY_WOW64_32KEY or
// KEY_WOW64_64KEY.
bool SetRegValue(HKEY root, const std::wstring& subkey, const std::wstring& name, const std::wstring& value,
                 DWORD type = REG_SZ, REGSAM view = 0);
void DeleteRegTree(HKEY root, const std::wstring& subkey, REGSAM view = 0);

// Removes every record of Steam from the prefix (both hives, both views,
// the default folder's game) on construction and again on destruction, so
// that each test of the locator starts from nothing.
class CleanSteam {
 public:
  CleanSteam();
  ~CleanSteam();
  CleanSteam(const CleanSteam&) = delete;
  CleanSteam& operator=(const CleanSteam&) = delete;
  static void Clear();
};

// Waits of the product's own length for the owner's lifetime, in this
// process and in launchers started meanwhile: items of VELMORA_TIMING's
// form ("retry_after=1000") on top of the suite's.
class ProductTiming {
 public:
  explicit ProductTiming(const std::wstring& items);
  ~ProductTiming();
  ProductTiming(const ProductTiming&) = delete;
  ProductTiming& operator=(const ProductTiming&) = delete;

 private:
  std::wstring saved_;
};

// A real process started from a program file; ended when the owner goes.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  bool Start(const std::wstring& exe, const std::vector<std::wstring>& args = {});
  void Stop();  // ends it and waits until it is gone
  bool running() const;

 private:
  HANDLE process_ = nullptr;
};

// Holds a file open in another process (hold-file.exe) until Release or the
// end of the scope: "lock" lets others only read, as a running game holds
// its modules; "deny" not even that; "write" shares everything; "scan"
// only reads, and lets others do anything but rename or delete it. With
// after, the file is taken only once that file has appeared and gone again
// (a staging file moved into place).
class HeldFile {
 public:
  HeldFile(const std::wstring& path, const wchar_t* how, const std::wstring& after = L"");
  bool held() const { return started_; }
  void Release() { holder_.Stop(); }

 private:
  ChildProcess holder_;
  bool started_ = false;
};

// Registers the stand-in steam: URL handler in the test prefix for the
// owner's lifetime; what it is asked to open is recorded in a file of the
// owner's (through VELMORA_STEAM_RECORD, which started programs inherit).
// Without an owner no handler is registered, so the shell refuses the URL.
class SteamHandler {
 public:
  SteamHandler();
  ~SteamHandler();
  SteamHandler(const SteamHandler&) = delete;
  SteamHandler& operator=(const SteamHandler&) = delete;
  // The URLs asked for so far, one per line; waits up to timeout_ms for at
  // least one (the handler runs after the shell has accepted the request).
  std::string Requests(DWORD timeout_ms = 10000) const;
  static void Unregister();

 private:
  std::wstring dir_;
  std::wstring record_;
};

// Plants a link at `link` to the folder or file `target`, as another user
// of the PC could: under Wine a Unix symbolic link, which Windows programs
// see as a reparse point when it leads to a folder (and as the file itself
// when it leads to a file). False (with why in reason) when that cannot be
// done here; a test then skips with the reason.
bool PlantLink(const std::wstring& link, const std::wstring& target, std::string& reason);
// Removes a planted link itself (Windows programs under Wine cannot).
void RemoveLink(const std::wstring& link);

// The Unix path of a Windows path, from Wine's own export; empty when not
// running under Wine.
std::string UnixPath(const std::wstring& path);

// Runs a Unix shell script on the Wine host and waits (at most timeout_ms)
// for it to end. False with why in reason when it cannot run here or did
// not end well; the script's output is in reason then.
bool RunUnixScript(const std::string& script, DWORD timeout_ms, std::string& reason);

// A small file system of its own (a tmpfs of the size given) mounted on the
// Wine host for the owner's lifetime, seen by Windows programs as a folder
// of drive Z:. Needs the right to mount: where that is missing, mounted()
// is false and reason says why, and a test skips.
class SmallVolume {
 public:
  explicit SmallVolume(unsigned mebibytes);
  ~SmallVolume();
  SmallVolume(const SmallVolume&) = delete;
  SmallVolume& operator=(const SmallVolume&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }
  const std::wstring& path() const { return path_; }  // its root, as a Windows path

 private:
  std::string unix_path_;
  std::wstring path_;
  bool mounted_ = false;
  std::string reason_;
};

std::string Narrow(const std::wstring& text);  // UTF-8, for messages
std::wstring Widen(const std::string& text);   // from UTF-8

}  // namespace harness
