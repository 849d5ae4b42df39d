// Whole-file reading and crash-safe whole-file writing for small state files (the agent's
// configuration, which holds the node's secret key).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "util/io_error.h"
#include "util/result.h"

namespace quorvel {

// Reads the regular file at `path` whole as UTF-8 text, for files that anyone may name. Opening
// never waits (a FIFO that nobody writes, say); anything but a regular file fails with "not a
// regular file: PATH" without having been opened for reading (naming a device has no effect on
// it), a file of more than `max_bytes` with "file exceeds the limit of N bytes: PATH" (a file that
// grows while it is read included), after reading no more than `max_bytes` + 1 bytes of it.
// Reading itself may block for as long as the file system does not answer.
Result<std::string, IoError> read_regular_file(const std::string& path, std::size_t max_bytes);

// What a file of the type in `mode` (a `st_mode`) is, as an error names it: "a FIFO", "a
// directory", "a character device", "a block device", "a socket", "a symbolic link" or "a
// regular file".
std::string_view file_type_name(mode_t mode);

// The same reading, for a state file that a host names (the agent's configuration): symbolic
// links followed, a folder fails with the system's own words ("Is a directory (os error 21)", as
// reading one would), as do a missing path and one without permission; the other kinds that are
// not a regular file, which the system would open and block on, fail with "PATH is a FIFO, not a
// regular file" (or "a character device", "a block device", "a socket"), a file of more than
// `max_bytes` with "PATH exceeds the limit of N bytes". PATH is shown as outside text
// (util/shown_text.h) shows it.
Result<std::string, IoError> read_state_file(const std::string& path, std::size_t max_bytes);

// Fails, as `read_state_file` does, when something other than a regular file stands at `path`
// (symbolic links followed); a missing path, or one that cannot be looked up, passes. Opens
// nothing, so it never waits.
Result<void, IoError> refuse_non_regular_file(const std::string& path);

// The file that a save of `path` replaces: where `path` is a symbolic link to an existing file,
// that file's resolved path; else `path` itself (also when nothing exists there yet).
std::string replacement_target(const std::string& path);

// Replaces the file at `path` with `contents` so that a reader (or a crash) sees either the old
// or the new contents, never a mixture: the text goes to a temporary file in the same folder,
// is flushed to disk and is then renamed over the old file. An existing file keeps its permission
// bits; a new one gets `new_file_mode` from its creation on. A symbolic link is followed and its
// target replaced. Only a regular file is ever replaced: a FIFO, a device or a folder at `path`
// fails as in `refuse_non_regular_file`, and stays.
Result<void, IoError> write_file_atomically(const std::string& path, std::string_view contents,
                                            mode_t new_file_mode);

// Creates a new file at `path` holding `contents`, with `mode` from its creation on. Never
// replaces anything: an existing file (or link, or directory) fails with EEXIST. The file
// appears complete or not at all, and under one name only.
Result<void, IoError> create_file_exclusively(const std::string& path, std::string_view contents,
                                              mode_t mode);

// Removes what saves of the file at `path` that died midway left in its folder: temporary files
// named "." + the file's name + ".tmp." + six letters or digits, which hold a copy of the file
// (the secret key), or a second name of it. A temporary whose save is still running is kept (it
// holds a lock on it), and no other name is touched. Best effort: failures are silent.
void remove_stale_temp_files(const std::string& path);

}  // namespace quorvel
