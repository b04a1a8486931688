// SPDX-License-Identifier: MIT
// End-to-end tests: each case runs the built conemask in a fresh temporary
// directory and checks its exit status, both output streams byte for byte,
// and every file in the directory afterwards.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "run_program.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

using namespace end_to_end;
// Every entry below a directory: a file's contents, "-> target" for a link,
// "<dir>" for a directory.
using snapshot = std::map<std::string, bytes>;

const std::string usage =
    "usage: conemask red green blue theta thresh basefilename rows cols\n"
    "Writes basefilename.raw, a 16-bit mask of the pixels of the rows x cols RGB raster\n"
    "basefilename.rgb whose colour lies within theta radians of (red, green, blue) and\n"
    "whose strength along that colour is above thresh.\n";

std::string echo_numbers(const std::string& a0, const std::string& a1, const std::string& a2,
                         const std::string& max_angle, const std::string& thresh)
{
    return "\na[0] = " + a0 + "\na[1] = " + a1 + "\na[2] = " + a2 + "\nmax_angle = " + max_angle +
           "\nthresh = " + thresh;
}

std::string echo_operands(const std::string& a0, const std::string& a1, const std::string& a2,
                          const std::string& max_angle, const std::string& thresh, const std::string& base)
{
    return echo_numbers(a0, a1, a2, max_angle, thresh) + "\ninput_base = " + base;
}

std::string echo_names(const std::string& base)
{
    return "\ninput_file_name = " + base + ".rgb\noutput_file_name = " + base + ".raw\n";
}

std::string report(const std::string& message)
{
    return "\n execution error\n" + message + ", \nexit code 1";
}

const std::string input_open_failure = "in main, cannot open data input file ";
const std::string output_open_failure = "in fprint_short_int_mat, cannot open data output file ";
const std::string read_failure = "error reading input file, probably file size error";
const std::string write_failure = "output file does not contain correct number of pixels";

snapshot take_snapshot(const fs::path& dir)
{
    snapshot entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(entry.path(), dir).string();
        if (entry.is_symlink()) {
            entries[name] = "-> " + fs::read_symlink(entry.path()).string();
        } else if (entry.is_fifo()) {
            entries[name] = "<fifo>";
        } else if (entry.is_directory()) {
            entries[name] = "<dir>";
        } else {
            entries[name] = read_file(entry.path());
        }
    }
    return entries;
}

// Runs conemask with `operands` in `dir`.
run_result run_conemask(const fs::path& dir, const fs::path& capture_dir, const std::vector<std::string>& operands,
                        rlim_t file_size_limit = RLIM_INFINITY)
{
    return run_program(CONEMASK_PATH, dir, capture_dir, operands, file_size_limit);
}

class conemask_run : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "conemask-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        dir = root / "work";
        fs::create_directory(dir);
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path root;
    fs::path dir;
};

bytes pixel(unsigned char red, unsigned char green, unsigned char blue) { return bytes{char(red), char(green), char(blue)}; }
bytes sample(int value) { return bytes{char(value & 0xFF), char((value >> 8) & 0xFF)}; }

bytes repeat(const bytes& unit, std::size_t times)
{
    bytes all;
    for (std::size_t i = 0; i < times; ++i) {
        all += unit;
    }
    return all;
}

// Reference green: one pixel of each kind of outcome.
const bytes six_pixels = pixel(0, 128, 0) + pixel(0, 0, 0) + pixel(255, 0, 0) + pixel(0, 255, 0) +
                         pixel(10, 200, 30) + pixel(0, 20, 0);
const bytes six_samples = sample(73) + sample(0) + sample(0) + sample(146) + sample(0) + sample(0);

// The operands of a run with reference green on "field".
std::vector<std::string> field(const std::string& rows, const std::string& cols)
{
    return {"0", "255", "0", "0.1", "20", "field", rows, cols};
}
const std::string field_echo = echo_operands("0", "255", "0", "0.100000", "20", "field") + echo_names("field");

using setup_fn = std::function<void(const fs::path&)>;
using change_fn = std::function<void(snapshot&)>;
// Works in the run's directory while the run goes on; the flag is set when it has ended.
using feeder_fn = std::function<void(const fs::path&, const std::atomic<bool>&)>;

struct run_case {
    const char* name;
    std::vector<std::string> operands;
    setup_fn setup;
    int status;
    std::string out;
    std::string err;
    // The directory afterwards, relative to what the setup left there.
    change_fn change;
    // The most bytes the run may write to any file, and a writer that feeds
    // a FIFO while the run reads it.
    rlim_t file_size_limit = RLIM_INFINITY;
    feeder_fn feeder = nullptr;
};

setup_fn files(std::map<std::string, bytes> contents)
{
    return [contents](const fs::path& dir) {
        for (const auto& [name, data] : contents) {
            write_file(dir / name, data);
        }
    };
}
const setup_fn field_input = files({{"field.rgb", six_pixels}});

change_fn output(const std::string& name, const bytes& data)
{
    return [name, data](snapshot& after) { after[name] = data; };
}
void unchanged(snapshot&) {}

// A complete run: `held` are the six echoed values; the input is
// `basefilename`.rgb, and the output `basefilename`.raw must hold `samples`.
run_case succeeds(const char* name, const std::vector<std::string>& operands, const std::vector<std::string>& held,
                  const bytes& input, const bytes& samples)
{
    const std::string& base = operands[5];
    return {name,
            operands,
            files({{base + ".rgb", input}}),
            0,
            echo_operands(held[0], held[1], held[2], held[3], held[4], held[5]) + echo_names(base),
            "",
            output(base + ".raw", samples)};
}

// A failure reported with `message` after `echo`.
run_case fails(const char* name, const std::vector<std::string>& operands, setup_fn setup, const std::string& message,
               change_fn change = unchanged, const std::string& echo = field_echo)
{
    return {name, operands, std::move(setup), 1, echo + report(message), report(message), std::move(change)};
}

setup_fn with_output(setup_fn setup, const std::function<void(const fs::path&)>& make_output)
{
    return [setup, make_output](const fs::path& dir) {
        setup(dir);
        make_output(dir / "field.raw");
    };
}

// Opens the FIFO for writing once the run has opened it for reading, writes
// `data` and closes it, so that the run sees the end of its input. The wait
// ends with the run, not at a time: an emulated or sanitized run on a loaded
// machine may take long to open it, and ctest's timeout ends a run that hangs.
void feed_fifo(const fs::path& fifo, const bytes& data, const std::atomic<bool>& run_ended)
{
    int fd = -1;
    while ((fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && errno == ENXIO && !run_ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_GE(fd, 0) << "the run ended without opening the FIFO, or it could not be opened: " << std::strerror(errno);
    const ssize_t written = write(fd, data.data(), data.size());
    EXPECT_EQ(close(fd), 0);
    ASSERT_EQ(written, static_cast<ssize_t>(data.size()));
}

run_case with_limits(run_case c, rlim_t file_size_limit, feeder_fn feeder = nullptr)
{
    c.file_size_limit = file_size_limit;
    c.feeder = std::move(feeder);
    return c;
}

const std::string too_long_number(100, '1');
const std::string odd_name = "my field \xc3\xa9\xff";
const std::vector<std::string> extreme = {"2147483647", "-2147483648", "2147483647"};
const std::vector<std::string> most_negative = {"-2147483648", "-2147483648", "-2147483648"};

std::vector<std::string> operands(std::vector<std::string> first, std::vector<std::string> rest)
{
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

const std::vector<run_case> run_cases = {
    {"seven operands", {"0", "255", "0", "0.1", "20", "field", "2"}, field_input, 1, usage, "", unchanged},
    {"nine operands", operands(field("2", "3"), {"4"}), field_input, 1, usage, "", unchanged},

    succeeds("complete run", field("2", "3"), {"0", "255", "0", "0.100000", "20", "field"}, six_pixels, six_samples),
    succeeds("input longer than the raster", field("1", "3"), {"0", "255", "0", "0.100000", "20", "field"},
             six_pixels + six_pixels, six_samples.substr(0, 6)),
    {"earlier output is replaced", field("3", "2"), files({{"field.rgb", six_pixels}, {"field.raw", bytes(100, 'x')}}),
     0, field_echo, "", output("field.raw", six_samples)},
    succeeds("lenient numbers", {"12abc", "abc", " -7", "xyz", "4294967297", "q", "0", "5"},
             {"12", "0", "-7", "0.000000", "1", "q"}, "", ""),
    succeeds("negative columns", {"1", "2", "3", "1", "0", "q", "5", "-3"}, {"1", "2", "3", "1.000000", "0", "q"}, "",
             ""),
    succeeds("thresh above 127 is held whole", {"0", "255", "0", "0.1", "200", "t", "1", "1"},
             {"0", "255", "0", "0.100000", "200", "t"}, pixel(0, 255, 0), sample(0)),
    succeeds("thresh just below the projection", {"0", "255", "0", "0.1", "145", "t", "1", "1"},
             {"0", "255", "0", "0.100000", "145", "t"}, pixel(0, 255, 0), sample(146)),
    succeeds("negative sample", {"-1", "0", "0", "3.2", "-128", "n", "1", "2"}, {"-1", "0", "0", "3.200000", "-128", "n"},
             pixel(222, 0, 0) + pixel(0, 0, 0), "\x81\xFF" + sample(0)),
    succeeds("theta nan selects nothing", {"0", "255", "0", "nan", "0", "f", "1", "1"},
             {"0", "255", "0", "nan", "0", "f"}, pixel(0, 255, 0), sample(0)),
    succeeds("grey reference keeps white", {"1", "1", "1", "0.01", "0", "w", "1", "1"},
             {"1", "1", "1", "0.010000", "0", "w"}, pixel(255, 255, 255), sample(253)),
    succeeds("empty base name", {"0", "255", "0", "0.1", "20", "", "2", "3"}, {"0", "255", "0", "0.100000", "20", ""},
             six_pixels, six_samples),
    succeeds("names with spaces and other bytes", {"0", "255", "0", "0.1", "20", odd_name, "2", "3"},
             {"0", "255", "0", "0.100000", "20", odd_name}, six_pixels, six_samples),
    succeeds("longest numeric operand", field(std::string(98, '0') + "2", "3"),
             {"0", "255", "0", "0.100000", "20", "field"}, six_pixels, six_samples),
    succeeds("extreme reference, theta inf", operands(extreme, {"inf", "0", "x", "1", "2"}),
             operands(extreme, {"inf", "0", "x"}), pixel(255, 0, 255) + pixel(0, 0, 0), sample(168) + sample(0)),
    succeeds("extreme reference, theta -inf", operands(extreme, {"-inf", "0", "x", "1", "1"}),
             operands(extreme, {"-inf", "0", "x"}), pixel(255, 0, 255), sample(0)),
    succeeds("extreme reference, theta denormal", operands(extreme, {"1e-45", "0", "x", "1", "1"}),
             operands(extreme, {"0.000000", "0", "x"}), pixel(255, 0, 255), sample(0)),
    succeeds("extreme negative reference and thresh", operands(most_negative, {"3.2", "-2147483648", "x", "1", "1"}),
             operands(most_negative, {"3.200000", "-2147483648", "x"}), pixel(255, 255, 255), sample(-253)),

    fails("missing input leaves an earlier output", field("2", "3"), files({{"field.raw", "keep"}}),
          input_open_failure),
    fails("missing input with no pixels", field("0", "3"), files({}), input_open_failure),
    fails("input is a directory", field("2", "3"), [](const fs::path& d) { fs::create_directory(d / "field.rgb"); },
          input_open_failure),
    fails("output is a directory", field("2", "3"),
          with_output(field_input, [](const fs::path& raw) { fs::create_directory(raw); }), output_open_failure),
    fails("output is a symbolic link to the input", field("2", "3"),
          with_output(field_input, [](const fs::path& raw) { fs::create_symlink("field.rgb", raw); }),
          "output file is the input file"),
    fails("output is a hard link to the input", field("2", "3"),
          with_output(field_input, [](const fs::path& raw) { fs::create_hard_link(raw.parent_path() / "field.rgb", raw); }),
          "output file is the input file"),
    fails("input one byte short", field("2", "3"), files({{"field.rgb", six_pixels.substr(0, 17)}}), read_failure,
          output("field.raw", six_samples.substr(0, 10))),
    fails("input short past the first block", field("2", "32769"),
          files({{"field.rgb", repeat(pixel(0, 255, 0), 65538).substr(0, 3 * 65538 - 1)}}), read_failure,
          output("field.raw", repeat(sample(146), 65537))),
    fails("rows times cols beyond 2^32 is not wrapped", field("65536", "65537"),
          files({{"field.rgb", repeat(pixel(0, 255, 0), 65536)}}), read_failure,
          output("field.raw", repeat(sample(146), 65536))),
    with_limits(fails("input is a FIFO that ends early", field("2", "3"),
                      [](const fs::path& d) { ASSERT_EQ(mkfifo((d / "field.rgb").c_str(), 0600), 0); }, read_failure,
                      output("field.raw", six_samples.substr(0, 6))),
                RLIM_INFINITY, [](const fs::path& d, const std::atomic<bool>& run_ended) {
                    feed_fifo(d / "field.rgb", six_pixels.substr(0, 10), run_ended);
                }),
    fails("full disk at the close", field("1", "3"),
          with_output(field_input, [](const fs::path& raw) { fs::create_symlink("/dev/full", raw); }), write_failure),
    fails("full disk at the first block", field("300", "1000"),
          with_output(files({{"field.rgb", bytes(900000, '\x7f')}}),
                      [](const fs::path& raw) { fs::create_symlink("/dev/full", raw); }),
          write_failure),
    with_limits(fails("file size limit at a later block", field("2", "50000"),
                      files({{"field.rgb", repeat(pixel(0, 255, 0), 100000)}}), write_failure,
                      output("field.raw", repeat(sample(146), 50000))),
                100000),
    fails("numeric operand too long", field("2", too_long_number),
          files({{"field.rgb", six_pixels}, {"field.raw", "keep"}}), "numeric operand too long", unchanged,
          echo_operands("0", "255", "0", "0.100000", "20", "field")),
    fails("angle operand too long", {"0", "255", "0", too_long_number, "20", "field", "2", "3"}, field_input,
          "numeric operand too long", unchanged, "\na[0] = 0\na[1] = 255\na[2] = 0"),
    fails("base name too long", {"0", "255", "0", "0.1", "20", std::string(296, 'b'), "2", "3"}, files({}),
          "base file name too long", unchanged, echo_numbers("0", "255", "0", "0.100000", "20")),
};

// Each row of the table a test of its own, named after the row.
class conemask_rows : public conemask_run, public ::testing::WithParamInterface<run_case> {};

TEST_P(conemask_rows, behaves_as_stated)
{
    const run_case& c = GetParam();
    c.setup(dir);
    snapshot expected = take_snapshot(dir);
    c.change(expected);

    std::thread feeder;
    std::atomic<bool> run_ended = false;
    if (c.feeder) {
        feeder = std::thread(c.feeder, dir, std::cref(run_ended));
    }
    const run_result result = run_conemask(dir, root, c.operands, c.file_size_limit);
    run_ended = true;
    if (feeder.joinable()) {
        feeder.join();
    }
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(take_snapshot(dir), expected);
}

// A row's name as GoogleTest takes it: letters, digits and underscores.
std::string row_name(const ::testing::TestParamInfo<run_case>& row)
{
    return test_name(row.param.name);
}

INSTANTIATE_TEST_SUITE_P(table, conemask_rows, ::testing::ValuesIn(run_cases), row_name);

// The longest base name: 295 characters through nested directories, since a
// single name of that length exceeds what a file system allows.
TEST_F(conemask_run, accepts_the_longest_base_name)
{
    const std::string part(48, 'd');
    std::string base = part + "/" + part + "/" + part + "/" + part + "/" + part + "/";
    base += std::string(295 - base.size(), 'f');
    ASSERT_EQ(base.size(), 295U);
    fs::create_directories(dir / fs::path(base).parent_path());
    write_file(dir / (base + ".rgb"), six_pixels);

    const run_result result = run_conemask(dir, root, {"0", "255", "0", "0.1", "20", base, "2", "3"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, echo_operands("0", "255", "0", "0.100000", "20", base) + echo_names(base));
    EXPECT_EQ(read_file(dir / (base + ".raw")), six_samples);
}

}  // namespace
