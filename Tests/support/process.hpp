// Runs a program as a separate process, as a user or a script would, and collects its exit
// status and both output streams.
#pragma once

#include <string>
#include <vector>

#include "test_text.hpp"

namespace tooltest {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// argv[0] is the program's path; standard input is /dev/null.
ToolRun RunProgram(std::vector<std::string> argv);

// Starts argv (argv[0] a path) with its standard streams on the given files and `extraEnv`
// ("NAME=value") added to the environment, in a process group of its own when `ownGroup`.
// Returns the process ID; throws when the program cannot be started.
int SpawnProgram(std::vector<std::string> argv, const std::string& inFile,
                 const std::string& outFile, const std::string& errFile,
                 const std::vector<std::string>& extraEnv = {}, bool ownGroup = false);

// A fresh directory for files a test writes, removed with the object.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string Path(const std::string& name) const;
    const std::string& Directory() const { return dir_; }

  private:
    std::string dir_;
};

} // namespace tooltest
