// Runs the kwotarv program as a separate process, as a user or a script would, and collects its
// exit status and both output streams.
#pragma once

#include <string>
#include <vector>

namespace tooltest {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

ToolRun RunTool(const std::vector<std::string>& args);

// Absolute paths of the sample boards and of the test data.
std::string BoardDir(const std::string& name);
std::string DataDir(const std::string& name);

// A fresh directory for files a test writes, removed with the object.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string Path(const std::string& name) const;

  private:
    std::string dir_;
};

std::string ReadText(const std::string& file);

} // namespace tooltest
