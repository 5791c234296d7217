// What the file wrappers of this module share among their files; nothing
// outside src/platform includes it.
#pragma once

#include "platform/uDescriptor.h"
#include "platform/uFiles.h"

#include <sys/stat.h>

namespace logserver::files_detail {

// open and openat with close-on-exec, retried after EINTR.
TDescriptor OpenRetrying(const char* path, int flags, mode_t mode);
TDescriptor OpenAtRetrying(int dir, const char* name, int flags, mode_t mode);
// Keeps `file` only when it is a regular file (EINVAL otherwise); with
// `endTornLine` a last line without its newline is given one.
void KeepOnlyRegularFile(TDescriptor& file, bool endTornLine = false);
// An entry's status from what stat gave.
void Fill(const struct stat& st, TEntryStatus& status);

}  // namespace logserver::files_detail
