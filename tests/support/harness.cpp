#include "tests/support/harness.h"

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "common/text.h"
#include "common/timing.h"
#include "common/unique_handle.h"

namespace harness {

namespace {
// The suite's waits (VELMORA_TIMING, set for every test program and passed
// on to every launcher it starts), in force before any test runs.
const bool kTimingRead = [] {
  common::TimingFromEnvironment();
  return true;
}();
}  // namespace

std::string Narrow(const std::wstring& text) { return common::WideToUtf8(text); }
std::wstring Widen(const std::string& text) { return common::Utf8ToWide(text); }

std::wstring PathFromEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::wstring();
  std::wstring path = Widen(value);
  if (!path.empty() && path[0] == L'/') {
    // Wine shows the Unix root as drive Z:.
    for (wchar_t& c : path) {
      if (c == L'/') c = L'\\';
    }
    path = L"Z:" + path;
  }
  return path;
}

ProductTiming::ProductTiming(const std::wstring& items) {
  wchar_t value[512] = {};
  GetEnvironmentVariableW(L"VELMORA_TIMING", value, 512);
  saved_ = value;
  const std::wstring text = saved_.empty() ? items : saved_ + L"," + items;
  SetEnvironmentVariableW(L"VELMORA_TIMING", text.c_str());
  common::TimingFromEnvironment();
}

ProductTiming::~ProductTiming() {
  SetEnvironmentVariableW(L"VELMORA_TIMING", saved_.empty() ? nullptr : saved_.c_str());
  common::SetTiming(common::Timing());
  common::TimingFromEnvironment();
}

std::wstring LauncherExe() { return PathFromEnv("VELMORA_EXE"); }
std::wstring SourceDir() { return PathFromEnv("VELMORA_SOURCE_DIR"); }
std::wstring BuildDir() { return PathFromEnv("VELMORA_BUILD_DIR"); }
std::wstring SupportBin() { return PathFromEnv("VELMORA_SUPPORT_BIN"); }

std::wstring MakeTempDir(const std::wstring& tag) {
  static std::atomic<int> counter{0};
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  std::wstring root = std::wstring(temp) + L"velmora-tests";
  CreateDirectoryW(root.c_str(), nullptr);
  std::wstring dir =
      root + L"\\" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
  RemoveTree(dir);
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = path + L"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A link: removed itself, never what it leads to.
        if (!RemoveDirectoryW(child.c_str()) && !DeleteFileW(child.c_str())) RemoveLink(child);
        continue;
      }
      SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
}

bool MakeDirs(const std::wstring& path) {
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == L'\\' && i > 2) CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
  }
  CreateDirectoryW(path.c_str(), nullptr);
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring StandInGameFolder() {
  const std::wstring folder = L"C:\\Games\\Velmora";
  if (!FileExists(folder + L"\\Velmora.exe")) WriteFileBytes(folder + L"\\Velmora.exe", "the game");
  return folder;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  size_t slash = path.find_last_of(L'\\');
  if (slash != std::wstring::npos) MakeDirs(path.substr(0, slash));
  common::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 24));
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

std::string ReadFileBytes(const std::wstring& path) {
  common::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string bytes;
  if (!file) return bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  return bytes;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring CopyLauncherTo(const std::wstring& folder, const std::wstring& name) {
  MakeDirs(folder);
  std::wstring target = folder + L"\\" + name;
  if (!CopyFileW(LauncherExe().c_str(), target.c_str(), FALSE)) return std::wstring();
  return target;
}

std::string RestartCommandLine(const std::wstring& exe, const std::vector<std::wstring>& args) {
  std::wstring line = L"\"" + exe + L"\"";
  for (const std::wstring& arg : args) line += L" " + QuoteArgument(arg);
  return Narrow(line);
}

std::string WaitForFileBytes(const std::wstring& path, DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  while (!FileExists(path) && GetTickCount() - start < timeout_ms) Sleep(50);
  return ReadFileBytes(path);
}

bool WaitForFileText(const std::wstring& path, const std::string& text, DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  while (ReadFileBytes(path).find(text) == std::string::npos) {
    if (GetTickCount() - start > timeout_ms) return false;
    Sleep(20);
  }
  return true;
}

std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') {
      ++i;
      ++backslashes;
    }
    if (i == arg.size()) {
      out.append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    out += arg[i];
  }
  return out + L"\"";
}

RunResult RunProcess(const std::wstring& exe, const std::vector<std::wstring>& args, const std::wstring& cwd,
                     DWORD timeout_ms) {
  RunResult result;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_raw = nullptr, write_raw = nullptr;
  if (!CreatePipe(&read_raw, &write_raw, &inherit, 0)) return result;
  common::UniqueKernelHandle read_end(read_raw), write_end(write_raw);
  SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
  common::UniqueFile null_in(
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));

  std::wstring command = QuoteArgument(exe);
  for (const std::wstring& arg : args) command += L" " + QuoteArgument(arg);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_in.get();
  startup.hStdOutput = write_end.get();
  startup.hStdError = write_end.get();
  PROCESS_INFORMATION info = {};
  // In a job of its own, so that a run that times out ends with everything
  // it started; one that ends leaves what it started running (a new
  // launcher, a URL handler), as a player's would.
  common::UniqueKernelHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                      cwd.empty() ? nullptr : cwd.c_str(), &startup, &info)) {
    return result;
  }
  result.started = true;
  common::UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  const bool in_job = job && AssignProcessToJobObject(job.get(), process.get());
  ResumeThread(thread.get());
  write_end.reset();

  // Poll rather than read to the end: a program the child started (a new
  // launcher, a URL handler) may hold the pipe open long after it exits.
  auto drain = [&]() {
    DWORD available = 0;
    while (PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      char buffer[4096];
      DWORD got = 0;
      if (!ReadFile(read_end.get(), buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr) || got == 0) {
        break;
      }
      result.output.append(buffer, got);
    }
  };
  DWORD start = GetTickCount();
  for (;;) {
    drain();
    if (WaitForSingleObject(process.get(), 10) == WAIT_OBJECT_0) break;
    if (GetTickCount() - start > timeout_ms) {
      result.timed_out = true;
      if (!in_job || !TerminateJobObject(job.get(), 255)) TerminateProcess(process.get(), 255);
      WaitForSingleObject(process.get(), 5000);
      break;
    }
  }
  drain();
  GetExitCodeProcess(process.get(), &result.exit_code);
  return result;
}

bool SetRegValue(HKEY root, const std::wstring& subkey, const std::wstring& name, const std::wstring& value, DWORD type,
                 REGSAM view) {
  common::UniqueRegKey key;
  if (RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.put(), nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  return RegSetValueExW(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

void DeleteRegTree(HKEY root, const std::wstring& subkey, REGSAM view) {
  RegDeleteTreeW(root, subkey.c_str());
  if (view != 0) {
    common::UniqueRegKey parent;
    size_t slash = subkey.find_last_of(L'\\');
    std::wstring parent_path = slash == std::wstring::npos ? L"" : subkey.substr(0, slash);
    std::wstring leaf = slash == std::wstring::npos ? subkey : subkey.substr(slash + 1);
    if (RegOpenKeyExW(root, parent_path.c_str(), 0, KEY_ALL_ACCESS | view, parent.put()) == ERROR_SUCCESS) {
      RegDeleteTreeW(parent.get(), leaf.c_str());
    }
  }
}

void CleanSteam::Clear() {
  DeleteRegTree(HKEY_CURRENT_USER, L"Software\\Valve\\Steam");
  DeleteRegTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Valve\\Steam", KEY_WOW64_32KEY);
  DeleteRegTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Valve\\Steam", KEY_WOW64_64KEY);
  RemoveTree(L"C:\\Program Files (x86)\\Steam");
}

CleanSteam::CleanSteam() { Clear(); }
CleanSteam::~CleanSteam() { Clear(); }

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Start(const std::wstring& exe, const std::vector<std::wstring>& args) {
  Stop();
  std::wstring command = QuoteArgument(exe);
  for (const std::wstring& arg : args) command += L" " + QuoteArgument(arg);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  return true;
}

void ChildProcess::Stop() {
  if (process_ == nullptr) return;
  TerminateProcess(process_, 0);
  WaitForSingleObject(process_, 10000);
  CloseHandle(process_);
  process_ = nullptr;
}

bool ChildProcess::running() const { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

namespace {
const wchar_t kSteamClass[] = L"Software\\Classes\\steam";
}

void SteamHandler::Unregister() {
  DeleteRegTree(HKEY_CURRENT_USER, kSteamClass);
  DeleteRegTree(HKEY_LOCAL_MACHINE, kSteamClass);
}

SteamHandler::SteamHandler() {
  Unregister();
  dir_ = MakeTempDir(L"steam");
  record_ = dir_ + L"\\requests.txt";
  SetEnvironmentVariableW(L"VELMORA_STEAM_RECORD", record_.c_str());
  const std::wstring command = L"\"" + SupportBin() + L"\\steam-handler.exe\" \"%1\"";
  // Per-machine classes: the prefix's shell reads those for URL schemes.
  SetRegValue(HKEY_LOCAL_MACHINE, kSteamClass, L"", L"URL:steam protocol");
  SetRegValue(HKEY_LOCAL_MACHINE, kSteamClass, L"URL Protocol", L"");
  SetRegValue(HKEY_LOCAL_MACHINE, std::wstring(kSteamClass) + L"\\shell\\open\\command", L"", command);
}

SteamHandler::~SteamHandler() {
  Unregister();
  SetEnvironmentVariableW(L"VELMORA_STEAM_RECORD", nullptr);
  RemoveTree(dir_);
}

std::string SteamHandler::Requests(DWORD timeout_ms) const {
  DWORD start = GetTickCount();
  std::string text = ReadFileBytes(record_);
  while (text.empty() && GetTickCount() - start < timeout_ms) {
    Sleep(50);
    text = ReadFileBytes(record_);
  }
  return text;
}

std::string UnixPath(const std::wstring& path) {
  using UnixNameFn = char*(CDECL*)(const wchar_t*);
  const auto unix_name = reinterpret_cast<UnixNameFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unix_name == nullptr) return std::string();
  char* name = unix_name(path.c_str());
  std::string text = name ? name : "";
  if (name) HeapFree(GetProcessHeap(), 0, name);
  return text;
}

namespace {

// Starts a Unix program; start /unix does not wait for it.
bool StartUnix(const std::wstring& arguments) {
  std::wstring command = L"start.exe /unix " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

}  // namespace

HeldFile::HeldFile(const std::wstring& path, const wchar_t* how, const std::wstring& after) {
  static std::atomic<int> counter{0};
  const std::wstring event_name =
      L"velmora-hold-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
  common::UniqueKernelHandle ready(CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
  std::vector<std::wstring> args = {path, event_name, how};
  if (!after.empty()) args.push_back(after);
  started_ = holder_.Start(SupportBin() + L"\\hold-file.exe", args) &&
             WaitForSingleObject(ready.get(), 20000) == WAIT_OBJECT_0;
}

bool RunUnixScript(const std::string& script, DWORD timeout_ms, std::string& reason) {
  static std::atomic<int> counter{0};
  const std::wstring dir = BuildDir() + L"\\unix-scripts";
  MakeDirs(dir);
  const std::wstring base = dir + L"\\s" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
  const std::string out = UnixPath(base + L".out"), done = UnixPath(base + L".done");
  if (out.empty() || done.empty()) {
    reason = "not running under Wine";
    return false;
  }
  // start /unix does not wait: the script says when it ended, and how.
  const std::string wrapped = "( " + script + " ) >'" + out + "' 2>&1; echo $? >'" + done + "'\n";
  if (!WriteFileBytes(base + L".sh", wrapped)) {
    reason = "the script could not be written (win32 " + std::to_string(GetLastError()) + ")";
    return false;
  }
  if (!StartUnix(L"/bin/sh " + QuoteArgument(Widen(UnixPath(base + L".sh"))))) {
    reason = "start.exe /unix could not be run (win32 " + std::to_string(GetLastError()) + ")";
    return false;
  }
  const std::string code = WaitForFileBytes(base + L".done", timeout_ms);
  reason = ReadFileBytes(base + L".out");
  for (const wchar_t* suffix : {L".sh", L".out", L".done"}) DeleteFileW((base + suffix).c_str());
  if (code.empty()) {
    reason = "the script did not end in time: " + reason;
    return false;
  }
  return code == "0\n";
}

SmallVolume::SmallVolume(unsigned mebibytes) {
  static std::atomic<int> counter{0};
  unix_path_ = "/tmp/velmora-volume-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
  if (!RunUnixScript("mkdir -p '" + unix_path_ + "' && mount -t tmpfs -o size=" + std::to_string(mebibytes) +
                         "m tmpfs '" + unix_path_ + "'",
                     20000, reason_)) {
    reason_ = "a small file system cannot be mounted here (" + reason_ + ")";
    return;
  }
  mounted_ = true;
  path_ = L"Z:" + Widen(unix_path_);
  for (wchar_t& c : path_) {
    if (c == L'/') c = L'\\';
  }
}

SmallVolume::~SmallVolume() {
  std::string ignored;
  if (mounted_) RunUnixScript("umount -l '" + unix_path_ + "'; rmdir '" + unix_path_ + "'", 20000, ignored);
}

bool PlantLink(const std::wstring& link, const std::wstring& target, std::string& reason) {
  // Wine's reparse-point calls are not implemented: the link is made on the
  // Unix side, which Windows programs then see.
  const std::string from = UnixPath(target), to = UnixPath(link);
  if (from.empty() || to.empty()) {
    reason = "not running under Wine: links are planted with Unix symbolic links here";
    return false;
  }
  // -n -f: a link already there is replaced, not followed.
  if (!StartUnix(L"/bin/ln -snf " + QuoteArgument(Widen(from)) + L" " + QuoteArgument(Widen(to)))) {
    reason = "start.exe /unix could not be run";
    return false;
  }
  const DWORD start = GetTickCount();
  while (GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount() - start < 20000) Sleep(50);
  // Wine shows a link to a folder as a reparse point, and one to a file as
  // the file itself.
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
    reason = "the planted link does not show as a reparse point";
    return false;
  }
  return true;
}

void RemoveLink(const std::wstring& link) {
  const std::string path = UnixPath(link);
  if (path.empty() || !StartUnix(L"/bin/rm -f " + QuoteArgument(Widen(path)))) return;
  const DWORD start = GetTickCount();
  while (GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES && GetTickCount() - start < 20000) Sleep(50);
}

}  // namespace harness
