#pragma once
// Which files of a release the game folder does not hold as described,
// reading only those that the file table cannot vouch for.
#include <cstddef>
#include <vector>

#include "common/error.h"
#include "update/disk/file_table.h"
#include "update/disk/game_folder.h"
#include "update/disk/install_record.h"
#include "update/run/status.h"
#include "update/trust/manifest.h"

namespace update {

// changed: the indexes into manifest.files of the files to write, in the
// description's order; a path named twice (in any letter case) counts once,
// by its later line. The table learns every digest read and forgets files
// that are gone. verify: every file is read, the table trusted for nothing.
// False with error when the check could not be done (kStopped, kNoMemory).
[[nodiscard]] bool FindChangedFiles(const Manifest& manifest, const GameFolder& game, FileTable& table, bool verify,
                                    const StatusFn& status, const CancelFlag* cancel, std::vector<size_t>& changed,
                                    common::Error& error);

// Whether the folder holds every file of an installed release as the table
// last saw it (size, time and identity), with the digest that release
// names. Nothing is read; a file the table has no row for is not held.
// folder: absolute; volume: its serial number. False with the first path
// that is not held.
[[nodiscard]] bool HoldsRelease(const std::vector<InstalledFile>& files, const FileTable& table,
                                const std::wstring& folder, uint32_t volume, std::wstring& culprit);

}  // namespace update
