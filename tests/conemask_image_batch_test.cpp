// SPDX-License-Identifier: MIT
// conemask-image on many photographs, end to end: the summary's rows, the
// masks left, and every file in the directory afterwards, for a batch that
// goes well and for each way one fails; and a batch ended by a signal.
// The photographs are PNGs made by ImageMagick from the example, whose mask
// conemask gives; without ImageMagick the cases are skipped with a note.

#include <poll.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "run_program.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace end_to_end;

const std::string convert = CONEMASK_CONVERT;

bool shell(const fs::path& dir, const std::string& command)
{
    return std::system(("cd '" + dir.string() + "' && " + command).c_str()) == 0;
}

// Every entry under `dir`, by its path there: "/" after a directory, "|"
// after a FIFO, "%" after a character device.
std::set<std::string> listing(const fs::path& dir)
{
    std::set<std::string> entries;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
        const std::string name = e.path().lexically_relative(dir).string();
        const fs::file_status status = e.symlink_status();
        entries.insert(name + (fs::is_directory(status)           ? "/"
                               : fs::is_fifo(status)              ? "|"
                               : fs::is_character_file(status)    ? "%"
                               : fs::is_symlink(status)           ? "@"
                                                                  : ""));
    }
    return entries;
}

// The photographs every case copies from: the example as a PNG (photo.png),
// four times its size (big.png), and tiny.png, six pixels whose samples
// for (255, 0, 0) within 0.5 above -1 are 0 (selected), 0, 0, 146, 73 and 1.
class photographs {
public:
    photographs()
    {
        std::string pattern = (fs::temp_directory_path() / "conemask-image-photos-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr || convert.empty()) {
            return;
        }
        dir = pattern;
        fs::copy_file(CONEMASK_EXAMPLES "/coffee.rgb", dir / "coffee.rgb");
        write_file(dir / "tiny.rgb", bytes("\x01\0\0\0\0\0\0\xFF\0\xFF\0\0\x80\0\0\x02\x01\0", 18));
        ready = shell(dir, convert + " -size 600x400 -depth 8 rgb:coffee.rgb photo.png") &&
                shell(dir, convert + " photo.png -scale 400% big.png") &&
                shell(dir, convert + " -size 3x2 -depth 8 rgb:tiny.rgb tiny.png") &&
                run_program(CONEMASK_PATH, dir, dir, {"180", "40", "15", "0.12", "10", "coffee", "400", "600"})
                        .status == 0;
        mask = read_file(dir / "coffee.raw");
    }
    photographs(const photographs&) = delete;
    photographs& operator=(const photographs&) = delete;
    ~photographs()
    {
        if (!dir.empty()) {
            fs::remove_all(dir);
        }
    }

    fs::path dir;
    bytes mask;  // photo.png's for the saucer
    bool ready = false;
};

const photographs& photos()
{
    static const photographs made;
    return made;
}

class batch_dir {
public:
    batch_dir()
    {
        std::string pattern = (fs::temp_directory_path() / "conemask-image-batch-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            root = pattern;
            dir = root / "work";
            fs::create_directory(dir);
        }
    }
    batch_dir(const batch_dir&) = delete;
    batch_dir& operator=(const batch_dir&) = delete;
    ~batch_dir()
    {
        (void)umount2((dir / "small").c_str(), MNT_DETACH);  // the full disk's, where one was mounted
        fs::remove_all(root);
    }
    // Runs `setup` in the work directory, $PHOTOS naming the photographs'.
    [[nodiscard]] bool set_up(const std::string& setup) const
    {
        return shell(dir, "PHOTOS='" + photos().dir.string() + "'; " + setup);
    }

    fs::path root, dir;
};

#define SKIP_WITHOUT_PHOTOGRAPHS()                                                           \
    if (!photos().ready) {                                                                   \
        GTEST_SKIP() << "note: ImageMagick's convert is not installed; skipped";              \
    }

const std::vector<std::string> saucer = {"180", "40", "15", "0.12", "10"};
const std::string saucer_columns = ",180,40,15,0.119999997,10";
const std::string photo_row = ",400,600,67073,27.947083,71.4690,131,ok" + saucer_columns;
const std::string big_row = ",1600,2400,1073168,27.947083,71.4690,131,ok" + saucer_columns;
const std::string tiny_row = ",2,3,0,0.000000,,,ok" + saucer_columns;  // none selected: no mean, no largest
const std::string header = "file,rows,cols,selected,share_percent,mean_sample,largest_sample,status,red,green,blue,theta,thresh";
const std::string refused = ": not a regular file; refused, so as not to replace it\n";

std::vector<std::string> with(std::vector<std::string> first, const std::vector<std::string>& rest = saucer)
{
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

struct batch_case {
    const char* name;
    std::string setup;  // sh, in the work directory
    std::vector<std::string> args;
    int status;
    std::string err;
    std::vector<std::string> summary;  // sum.csv's lines, header first; none: no sum.csv expected
    std::vector<std::string> masks;    // each the example's mask
    std::set<std::string> left;        // everything in the directory afterwards
    rlim_t file_size_limit = RLIM_INFINITY;
    std::string out = "";
};

const std::string copies = "cp \"$PHOTOS/photo.png\" a.png && cp a.png b.png && cp a.png c.png; ";

const batch_case batch_cases[] = {
    {"rows_in_command_line_order", "cp \"$PHOTOS/big.png\" \"$PHOTOS/tiny.png\" . && " + copies,
     with({"--jobs", "3", "--summary", "sum.csv", "--no-mask", "big.png", "a.png", "tiny.png", "b.png"}), 0, "",
     {header, "big.png" + big_row, "a.png" + photo_row, "tiny.png" + tiny_row, "b.png" + photo_row}, {},
     {"a.png", "b.png", "c.png", "big.png", "tiny.png", "sum.csv"}},
    {"damaged_photograph_in_the_middle", copies + "head -c 20000 a.png >bad.png",
     with({"--summary", "sum.csv", "a.png", "bad.png", "c.png"}), 1, "conemask-image: bad.png: PNG: the file ends early\n",
     {header, "a.png" + photo_row, "bad.png,,,,,,,PNG: the file ends early" + saucer_columns, "c.png" + photo_row},
     {"a.raw", "c.raw"}, {"a.png", "a.raw", "b.png", "bad.png", "c.png", "c.raw", "sum.csv"}},
    {"missing_photograph_then_others", copies, with({"--summary", "-", "gone.png", "a.png"}), 1,
     "conemask-image: gone.png: No such file or directory\n", {}, {"a.raw"}, {"a.png", "a.raw", "b.png", "c.png"},
     RLIM_INFINITY, header + "\r\ngone.png,,,,,,,No such file or directory" + saucer_columns + "\r\na.png" + photo_row + "\r\n"},
    {"names_needing_csv_quotes", copies + "cp a.png 'a,b.png' && cp a.png 'say \"hi\".png' && cp a.png \"$(printf 'two\\nlines.png')\"",
     with({"--no-mask", "--summary", "sum.csv", "a,b.png", "say \"hi\".png", "two\nlines.png"}), 0, "",
     {header, "\"a,b.png\"" + photo_row, "\"say \"\"hi\"\".png\"" + photo_row, "\"two\nlines.png\"" + photo_row}, {},
     {"a.png", "b.png", "c.png", "a,b.png", "say \"hi\".png", "two\nlines.png", "sum.csv"}},
    {"two_photographs_of_one_name", "mkdir a b out && cp \"$PHOTOS/photo.png\" a/x.png && cp a/x.png b/x.png",
     with({"--output-dir", "out", "--summary", "sum.csv", "a/x.png", "b/x.png"}), 1,
     "conemask-image: out/x.raw: the mask of a/x.png and the mask of b/x.png would be one file\n", {}, {},
     {"a/", "a/x.png", "b/", "b/x.png", "out/"}},
    {"one_name_as_jpeg_and_png", "cp \"$PHOTOS/photo.png\" x.png && cp x.png x.jpg", with({"x.png", "x.jpg"}), 1,
     "conemask-image: x.raw: the mask of x.png and the mask of x.jpg would be one file\n", {}, {}, {"x.jpg", "x.png"}},
    {"masks_and_pictures_in_an_output_dir", "mkdir out sub && cp \"$PHOTOS/photo.png\" a.png && cp a.png sub/b.png",
     with({"--output-dir", "out/", "--pictures", "a.png", "sub/b.png"}), 0, "", {}, {"out/a.raw", "out/b.raw"},
     {"a.png", "sub/", "sub/b.png", "out/", "out/a.raw", "out/a.mask.png", "out/b.raw", "out/b.mask.png"}},
    {"missing_output_dir", copies, with({"--output-dir", "nowhere", "a.png"}), 1,
     "conemask-image: nowhere: No such file or directory\n", {}, {}, {"a.png", "b.png", "c.png"}},
    {"full_disk", "mkdir small && mount -t tmpfs -o size=256k tmpfs small && " + copies,
     with({"--jobs", "1", "--output-dir", "small", "--summary", "sum.csv", "a.png", "b.png"}), 1,
     "conemask-image: small/a.raw: No space left on device\n", {}, {}, {"a.png", "b.png", "c.png", "small/"}},
    {"file_too_large", copies, with({"--jobs", "1", "--summary", "sum.csv", "a.png", "b.png"}), 1,
     "conemask-image: a.raw: File too large\n", {}, {}, {"a.png", "b.png", "c.png"}, 100000},
    {"output_a_device_node", copies + "mknod nulldev c 1 3", with({"--output", "nulldev", "a.png"}), 1,
     "conemask-image: nulldev" + refused, {}, {}, {"a.png", "b.png", "c.png", "nulldev%"}},
    {"output_a_fifo", copies + "mkfifo a.raw", with({"a.png", "b.png"}), 1, "conemask-image: a.raw" + refused, {}, {},
     {"a.png", "a.raw|", "b.png", "c.png"}},
    {"picture_a_fifo", copies + "mkfifo p.png", with({"--png", "p.png", "a.png"}), 1, "conemask-image: p.png" + refused,
     {}, {}, {"a.png", "b.png", "c.png", "p.png|"}},
    {"summary_written_into_a_device", copies + "mknod nulldev c 1 3", with({"--no-mask", "--summary", "nulldev", "a.png"}),
     0, "", {}, {}, {"a.png", "b.png", "c.png", "nulldev%"}},
    {"png_the_mask_by_another_path", copies, with({"--output", "M.raw", "--png", "./M.raw", "a.png"}), 1,
     "conemask-image: ./M.raw: the mask and its picture cannot be one file\n", {}, {}, {"a.png", "b.png", "c.png"}},
    {"png_a_hard_link_to_the_mask", copies + "echo old >M.raw && ln M.raw H.png",
     with({"--output", "M.raw", "--png", "H.png", "a.png"}), 1,
     "conemask-image: H.png: the mask and its picture cannot be one file\n", {}, {}, {"a.png", "b.png", "c.png", "M.raw", "H.png"}},
    {"png_a_symbolic_link_to_the_mask", copies + "echo old >M.raw && ln -s M.raw L.png",
     with({"--output", "M.raw", "--png", "L.png", "a.png"}), 1,
     "conemask-image: L.png: the mask and its picture cannot be one file\n", {}, {}, {"a.png", "b.png", "c.png", "M.raw", "L.png@"}},
    {"summary_replacing_a_photograph", copies, with({"--summary", "./b.png", "a.png", "b.png"}), 1,
     "conemask-image: ./b.png: the output would replace the image\n", {}, {}, {"a.png", "b.png", "c.png"}},
    {"negative_thresh_counts_selected_zero_samples", "cp \"$PHOTOS/tiny.png\" .",
     {"--summary", "sum.csv", "tiny.png", "255", "0", "0", "0.5", "-1"}, 0, "",
     {header, "tiny.png,2,3,4,66.666667,55.0000,146,ok,255,0,0,0.5,-1"}, {}, {"tiny.png", "tiny.raw", "sum.csv"}},
};

void PrintTo(const batch_case& c, std::ostream* out) { *out << c.name; }

class batch : public ::testing::TestWithParam<batch_case> {};

TEST_P(batch, writes_its_rows_and_masks)
{
    SKIP_WITHOUT_PHOTOGRAPHS();
    const batch_case& c = GetParam();
    const batch_dir d;
    if (!d.set_up(c.setup)) {
        GTEST_SKIP() << "note: cannot set up (" << c.setup << "): mknod and mount need root";
    }
    const run_result result = run_program(CONEMASK_IMAGE_PATH, d.dir, d.root, c.args, c.file_size_limit);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, c.out);
    if (!c.summary.empty()) {
        std::string expected;
        for (const std::string& line : c.summary) {
            expected += line + "\r\n";
        }
        EXPECT_EQ(read_file(d.dir / "sum.csv"), expected);
    }
    for (const std::string& mask : c.masks) {
        EXPECT_TRUE(read_file(d.dir / mask) == photos().mask) << mask << " is not the example's mask";
    }
    EXPECT_EQ(listing(d.dir), c.left);
}

INSTANTIATE_TEST_SUITE_P(rows, batch, ::testing::ValuesIn(batch_cases),
                         [](const ::testing::TestParamInfo<batch_case>& row) { return std::string(row.param.name); });

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
pid_t start(const fs::path& dir, std::vector<std::string> args)
{
    args.insert(args.begin(), CONEMASK_IMAGE_PATH);
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(dir.c_str()) != 0 || freopen("/dev/null", "w", stdout) == nullptr ||
            freopen("/dev/null", "w", stderr) == nullptr) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
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
    const batch_dir d;
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
    const batch_dir d;
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
