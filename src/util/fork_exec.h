// The launcher under ExecCmd, over the process engine: runs one program with
// its standard input fed from a string and its standard output and error
// collected into strings, optionally as another user and with extra
// environment variables.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace marun {

// Forks a child (forkExecvPipes in its messages) that runs `args` (args[0]
// first) with execvp(path): three pipes go onto 0, 1 and 2, every other
// descriptor is closed, the process switches to `user` when one is named,
// and each of `env` is set (overwriting); a failing step there is logged and
// the child exits with 127. The parent writes `input` to it as it reads,
// collects its output and error until both end, and waits for it. A failed
// fork throws SystemError "forkExecvPipes: fork() failed". Returns the exit status (0 to 255), or
// -1 when a signal ended it or it could not be started or waited for (errno tells why).
int forkExecvGetInOutErrSuidEnv(const std::string& input, std::string& output, std::string& error,
                                const std::string& path, const std::vector<std::string>& args,
                                const std::string& user,
                                const std::map<std::string, std::string>& env);

}  // namespace marun
