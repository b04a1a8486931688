// SPDX-License-Identifier: MIT
// conemask-image's batch ended by a signal, and its progress on a terminal,
// end to end, on the photographs of image_run_fixture.hpp.

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "image_run_fixture.hpp"

#include <chrono>
#include <csignal>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace image_run;

// A batch ended by a signal in its middle: the process ends by that signal,
// the masks finished stay whole, and no temporary file or summary is left.
struct signal_case {
    const char* name;
    int signal;
};

const signal_case signal_cases[] = {{"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP}};

void PrintTo(const signal_case& c, std::ostream* out) { *out << c.name; }

class interrupted : public ::testing::TestWithParam<signal_case> {};

constexpr int photograph_count = 30;

// Starts conemask-image in `dir`, its streams to /dev/null.
pid_t start(const fs::path& dir, const std::vector<std::string>& args)
{
    return start_program(CONEMASK_IMAGE_PATH, dir, args, "/dev/null", "/dev/null");
}

std::size_t count_masks(const fs::path& dir)
{
    std::size_t count = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
        count += e.path().extension() == ".raw" ? 1U : 0U;
    }
    return count;
}

TEST_P(interrupted, leaves_finished_masks_and_no_temporary)
{
    SKIP_WITHOUT_PHOTOGRAPHS();
    const work_dir d;
    std::vector<std::string> args = {"--jobs", "2", "--summary", "sum.csv"};
    std::set<std::string> photographs;
    for (int i = 0; i < photograph_count; ++i) {
        std::string name = std::to_string(i);
        name.insert(0, 1, 'p').append(".png");
        fs::copy_file(photos().dir / "big.png", d.dir / name);
        args.push_back(name);
        photographs.insert(name);
    }
    const run_result first = run_program(CONEMASK_IMAGE_PATH, d.dir, d.root, with({"p0.png"}));
    ASSERT_EQ(first.status, 0);
    const bytes mask = read_file(d.dir / "p0.raw");
    fs::remove(d.dir / "p0.raw");

    const pid_t child = start(d.dir, with(args));
    ASSERT_GT(child, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (count_masks(d.dir) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    (void)kill(child, GetParam().signal);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "ended with status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), GetParam().signal);

    std::size_t masks = 0;
    for (const std::string& name : listing(d.dir)) {
        if (photographs.count(name) == 1) {
            continue;
        }
        ASSERT_EQ(fs::path(name).extension(), ".raw") << name << " left behind";
        EXPECT_TRUE(read_file(d.dir / name) == mask) << name << " is not whole";
        ++masks;
    }
    EXPECT_GE(masks, 1U);
    EXPECT_LT(masks, std::size_t{photograph_count}) << "the signal came after the end";
}

INSTANTIATE_TEST_SUITE_P(signals, interrupted, ::testing::ValuesIn(signal_cases),
                         [](const ::testing::TestParamInfo<signal_case>& row) { return std::string(row.param.name); });

// Progress is drawn on a terminal, for a batch: standard error a pseudo
// terminal here. Everywhere else (every case above) standard error holds only
// the messages.
struct terminal_case {
    const char* name;
    std::vector<std::string> photographs;
    std::vector<std::string> drawn;  // what the terminal shows, in part
};

const terminal_case terminal_cases[] = {
    // A terminal ends a line in CR LF.
    {"batch", {"a.png", "b.png", "c.png"}, {"\r3/3 photographs, ", " a second, ", " s left\033[K\r\n"}},
    {"one_photograph", {"a.png"}, {}},
};

void PrintTo(const terminal_case& c, std::ostream* out) { *out << c.name; }

class on_a_terminal : public ::testing::TestWithParam<terminal_case> {};

// Runs conemask-image in `dir` with standard error on a new pseudo terminal
// and returns what it drew there, or "<failed>".
std::string run_on_terminal(const fs::path& dir, std::vector<std::string> args)
{
    int terminal = -1;
    int device = -1;
    if (openpty(&terminal, &device, nullptr, nullptr, nullptr) != 0) {
        return "<failed>";
    }
    const pid_t child = fork();
    if (child == 0) {
        close(terminal);
        args.insert(args.begin(), CONEMASK_IMAGE_PATH);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        if (dup2(device, STDERR_FILENO) < 0 || chdir(dir.c_str()) != 0 ||
            freopen("/dev/null", "w", stdout) == nullptr) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(device);
    std::string drawn;
    pollfd ready{terminal, POLLIN, 0};
    char buffer[512];
    // The terminal reads EIO once the child, its last user, has ended.
    while (poll(&ready, 1, 60000) == 1) {
        const ssize_t got = read(terminal, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        drawn.append(buffer, static_cast<std::size_t>(got));
    }
    (void)kill(child, SIGKILL);  // ended already, unless the poll timed out
    int status = 0;
    close(terminal);
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? drawn : "<failed>";
}

TEST_P(on_a_terminal, shows_progress_for_a_batch)
{
    SKIP_WITHOUT_PHOTOGRAPHS();
    const terminal_case& c = GetParam();
    const work_dir d;
    ASSERT_TRUE(d.set_up(copies));
    const std::string drawn = run_on_terminal(d.dir, with(with({"--summary", "sum.csv"}, c.photographs)));
    ASSERT_NE(drawn, "<failed>");
    for (const std::string& part : c.drawn) {
        EXPECT_NE(drawn.find(part), std::string::npos) << "no " << part << " in " << drawn;
    }
    if (c.drawn.empty()) {
        EXPECT_EQ(drawn, "");
    }
    EXPECT_EQ(read_file(d.dir / "sum.csv").find('\033'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(progress, on_a_terminal, ::testing::ValuesIn(terminal_cases),
                         [](const ::testing::TestParamInfo<terminal_case>& row) { return std::string(row.param.name); });

}  // namespace
