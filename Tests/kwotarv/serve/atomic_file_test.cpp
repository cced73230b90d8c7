// Atomic replacement of the textfile: a reader holding the old file keeps the old contents
// whole, nothing is left beside it, and a failure leaves the old file as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <atomic>
#include <fstream>
#include <thread>

#include "serve/atomic_file.hpp"
#include "cli/exit_status.hpp"
#include "kwotarv/tool_process.hpp"

namespace {

namespace fs = std::filesystem;
using kwotarv::WriteFileAtomically;

std::vector<std::string> Names(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(AtomicFile, ReplacesTheFileByRenameNotInPlace)
{
    tooltest::ScratchDir scratch;
    const std::string file = scratch.Path("kwotarv.prom");
    WriteFileAtomically(file, "old contents\n");
    EXPECT_EQ(tooltest::ReadText(file), "old contents\n");

    // A reader that opened the old file goes on reading the old inode to its end.
    std::ifstream reader(file, std::ios::binary);
    WriteFileAtomically(file, "new\n");
    std::string seen((std::istreambuf_iterator<char>(reader)), std::istreambuf_iterator<char>());
    EXPECT_EQ(seen, "old contents\n");
    EXPECT_EQ(tooltest::ReadText(file), "new\n");
    EXPECT_EQ(Names(scratch.Path("")), (std::vector<std::string>{"kwotarv.prom"}));
}

TEST(AtomicFile, FailureLeavesTheOldFileAndNoTemporary)
{
    tooltest::ScratchDir scratch;
    EXPECT_THROW(WriteFileAtomically(scratch.Path("missing/kwotarv.prom"), "x"),
                 kwotarv::ToolError);
    EXPECT_TRUE(Names(scratch.Path("")).empty());

    // The target is a directory: the rename fails, the temporary goes.
    fs::create_directory(scratch.Path("taken.prom"));
    fs::path inside = fs::path(scratch.Path("taken.prom")) / "keep";
    std::ofstream(inside) << "keep";
    try {
        WriteFileAtomically(scratch.Path("taken.prom"), "x");
        ADD_FAILURE() << "replacing a directory succeeded";
    } catch (const kwotarv::ToolError& error) {
        EXPECT_NE(std::string(error.what()).find("taken.prom"), std::string::npos);
    }
    EXPECT_EQ(Names(scratch.Path("")), (std::vector<std::string>{"taken.prom"}));
    EXPECT_EQ(tooltest::ReadText(inside.string()), "keep");
}

// A file replaced keeps its permissions.
TEST(AtomicFile, ReplacingKeepsTheMode)
{
    tooltest::ScratchDir scratch;
    const std::string file = scratch.Path("kwotarv.prom");
    for (const fs::perms mode : {fs::perms(0600), fs::perms(0640), fs::perms(0664)}) {
        WriteFileAtomically(file, "old\n");
        fs::permissions(file, mode);
        WriteFileAtomically(file, "new\n");
        EXPECT_EQ(fs::status(file).permissions(), mode);
    }
}

TEST(AtomicFile, AConcurrentReaderSeesOneWholeVersionOrTheOther)
{
    tooltest::ScratchDir scratch;
    const std::string file = scratch.Path("kwotarv.prom");
    const std::string a(200000, 'a');
    const std::string b(150000, 'b');
    WriteFileAtomically(file, a);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    std::thread reader([&] {
        while (!done) {
            const std::string seen = tooltest::ReadText(file);
            if (seen != a && seen != b)
                ++torn;
            ++reads;
        }
    });
    for (int i = 0; i < 200; ++i)
        WriteFileAtomically(file, i % 2 ? a : b);
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_GT(reads, 0);
    EXPECT_EQ(Names(scratch.Path("")), (std::vector<std::string>{"kwotarv.prom"}));
}

} // namespace
