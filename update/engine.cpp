#include "update/engine.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "common/error.h"
#include "common/log.h"
#include "common/path.h"
#include "common/texts.h"
#include "common/timing.h"
#include "common/unique_handle.h"
#include "common/worker_pool.h"
#include "net/session.h"
#include "update/disk/file_table.h"
#include "update/disk/game_folder.h"
#include "update/disk/install_record.h"
#include "update/disk/local_check.h"
#include "update/disk/self_replace.h"
#include "update/downloads.h"
#include "update/hosts/fetch.h"
#include "update/hosts/mirrors.h"
#include "update/hosts/transfer.h"
#include "update/placement.h"
#include "update/trust/digest.h"
#include "update/trust/freshness.h"
#include "update/trust/manifest.h"
#include "update/trust/trust_root.h"

namespace update {
namespace {

using common::Error;
using common::ErrorKind;

std::wstring CannotWriteText() {
  return common::Tr(
      L"Could not write into the game folder. Close the game and Steam, or run the launcher as administrator.");
}

// A description and its signature are small; anything this big is not one.
constexpr uint64_t kMaxDescriptionBytes = 16ull * 1024 * 1024;

// Holds the game folder for one run: a second run (a page reload, a second
// launcher) waits for the first rather than write beside it.
class FolderLock {
 public:
  // False only when the run was stopped while it waited.
  // The folder is known by its key, the same for every spelling of it.
  [[nodiscard]] bool Take(const GameFolder& game, const StatusFn& status, const CancelFlag* cancel) {
    mutex_.reset(CreateMutexW(nullptr, FALSE, (L"Local\\velmoramp-update-" + game.key()).c_str()));
    if (!mutex_) return true;  // no lock to be had: run as before
    DWORD waited = WaitForSingleObject(mutex_.get(), 0);
    if (waited == WAIT_TIMEOUT) {
      Say(status, common::Tr(L"Waiting for another update of this game folder"));
      common::Log(L"waiting for another update of %s", game.path());
      const HANDLE handles[2] = {mutex_.get(), cancel != nullptr ? cancel->event() : nullptr};
      waited = WaitForMultipleObjects(handles[1] != nullptr ? 2 : 1, handles, FALSE, INFINITE);
      if (waited == WAIT_OBJECT_0 + 1) return false;
    }
    // Abandoned: the other launcher died; the folder is ours now.
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) held_.reset(mutex_.get());
    return true;
  }

 private:
  common::UniqueKernelHandle mutex_;
  common::HeldMutex held_;  // released before the handle above is closed
};

// The description of one base URL and its signature, fetched at once.
class PairFetch {
 public:
  // Starts both fetches (one after the other, here, when they may not go at
  // once or no thread can be had). alone: the only base URL there is, so a
  // transient failure is tried again here; with mirrors, the next mirror is
  // tried first.
  void Start(net::Session& session, const std::wstring& channel_url, bool alone, bool at_once, const StatusFn& status,
             const CancelFlag* cancel) {
    session_ = &session;
    status_ = &status;
    cancel_ = cancel;
    retries_ = alone ? 3 : 0;
    channel_url_ = channel_url;
    names_[0] = channel_url + L"/manifest.txt";
    names_[1] = channel_url + L"/manifest.sig";
    // Beside the description, the signature is asked once and quietly: a
    // server that does not answer is retried, and told of, for one of them.
    threaded_ = at_once && pool_.Start(2, 2, [this](size_t k) { Fetch(k, k == 0); });
    if (!threaded_) {
      Fetch(0, true);
      if (ok_[0]) Fetch(1, true);
    }
  }
  // Waits for both; false with the text of what failed.
  bool Finish(std::vector<unsigned char>& text, std::vector<unsigned char>& signature, std::wstring& why) {
    pool_.Join();
    transient_ = errors_[0].kind == ErrorKind::kTransient || errors_[1].kind == ErrorKind::kTransient;
    if (threaded_ && pool_.failure().failed()) {
      why = common::TrF(L"Could not reach the update server: %s", pool_.failure().text);
      return false;
    }
    if (!ok_[0]) {
      why = FailureText(errors_[0]);
      return false;
    }
    if (!ok_[1] && threaded_ && errors_[1].kind == ErrorKind::kTransient) Fetch(1, true);
    if (!ok_[1]) {
      why = common::TrF(L"Could not download the signature: %s", errors_[1].text);
      return false;
    }
    text.swap(bodies_[0]);
    signature.swap(bodies_[1]);
    return true;
  }
  // After Finish: a failure that another try may cure.
  bool transient() const { return transient_; }

 private:
  void Fetch(size_t k, bool in_full) {
    static const StatusFn kQuiet;
    bodies_[k].clear();
    ok_[k] = FetchWhole(*session_, names_[k], kMaxDescriptionBytes, bodies_[k], nullptr, in_full ? *status_ : kQuiet,
                        cancel_, errors_[k], in_full ? retries_ : 0);
  }

  // A server that answered is named with what it said; one that did not,
  // with why it could not be reached.
  std::wstring FailureText(const Error& error) const {
    const size_t cut = channel_url_.find_last_of(L'/');
    const std::wstring base = channel_url_.substr(0, cut), channel = channel_url_.substr(cut + 1);
    if (error.kind == ErrorKind::kNotFound)
      return common::TrF(L"There is no release for channel %s at %s.", channel, base);
    if (error.kind == ErrorKind::kHttp) {
      return common::TrF(L"The update server at %s refused to send the release description (%s).", base, error.text);
    }
    return common::TrF(L"Could not reach the update server: %s", error.text);
  }

  net::Session* session_ = nullptr;
  const StatusFn* status_ = nullptr;
  std::wstring channel_url_;
  const CancelFlag* cancel_ = nullptr;
  int retries_ = 0;
  std::wstring names_[2];
  std::vector<unsigned char> bodies_[2];
  Error errors_[2];
  bool ok_[2] = {false, false};
  bool threaded_ = false;
  bool transient_ = false;
  common::WorkerPool pool_;  // declared last: joined before the rest goes
};

// What passes from one step of a run to the next.
struct RunState {
  RunState(const Options& o, const StatusFn& s, const CancelFlag* c) : options(o), status(s), cancel(c) {
    limit.SetBytesPerSecond(static_cast<uint64_t>(std::max(0, o.max_speed_kib)) * 1024);
    session.SetRateLimit(o.shared_limit != nullptr ? o.shared_limit : &limit);
  }
  const Options& options;
  const StatusFn& status;
  const CancelFlag* cancel;
  net::RateLimit limit;  // the player's cap, shared by every transfer
  net::Session session;  // one session serves the whole run, so its connections are reused
  Result result;
  Manifest manifest;
  SequenceMemory sequences;
  FolderLock lock;
  GameFolder game;
  FileTable table;
  std::vector<size_t> changed;         // indexes into manifest.files
  std::vector<std::wstring> dropped;   // files of the installed release this one no longer has, as installed
  std::vector<FileStamp> stamps;       // of the staging files, per changed file
  std::unique_ptr<MirrorSet> mirrors;  // once the description is here
  TrustRoot root;                      // whose keys sign this base URL's releases
  std::set<std::wstring> silent;       // hosts that did not answer this run's first question
  bool no_source = false;              // no base URL offered a description that could be used
  bool base_was_busy = false;          // the base URL's description failed for a passing reason
  // The first base URL's description, asked for while the roots are walked.
  std::wstring early_base;
  std::unique_ptr<PairFetch> early;  // declared last: it ends before what it uses
};

// Mirrors the player named that cannot be one are left out, and said so
// once.
void NameUnusableMirrors(const RunState& run) {
  std::wstring why;
  for (const std::wstring& url : run.options.mirrors) {
    if (IsUsableMirror(url, why)) continue;
    common::Log(L"mirror %s left out: %s", url, why);
    Say(run.status, common::TrF(L"Mirror %s is left out: %s.", url, why));
  }
}

// Ends a run whose step failed before anything was replaced.
bool Refuse(RunState& run, const std::wstring& text, const wchar_t* log_prefix = L"update failed") {
  run.result.error = text;
  common::Log(L"%s: %s", log_prefix, text);
  return false;
}

// A table that cannot be written only means the next run reads more files.
void SaveTable(const RunState& run) { (void)run.table.Save(); }

// The player's count of transfers at once bounds the connections: with
// fewer than three, the questions before the first file are asked in turn.
bool ManyAtOnce(const RunState& run) { return run.options.connections >= 3; }

std::unique_ptr<PairFetch> StartPair(RunState& run, const std::wstring& base, bool alone) {
  auto fetch = std::make_unique<PairFetch>();
  fetch->Start(run.session, base + L"/" + run.options.channel, alone, ManyAtOnce(run), run.status, run.cancel);
  return fetch;
}

// Every round trip before the first file is waited for in turn: the first
// base URL's pair is asked for while the roots are walked.
void StartEarly(RunState& run) {
  const std::vector<std::wstring> bases = CandidateBases(run.options);
  if (bases.empty() || !ManyAtOnce(run)) return;
  run.early = StartPair(run, bases[0], bases.size() == 1);
  run.early_base = bases[0];
}

// A base URL's description and its signature (the early fetch's, the first
// time its base URL is asked).
bool FetchPair(RunState& run, const std::wstring& base, bool alone, std::vector<unsigned char>& text,
               std::vector<unsigned char>& signature) {
  std::unique_ptr<PairFetch> fetch;
  if (run.early && base == run.early_base) {
    fetch = std::move(run.early);
  } else {
    fetch = StartPair(run, base, alone);
  }
  const bool fetched = fetch->Finish(text, signature, run.result.error);
  if (base == run.options.base_url) run.base_was_busy = !fetched && fetch->transient();
  return fetched;
}

// The description one base URL offers, its signature verified, parsed and
// fresh; false with the text of what was wrong (stale: it was an old one).
bool DescriptionFrom(RunState& run, const std::wstring& base, bool alone, bool& stale) {
  std::vector<unsigned char> text, signature;
  bool fetched = FetchPair(run, base, alone, text, signature);
  if (fetched && !SignedForRelease(run.root, text, signature)) {
    // A publish in progress, or a cache that holds an old copy of one of
    // the two for a moment: the pair is fetched once more before it counts.
    common::Log(L"the description and its signature from %s do not match; fetching both again", base);
    fetched = common::WaitOrStop(common::CurrentTiming().refetch_wait_ms, run.cancel) &&
              FetchPair(run, base, alone, text, signature);
    if (fetched && !SignedForRelease(run.root, text, signature)) {
      run.result.error = common::Tr(L"This update is not signed by us.") + NothingChanged();
      common::Log(L"%s: the signature does not match the description", base);
      return false;
    }
  }
  if (!fetched) {
    if (Stopped(run.cancel)) run.result.error = StoppedText();
    return false;
  }
  std::wstring error;
  if (!ParseManifest(text, run.manifest, error)) {
    run.result.error = common::TrF(L"The release description is malformed: %s", error);
    return false;
  }
  if (!CheckFreshness(run.manifest, run.options, run.sequences, UtcNowSeconds(), error)) {
    run.result.error = error;
    stale = true;
    return false;
  }
  return true;
}

constexpr int kMaxRootSteps = 32;

// What the hosts said of one file of a root version.
enum class RootAnswer { kFound, kNone, kUnknown, kStopped };

// One file of a root version from the first base URL that has it. A host
// that withholds a version (a mirror that answers 404 while the base URL
// is made to fail) must not end the walk: every host is asked, and a base
// URL that answered busy (503, say) while another host said there is none
// (or that is the only host) is asked again as a file would be. One that
// does not answer at all (refused, silent) costs its wait once: asking it
// again helps no one, and the description's own retries are the wait.
// kNone only when every host that answered said 404.
RootAnswer FetchRootFile(RunState& run, const std::vector<std::wstring>& bases, const std::wstring& name,
                         std::vector<unsigned char>& body) {
  std::vector<std::wstring> ask = bases;
  bool unknown = false, said_none = bases.size() == 1;
  for (int retry = 0;; ++retry) {
    bool base_busy = false;
    int retry_after = -1;
    for (const std::wstring& base : ask) {
      body.clear();
      net::MemorySink sink(body, kMaxRootBytes + 1);
      net::Request request;
      request.url = base + L"/root/" + name;
      request.max_body = kMaxRootBytes + 1;
      request.stop = run.cancel;
      request.sink = &sink;
      net::Response response;
      Error error;
      if (run.session.Get(request, response, error)) return RootAnswer::kFound;
      if (error.kind == ErrorKind::kStopped) return RootAnswer::kStopped;
      if (error.kind == ErrorKind::kNotFound) {
        said_none = true;
        continue;
      }
      common::Log(L"root %s from %s: %s", name, base, error.text);
      unknown = true;
      if (error.kind != ErrorKind::kTransient) continue;
      if (retry == 0) run.silent.insert(base);
      if (base == run.options.base_url && net::IsTransientStatus(response.headers.status)) {
        base_busy = true;
        retry_after = response.headers.retry_after;
      }
    }
    if (!base_busy || !said_none || retry >= 3) return unknown ? RootAnswer::kUnknown : RootAnswer::kNone;
    const unsigned long wait = RetryWaitMs(retry, retry_after);
    common::Log(L"root %s: asking %s again in %lu ms", name, run.options.base_url, wait);
    if (!common::WaitOrStop(wait, run.cancel)) return RootAnswer::kStopped;
    ask = {run.options.base_url};
  }
}

// Whether a release key of one version is no longer one of the next
// (keys as sets: their order and keys added do not count).
bool ReleaseKeyDropped(const TrustRoot& from, const TrustRoot& to) {
  return std::any_of(from.release_keys.begin(), from.release_keys.end(), [&to](const Modulus& key) {
    return std::find(to.release_keys.begin(), to.release_keys.end(), key) == to.release_keys.end();
  });
}

// The root this run trusts: the one kept for the base URL (else the built-in
// version 1), walked forward through every newer version the server offers
// that the keys of the one before it and its own keys sign.
bool WalkRoots(RunState& run) {
  const std::wstring& base_url = run.options.base_url;
  if (!LoadKeptRoot(base_url, run.root)) run.root = BuiltInRoot();
  // A walk that starts again below what was trusted before (the kept root
  // damaged or gone) crosses rotations it crossed already: those forget no
  // sequence, or an old description signed by today's key would be taken.
  const int64_t remembered = SequenceMemory::Load().HighestRoot(base_url);
  const std::vector<std::wstring> bases = CandidateBases(run.options);
  for (int step = 0; step < kMaxRootSteps; ++step) {
    const std::wstring number = std::to_wstring(run.root.version + 1);
    std::vector<unsigned char> text, signatures;
    RootAnswer answer = FetchRootFile(run, bases, number + L".root.txt", text);
    if (answer == RootAnswer::kFound) answer = FetchRootFile(run, bases, number + L".root.sig", signatures);
    if (answer == RootAnswer::kStopped) return Refuse(run, StoppedText());
    if (answer != RootAnswer::kFound) {
      if (answer == RootAnswer::kUnknown) {
        common::Log(L"root %s could not be fetched; going on with version %lld", number, run.root.version);
      }
      break;
    }
    TrustRoot next;
    std::wstring why;
    if (!AcceptNextRoot(run.root, text, signatures, next, why)) {
      common::Log(L"root %s refused: %s; going on with version %lld", number, why, run.root.version);
      break;
    }
    if (ReleaseKeyDropped(run.root, next) && next.version > remembered) {
      // A stolen key may have published a huge sequence number: after the
      // keys changed, it must not lock players out.
      std::wstring error;
      common::Log(L"root %s drops a release key: the remembered sequences of %s are forgotten", number, base_url);
      if (!SequenceMemory::ForgetBase(base_url, error)) common::Log(L"could not forget them: %s", error);
    }
    KeepRoot(base_url, text, signatures);
    run.root = next;
    common::Log(L"root version %lld trusted", run.root.version);
  }
  if (run.root.version < remembered) {
    common::Log(L"root version %lld was trusted before, but the walk ended at %lld", remembered, run.root.version);
    run.no_source = true;  // what is installed was checked under the keys trusted then
    return Refuse(run, common::Tr(L"The update server does not offer the signing keys this launcher trusted before.") +
                           NothingChanged());
  }
  std::wstring error;
  if (run.root.version > remembered && !SequenceMemory::RememberRoot(base_url, run.root.version, error)) {
    common::Log(L"could not remember root version %lld: %s", run.root.version, error);
  }
  if (run.root.has_expiry && run.root.expires_at <= UtcNowSeconds()) {
    return Refuse(run, common::Tr(L"The signing keys of this update server have expired.") + NothingChanged());
  }
  return true;
}

// The base URLs the run uses for files: the one that served the
// description, those after it, back round to those before it, and the
// mirrors the description names.
void ChooseMirrors(RunState& run, const std::vector<std::wstring>& bases, size_t served) {
  std::vector<std::wstring> order;
  for (size_t i = 0; i < bases.size(); ++i) order.push_back(bases[(served + i) % bases.size()]);
  for (const std::wstring& url : run.manifest.mirrors) {
    if (std::find(order.begin(), order.end(), url) == order.end()) order.push_back(url);
  }
  run.mirrors = std::make_unique<MirrorSet>(std::move(order));
  if (!run.options.check_only) RememberMirrors(run.options.base_url, run.options.channel, run.manifest.mirrors);
}

// One base URL's turn for the description; true once it offered one. The
// first failure of each kind is kept for the player.
bool AskForDescription(RunState& run, const std::vector<std::wstring>& order, const std::wstring& base, bool alone,
                       std::wstring& first_error, std::wstring& stale_error) {
  // Mirrors are numbered as configured, whatever order they are asked in.
  const size_t number = static_cast<size_t>(std::find(order.begin(), order.end(), base) - order.begin()) + 1;
  if (number > 1) {
    const std::wstring host = MirrorSet({base}).Host(0);
    Say(run.status, common::TrF(L"Trying mirror %d of %d: %s", number, order.size(), host));
    common::Log(L"trying mirror %zu of %zu: %s", number, order.size(), base);
  }
  bool stale = false;
  run.result.error.clear();
  if (DescriptionFrom(run, base, alone, stale)) return true;
  if (Stopped(run.cancel)) return false;
  common::Log(L"%s: %s", base, run.result.error);
  std::wstring& kept = stale ? stale_error : first_error;
  if (kept.empty()) kept = run.result.error;
  return false;
}

// A release announced beside the current one (<channel>/next/) whose hour
// has come is installed as the current one, whether or not its publisher
// has promoted it yet. It is checked as the current one is, and must come
// after it; anything wrong with it is logged and leaves the current one.
void TakeAnnounced(RunState& run, const std::wstring& base) {
  static const StatusFn kQuiet;
  const std::wstring next = base + L"/" + run.options.channel + L"/next/manifest.";
  std::vector<unsigned char> text, signature;
  Error error;
  if (!FetchWhole(run.session, next + L"txt", kMaxDescriptionBytes, text, nullptr, kQuiet, run.cancel, error, 0) ||
      !FetchWhole(run.session, next + L"sig", kMaxDescriptionBytes, signature, nullptr, kQuiet, run.cancel, error, 0)) {
    if (error.kind != ErrorKind::kNotFound && error.kind != ErrorKind::kStopped) {
      common::Log(L"announced release: %s", error.text);
    }
    return;
  }
  Manifest announced;
  std::wstring why;
  if (!SignedForRelease(run.root, text, signature)) {
    why = L"its signature does not match";
  } else if (!ParseManifest(text, announced, why)) {
  } else if (!announced.has_not_before) {
    why = L"it names no hour";
  } else if (announced.sequence <= run.manifest.sequence) {
    why = L"it does not come after the current release";
  } else if (!CheckFreshness(announced, run.options, run.sequences, UtcNowSeconds(), why)) {
  } else if (announced.not_before > UtcNowSeconds()) {
    common::Log(L"announced release: %s (sequence %lld) from %s", announced.build, announced.sequence,
                FormatUtcToken(announced.not_before));
    const uint64_t wait = static_cast<uint64_t>(announced.not_before - UtcNowSeconds());
    run.result.notices.push_back(
        common::TrF(L"Release %s arrives in %s.", announced.build, common::FormatDuration(wait)));
    return;
  } else {
    common::Log(L"announced release: %s (sequence %lld) is due since %s: taken as the current one", announced.build,
                announced.sequence, FormatUtcToken(announced.not_before));
    run.manifest = std::move(announced);
    return;
  }
  common::Log(L"announced release refused: %s", why);
}

// The description of the channel from the first base URL that offers a
// fresh one whose signature verifies: the base URL, then the mirrors.
bool FetchDescription(RunState& run) {
  run.sequences = SequenceMemory::Load();
  // A host that did not answer the root question a moment ago is asked
  // last: a host that is down must not cost the run its wait twice.
  const std::vector<std::wstring> order = CandidateBases(run.options);
  std::vector<std::wstring> bases = order;
  std::stable_partition(bases.begin(), bases.end(),
                        [&run](const std::wstring& base) { return run.silent.count(base) == 0; });
  std::wstring first_error, stale_error;
  size_t served = bases.size();
  for (size_t i = 0; i < bases.size() && served == bases.size(); ++i) {
    if (AskForDescription(run, order, bases[i], bases.size() == 1, first_error, stale_error)) served = i;
    if (Stopped(run.cancel)) return Refuse(run, StoppedText());
  }
  // With mirrors, a busy base URL is asked once: when every mirror failed
  // too, it gets the retries it would have had alone.
  if (served == bases.size() && bases.size() > 1 && run.base_was_busy) {
    const size_t base =
        static_cast<size_t>(std::find(bases.begin(), bases.end(), run.options.base_url) - bases.begin());
    if (AskForDescription(run, order, bases[base], true, first_error, stale_error)) served = base;
    if (Stopped(run.cancel)) return Refuse(run, StoppedText());
  }
  if (served == bases.size()) {
    // Only when every one offered an old release is it the replay text.
    run.no_source = true;
    return Refuse(run, first_error.empty() ? stale_error : first_error,
                  first_error.empty() ? L"update refused" : L"update failed");
  }
  TakeAnnounced(run, bases[served]);
  ChooseMirrors(run, bases, served);
  const Manifest& m = run.manifest;
  run.result.build = m.build;
  run.result.notes = m.notes;
  run.result.protocol = m.protocol;
  run.result.server_host = m.server_host;
  run.result.server_port = m.server_port;
  common::Log(L"release %s (protocol %d, sequence %lld%s%s), %zu files", m.build, m.protocol, m.sequence,
              m.has_expiry ? L", expires " : L"", m.expires, m.files.size());
  return true;
}

bool ReplaceLauncher(RunState& run) {
  const Manifest& manifest = run.manifest;
  const std::wstring label = common::Tr(L"Updating the launcher");
  Say(run.status, label);
  const StatusFn& status = run.status;
  const auto progress = [&status, &label](uint64_t received, uint64_t total) {
    Say(status, label, total == 0 ? -1 : static_cast<int>(received * 100 / total));
  };
  std::vector<unsigned char> bytes;
  Error error;
  const BodyCheck described = [&manifest](const std::vector<unsigned char>& body) {
    return Sha256Hex(body) == AsciiLower(manifest.launcher_sha256);
  };
  // From the hosts in turn, as a file: a host with another copy is passed
  // over; only when every one sends one does the launcher count as refused.
  if (!FetchFromMirrors(run.session, *run.mirrors, manifest.launcher_source, net::kMaxBodyBytes, bytes, progress,
                        run.status, run.cancel, described, error) &&
      error.kind != ErrorKind::kMismatch) {
    common::Log(L"launcher %d: download failed: %s", manifest.launcher_version, error.text);
    return false;
  }
  if (error.kind == ErrorKind::kMismatch) {
    common::Log(L"launcher %d: its digest does not match the release description; not fetched again for it",
                manifest.launcher_version);
    RememberRefusedLauncher(manifest.launcher_sha256);
    const std::wstring text = common::Tr(L"The new launcher could not be verified; this one keeps running.");
    Say(run.status, text);
    run.result.notices.push_back(text);
    return false;
  }
  if (Stopped(run.cancel)) return false;
  if (!ReplaceSelfAndRestart(bytes)) {
    common::Log(L"launcher %d: could not be put in place or started", manifest.launcher_version);
    return false;
  }
  common::Log(L"launcher %d is in place and started", manifest.launcher_version);
  return true;
}

// False when the launcher was replaced: the run ends there, successfully.
bool UpdateLauncher(RunState& run) {
  if (run.manifest.launcher_version <= kLauncherVersion || run.options.check_only) return true;
  if (run.options.restarted) {
    // A launcher that just replaced itself never does so again in the same
    // run: a release whose launcher line is ahead of the exe it carries
    // must not make players restart for ever.
    common::Log(L"the release offers launcher %d but this is %d; not updating again", run.manifest.launcher_version,
                kLauncherVersion);
    Say(run.status, common::TrF(L"the release offers launcher %d but this is %d; not updating again",
                                run.manifest.launcher_version, kLauncherVersion));
    return true;
  }
  if (LauncherRefusedBefore(run.manifest.launcher_sha256)) {
    common::Log(L"launcher %d: it did not match its description before; not fetching it again",
                run.manifest.launcher_version);
    return true;
  }
  if (!ReplaceLauncher(run)) return true;  // the game files are brought up to date by this one
  run.result.ok = true;
  run.result.launcher_updated = true;
  return false;
}

bool OpenGameFolder(RunState& run) {
  std::wstring error;
  // A dry run makes nothing, not even the folder.
  if (!run.game.Open(run.options.game_dir, error,
                     run.options.check_only ? GameFolder::Purpose::kLook : GameFolder::Purpose::kWrite)) {
    // Only a refusal is the administrator's to lift; anything else is said.
    const DWORD code = GetLastError();
    run.result.error = code == ERROR_ACCESS_DENIED
                           ? CannotWriteText()
                           : common::TrF(L"Could not open the game folder %s: %s.", run.options.game_dir, error);
    common::Log(L"update failed: %s: %s", run.options.game_dir, error);
    return false;
  }
  if (!run.lock.Take(run.game, run.status, run.cancel)) return Refuse(run, StoppedText());
  run.table = FileTable::Load(run.game.key(), run.game.path());
  return true;
}

// Whether the release a whole record names is still in the folder as that
// release names it (the table as the last look at the folder left it). A
// file of it that changed or went marks the record at once: nobody plays
// the folder offline, nor from the window, until a run brings it back.
bool StillWhole(const std::wstring& key, InstallRecord& record, const FileTable& table, const std::wstring& folder,
                uint32_t volume) {
  std::vector<InstalledFile> files;
  if (!LoadReleaseFiles(key, record.files_digest, files)) {
    common::Log(L"the files of the installed release %s are not known; it is not vouched for", record.build);
    return false;
  }
  std::wstring culprit;
  if (HoldsRelease(files, table, folder, volume, culprit)) return true;
  common::Log(L"the installed release %s is not whole: %s changed or is gone", record.build, culprit);
  record.state = InstallRecord::State::kChanged;
  record.note = ChangedNote(culprit);
  (void)SaveInstallRecord(key, record);
  return false;
}

// Files the installed release had and this one does not: removed in the
// move pass when they are as that release installed them; one the player
// changed since is kept, and said so.
void FindDropped(RunState& run, const InstallRecord& record) {
  std::vector<InstalledFile> installed;
  if (!LoadReleaseFiles(run.game.key(), record.files_digest, installed)) return;
  const auto lower = [](std::wstring path) {
    for (wchar_t& c : path) c = static_cast<wchar_t>(towlower(c));
    return path;
  };
  std::set<std::wstring> listed;
  for (const ManifestFile& file : run.manifest.files) listed.insert(lower(file.path));
  for (const InstalledFile& file : installed) {
    if (listed.count(lower(file.path)) > 0) continue;
    std::wstring culprit;
    if (HoldsRelease({file}, run.table, run.game.path(), run.game.volume(), culprit)) {
      run.dropped.push_back(file.path);
      continue;
    }
    FileStamp now;
    if (!ReadStamp(run.game.Full(file.path), run.game.volume(), now)) continue;  // gone already
    common::Log(L"kept %s: this release no longer has it, but it was changed since it was installed", file.path);
    run.result.notices.push_back(
        common::TrF(L"Kept %s: this release no longer has it, but it was changed since it was installed.", file.path));
  }
}

bool FindChanged(RunState& run) {
  Error error;
  if (!FindChangedFiles(run.manifest, run.game, run.table, run.options.verify, run.status, run.cancel, run.changed,
                        error)) {
    return Refuse(run, error.kind == ErrorKind::kStopped
                           ? std::wstring(StoppedText())
                           : common::TrF(L"The update could not be completed: %s.", error.text) + NothingChanged());
  }
  SaveTable(run);
  InstallRecord record = LoadInstallRecord(run.game.key());
  if (record.state == InstallRecord::State::kWhole) {
    (void)StillWhole(run.game.key(), record, run.table, run.game.path(), run.game.volume());
  }
  if (record.state == InstallRecord::State::kWhole || record.state == InstallRecord::State::kChanged) {
    FindDropped(run, record);
  }
  return true;
}

Result CountOnly(RunState& run) {
  for (size_t i : run.changed) Say(run.status, run.manifest.files[i].path);
  run.result.changed = static_cast<int32_t>(run.changed.size());
  run.result.removed = static_cast<int32_t>(run.dropped.size());
  run.result.download_bytes = BytesToDownload(run.session, *run.mirrors, run.game, run.manifest, run.changed,
                                              run.table.staging(), run.options, run.cancel);
  run.result.ok = true;
  common::Log(L"dry run: %zu files would be updated, %llu bytes to download", run.changed.size(),
              run.result.download_bytes);
  return run.result;
}

// The user-facing text of a transfer phase that failed.
std::wstring StagingFailureText(RunState& run, const std::set<std::wstring>& ours, const Error& error) {
  std::wstring space;
  switch (error.kind) {
    case ErrorKind::kStopped: return StoppedText();
    case ErrorKind::kWriteFailed: return CannotWriteText() + NothingChanged();
    case ErrorKind::kUnsafePath: return LinkText(error.text) + NothingChanged();
    case ErrorKind::kNoSpace:
      // Another program filled the disk meanwhile: what is missing now.
      if (!CheckFreeSpace(Placement{run.game, run.manifest, run.changed}, ours, space)) return space;
      [[fallthrough]];
    default: return common::TrF(L"The update could not be completed: %s.", error.text) + NothingChanged();
  }
}

// Every changed file into its staging file, verified, once nothing in the
// way of the release is found and there is room for it.
bool StageChanged(RunState& run) {
  if (run.changed.empty()) return true;
  const Placement placement{run.game, run.manifest, run.changed};
  const std::set<std::wstring> ours = run.table.staging();
  std::wstring text;
  if (!CheckTargetsBeforeDownload(placement, text) || !CheckFreeSpace(placement, ours, text)) {
    return Refuse(run, text, L"update failed, nothing replaced");
  }
  for (size_t i : run.changed) run.table.staging().insert(run.manifest.files[i].path);
  SaveTable(run);
  run.stamps.assign(run.changed.size(), FileStamp());
  Error error;
  if (StageAll(run.session, *run.mirrors, run.game, run.manifest, run.changed, ours, run.options, run.status,
               run.cancel, run.stamps, error)) {
    return true;
  }
  return Refuse(run, StagingFailureText(run, ours, error), L"update failed, nothing replaced");
}

// Logged when it fails.
[[nodiscard]] bool Record(const RunState& run, InstallRecord::State state, const std::wstring& note) {
  InstallRecord record = RecordOf(state, run.manifest, run.options.base_url, run.options.channel);
  record.note = note;
  if (state == InstallRecord::State::kWhole) record.files_digest = KeepReleaseFiles(run.game.key(), run.manifest);
  return SaveInstallRecord(run.game.key(), record);
}

// Every file is here and verified, and every one that must go is free: one
// quick pass moves them into place, in the order of the description. From
// its first move until the release is whole the game folder counts as
// holding two releases, should anything cut the pass off.
bool MoveIntoPlace(RunState& run) {
  if (run.changed.empty() && run.dropped.empty()) return true;
  const Placement placement{run.game, run.manifest, run.changed, &run.dropped};
  std::wstring text;
  if (!CheckTargetsBeforeMoving(placement, text)) return Refuse(run, text, L"update failed, nothing replaced");
  // Should the pass be cut off, only this record keeps the folder from
  // being played: without it, no move starts.
  if (!Record(run, InstallRecord::State::kMixed, CutOffText())) {
    return Refuse(run,
                  common::Tr(L"The update could not be completed: the launcher cannot write its record of the game "
                             L"folder.") +
                      NothingChanged(),
                  L"update failed, nothing replaced");
  }
  const bool whole = MoveAll(
      placement,
      [&run](size_t k) {
        const ManifestFile& file = run.manifest.files[run.changed[k]];
        ++run.result.changed;
        // A move within the folder keeps the file's size, time and identity.
        if (run.stamps[k].size == file.size) run.table.Set(file.path, TableRow{run.stamps[k], file.sha256});
      },
      text);
  if (whole) {
    // Each was found free to go a moment ago; one that is held now stays,
    // beside a release that is whole all the same.
    const std::vector<std::wstring> left = RemoveDropped(placement);
    run.result.removed = static_cast<int32_t>(run.dropped.size() - left.size());
    for (const std::wstring& path : left) {
      run.result.notices.push_back(
          common::TrF(L"Could not remove %s, which this release no longer has.", run.game.Shown(path)));
    }
    return true;
  }
  run.result.error = text;
  run.result.mixed = true;
  (void)Record(run, InstallRecord::State::kMixed, text);
  SaveTable(run);
  return false;
}

// Staging files of this or an earlier release that are left now belong to
// nothing: the release is whole. (Those moved into place are gone.) Rows of
// files the release no longer names go too.
void ForgetWhatIsGone(RunState& run) {
  std::map<std::wstring, uint64_t> moved;  // path -> size
  for (size_t i : run.changed) moved[run.manifest.files[i].path] = run.manifest.files[i].size;
  for (const std::wstring& path : run.table.staging()) {
    const auto it = moved.find(path);
    if (it == moved.end()) run.game.Delete(StagingPath(path));
    // A small file had no note to delete; asking for a name that is not
    // there costs some systems a search of its folder.
    if (it == moved.end() || it->second >= kMinResumableBytes) run.game.Delete(StagingVersionPath(path));
  }
  run.table.staging().clear();
  std::set<std::wstring> listed;
  for (const ManifestFile& file : run.manifest.files) listed.insert(file.path);
  std::vector<std::wstring> gone;
  for (const auto& row : run.table.rows()) {
    if (listed.count(row.first) == 0) gone.push_back(row.first);
  }
  for (const std::wstring& path : gone) run.table.Erase(path);
  SaveTable(run);
}

void FinishRelease(RunState& run) {
  ForgetWhatIsGone(run);
  // The folder is whole all the same; it is only not vouched for offline.
  (void)Record(run, InstallRecord::State::kWhole, std::wstring());
  run.result.ok = true;
  const int64_t sequence = run.manifest.sequence;
  if (sequence > 0) {
    std::wstring error;
    if (!SequenceMemory::Remember(run.options.base_url, run.options.channel, sequence, error)) {
      common::Log(L"could not remember sequence %lld: %s", sequence, error);
      const std::wstring text = common::TrF(L"Could not remember this release's sequence number: %s", error);
      Say(run.status, text);
      // The run succeeded all the same; the player reads both at its end.
      run.result.notices.push_back(text);
    }
  }
  common::Log(L"update done: %d files replaced", run.result.changed);
}

// No base URL offered a description that could be used: a game folder
// that holds the whole release installed last, from this base URL and
// channel, is still played, unless that release has expired. Never for a
// dry run, nor after a stop.
Result PlayInstalled(RunState& run) {
  if (!run.no_source || run.options.check_only) return run.result;
  const std::wstring key = FolderKey(run.options.game_dir);
  InstallRecord record = LoadInstallRecord(key);
  if (record.state != InstallRecord::State::kWhole || record.base_url != run.options.base_url ||
      record.channel != run.options.channel || record.build.empty()) {
    return run.result;
  }
  const std::wstring folder = common::AbsolutePath(run.options.game_dir);
  const FileTable table = FileTable::Load(key, folder);
  if (!StillWhole(key, record, table, folder, VolumeSerialOf(common::LongPathForm(folder)))) return run.result;
  if (record.has_expiry && record.expires_at <= UtcNowSeconds()) {
    common::Log(L"the installed release %s expired at %s; it is not played", record.build,
                FormatUtcToken(record.expires_at));
    return run.result;
  }
  std::wstring reason = run.result.error;
  const std::wstring unchanged = NothingChanged();
  if (reason.size() > unchanged.size() &&
      reason.compare(reason.size() - unchanged.size(), unchanged.size(), unchanged) == 0) {
    reason.erase(reason.size() - unchanged.size());
  }
  while (!reason.empty() && (reason.back() == L'.' || reason.back() == L' ')) reason.pop_back();
  Result played;
  played.ok = true;
  played.offline = true;
  played.build = record.build;
  played.notes = record.notes;
  played.protocol = record.protocol;
  played.server_host = record.server_host;
  played.server_port = record.server_port;
  played.notices = run.result.notices;
  played.offline_text = common::TrF(L"Playing the installed release %s: %s.", record.build, reason);
  common::Log(L"playing the installed release %s: %s", record.build, reason);
  return played;
}

}  // namespace

Result RunUpdate(const Options& options, const StatusFn& status, const CancelFlag* cancel) {
  RunState run(options, status, cancel);
  common::Log(L"update run: %s channel %s into %s%s%s", options.base_url, options.channel, options.game_dir,
              options.check_only ? L" (dry run)" : L"", options.verify ? L" (verify)" : L"");
  Say(status, common::Tr(L"Checking for updates"));
  NameUnusableMirrors(run);
  StartEarly(run);
  if (!WalkRoots(run)) return PlayInstalled(run);
  if (!FetchDescription(run)) return PlayInstalled(run);
  if (!UpdateLauncher(run) || !OpenGameFolder(run) || !FindChanged(run)) {
    return run.result;
  }
  if (options.check_only) return CountOnly(run);
  if (StageChanged(run) && MoveIntoPlace(run)) FinishRelease(run);
  return run.result;
}

}  // namespace update
