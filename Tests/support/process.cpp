// Process runner for the end-to-end tests.
#include "process.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace tooltest {

namespace {

std::atomic<unsigned> gScratchCounter{0};

} // namespace

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

int SpawnProgram(std::vector<std::string> argv, const std::string& inFile,
                 const std::string& outFile, const std::string& errFile,
                 const std::vector<std::string>& extraEnv, bool ownGroup)
{
    std::vector<char*> args;
    for (auto& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inFile.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (ownGroup) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

ToolRun RunProgram(std::vector<std::string> argv)
{
    ScratchDir scratch;
    const std::string outFile = scratch.Path("stdout");
    const std::string errFile = scratch.Path("stderr");
    const pid_t pid = SpawnProgram(std::move(argv), "/dev/null", outFile, errFile);

    int status = 0;
    waitpid(pid, &status, 0);
    ToolRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = ReadText(outFile);
    run.err = ReadText(errFile);
    return run;
}

} // namespace tooltest
