// Process runner for the end-to-end tests.
#include "process.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace tooltest {

namespace {

std::atomic<unsigned> gScratchCounter{0};

} // namespace

std::string ReadText(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ScratchDir::ScratchDir()
{
    dir_ = (std::filesystem::temp_directory_path() /
            ("kwotarv-test-" + std::to_string(getpid()) + "-" + std::to_string(gScratchCounter++)))
               .string();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string ScratchDir::Path(const std::string& name) const
{
    return dir_ + "/" + name;
}

ToolRun RunProgram(std::vector<std::string> argv)
{
    ScratchDir scratch;
    const std::string outFile = scratch.Path("stdout");
    const std::string errFile = scratch.Path("stderr");

    std::vector<char*> raw;
    for (auto& arg : argv)
        raw.push_back(arg.data());
    raw.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + argv[0]);

    int status = 0;
    waitpid(pid, &status, 0);
    ToolRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = ReadText(outFile);
    run.err = ReadText(errFile);
    return run;
}

} // namespace tooltest
