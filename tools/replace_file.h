// Replacing a file that another program reads (a receiver file, the users file) whole:
// a reader never sees half of it, and a file keeps the account and the mode it has, since
// it may be the alarm server's or velweb's rather than that of whoever runs velctl.
#ifndef VELCTL_REPLACE_FILE_H
#define VELCTL_REPLACE_FILE_H

#include <sys/types.h>

#include <string>

namespace velctl {

// What a file that did not exist before is made with.
struct NewFileMode {
  mode_t mode = 0666;       // less the umask, unless `exact`
  bool exact = false;       // the mode as it stands, whatever the umask
  gid_t group = gid_t(-1);  // given where this account may (-1: the account's own)
};

// Writes `bytes` to `path`: to a temporary file beside it, synced, then renamed over it.
// An existing file keeps its owner, group and mode: the new one is given them before the
// rename, and where this account cannot give them, the file is rewritten where it
// stands. False, with the reason in `error` (naming the file), when it could not be
// written; the old file is then whole, unless it was being rewritten in place.
bool ReplaceFile(const std::string& path, const std::string& bytes, const NewFileMode& fresh,
                 std::string& error);

}  // namespace velctl

#endif  // VELCTL_REPLACE_FILE_H
