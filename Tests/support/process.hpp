// Runs a program as a separate process, as a user or a script would, and collects its exit
// status and both output streams.
#pragma once

#include <string>
#include <vector>

namespace tooltest {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// argv[0] is the program's path; standard input is /dev/null.
ToolRun RunProgram(std::vector<std::string> argv);

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

std::string ReadText(const std::string& file);

} // namespace tooltest
