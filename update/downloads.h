#pragma once
// Bringing every changed file of a release into its staging file, several
// at once, with one status line for the whole transfer.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "common/error.h"
#include "net/session.h"
#include "update/disk/file_table.h"
#include "update/disk/game_folder.h"
#include "update/hosts/mirrors.h"
#include "update/run/options.h"
#include "update/run/status.h"
#include "update/trust/manifest.h"

namespace update {

// Stages manifest.files[changed[k]] for every k, up to options.connections
// transfers at once: a file with a "chunks" line (unless options say not)
// from the chunks the files at hand lack, the others whole. The first failure stops the others (their parts are kept
// for a resume) and is the result: StageFile's kinds and texts, kStopped when the run was asked to stop, kNoMemory when
// no worker could run. stamps[k]: the staging file of changed[k] as the file system describes it. ours: the paths whose
// staging files this launcher left earlier, which may be continued. Every file and chunk is fetched from the mirrors,
// starting on the first.
[[nodiscard]] bool StageAll(net::Session& session, MirrorSet& mirrors, const GameFolder& game, const Manifest& manifest,
                            const std::vector<size_t>& changed, const std::set<std::wstring>& ours,
                            const Options& options, const StatusFn& status, const CancelFlag* cancel,
                            std::vector<FileStamp>& stamps, common::Error& error);

// What a run would fetch for these files: the chunks not at hand of
// chunked files, the whole of the others (a dry run; nothing is written).
uint64_t BytesToDownload(net::Session& session, MirrorSet& mirrors, const GameFolder& game, const Manifest& manifest,
                         const std::vector<size_t>& changed, const std::set<std::wstring>& ours, const Options& options,
                         const CancelFlag* cancel);

// "120.5 of 265.0 MB  12.3 MB/s  21 s left"; speed and time once known.
std::wstring TransferDetail(uint64_t done, uint64_t total, double seconds);

}  // namespace update
