// velctl user ...: the accounts of the users file VELWEB.USR (users_file.h) in velctl's
// own program directory, the one whose velweb reads it: added, given a new password,
// removed and listed.
#ifndef VELCTL_USERS_H
#define VELCTL_USERS_H

#include <string>
#include <vector>

namespace velctl {

// The arguments after "user"; the exit status.
int UserCommand(const std::vector<std::string>& args);

}  // namespace velctl

#endif  // VELCTL_USERS_H
