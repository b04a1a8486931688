// SPDX-License-Identifier: MIT
#include "image_command_line.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "conemask/operands.hpp"

namespace conemask {

namespace {

constexpr std::size_t operand_count = 5;  // after the photographs
constexpr const char* program = "conemask-image";
constexpr const char* usage_text =
    "usage: conemask-image [--output MASK.raw] [--png MASK.png] IMAGE RED GREEN BLUE THETA THRESH\n"
    "       conemask-image [--output-dir DIR] [--pictures] [--summary FILE.csv [--no-mask]] [--jobs N]\n"
    "                      IMAGE... RED GREEN BLUE THETA THRESH\n"
    "Writes a 16-bit mask of the pixels of each JPEG or PNG photograph IMAGE whose colour\n"
    "lies within THETA radians of (RED, GREEN, BLUE) and whose strength along that colour\n"
    "is above THRESH: the bytes conemask writes for the photograph's RGB raster.\n"
    "\n"
    "  --output MASK.raw   the mask's name, for one photograph (default: IMAGE's, with\n"
    "                      .raw for its extension, beside it)\n"
    "  --png MASK.png      also draw the mask as an 8-bit grey picture, 253 as white,\n"
    "                      for one photograph\n"
    "  --output-dir DIR    write the masks in DIR, under their photographs' names\n"
    "  --pictures          also draw each mask's picture, NAME.mask.png beside NAME.raw\n"
    "  --summary FILE.csv  one CSV row a photograph: its pixels selected, their share,\n"
    "                      mean and largest sample, and its status ('-': standard output)\n"
    "  --no-mask           write the summary alone, no mask\n"
    "  --jobs N            photographs masked at once (default: the processors this\n"
    "                      process may use)\n"
    "  --help              print this text\n"
    "  --version           print the version\n";

[[noreturn]] void usage_error(const std::string& message)
{
    (void)std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, message.c_str(), program);
    std::exit(usage_status);
}

[[noreturn]] void print_and_end(const char* text)
{
    (void)std::fputs(text, stdout);
    std::exit(std::fflush(stdout) == 0 ? success_status : failure_status);
}

std::int32_t integer_operand(const char* text)
{
    std::int32_t value = 0;
    if (!convert_integer(text, value)) {
        usage_error("numeric operand too long");
    }
    return value;
}

std::size_t processors_available()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return 1;
    }
    return static_cast<std::size_t>(std::max(1, CPU_COUNT(&set)));
}

std::size_t jobs_of(const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || value == 0 ||
        value > 1024) {
        usage_error("--jobs takes a whole number from 1 to 1024, not '" + text + "'");
    }
    return static_cast<std::size_t>(value);
}

// The option of that name that takes a file name, or null.
std::string image_settings::*named_file(const std::string& name)
{
    return name == "--output"       ? &image_settings::mask
           : name == "--png"        ? &image_settings::picture
           : name == "--output-dir" ? &image_settings::output_dir
           : name == "--summary"    ? &image_settings::summary
                                    : nullptr;
}

// Rules between options, once all are read.
void check_combinations(const image_settings& s)
{
    const std::size_t count = s.photographs.size();
    if (count > 1 && (!s.mask.empty() || !s.picture.empty())) {
        usage_error("--output and --png name one photograph's files; for " + std::to_string(count) +
                    " use --output-dir and --pictures");
    }
    if (!s.output_dir.empty() && !s.mask.empty()) {
        usage_error("--output and --output-dir cannot be given together");
    }
    if (s.pictures && !s.picture.empty()) {
        usage_error("--png and --pictures cannot be given together");
    }
    if (!s.masks && (s.summary.empty() || !s.mask.empty() || !s.picture.empty() || !s.output_dir.empty() ||
                     s.pictures)) {
        usage_error("--no-mask needs --summary and writes no mask or picture");
    }
}

}  // namespace

std::string mask_name(const std::string& photograph, const std::string& output_dir)
{
    const std::size_t slash = photograph.rfind('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = photograph.rfind('.');
    // A leading dot starts a name, not an extension.
    const bool has_extension = dot != std::string::npos && dot > start;
    const std::string stem = has_extension ? photograph.substr(0, dot) : photograph;
    if (output_dir.empty()) {
        return stem + ".raw";
    }
    const bool ends_in_slash = output_dir.back() == '/';
    return output_dir + (ends_in_slash ? "" : "/") + stem.substr(start) + ".raw";
}

std::string picture_name(const std::string& mask) { return mask.substr(0, mask.size() - 4) + ".mask.png"; }

// Options may come before, between or after the operands; "--" ends them.
// A lone "-" or a negative number such as "-1" is an operand.
image_settings read_command_line(int argc, char** argv)
{
    image_settings s;
    std::vector<const char*> operands;
    std::map<std::string, int> given;
    std::string jobs;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_end || arg.rfind("--", 0) != 0) {
            operands.push_back(argv[i]);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        if (arg == "--help") {
            print_and_end(usage_text);
        }
        if (arg == "--version") {
            const std::string text = std::string(program) + " " + CONEMASK_VERSION + "\n";
            print_and_end(text.c_str());
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const bool flag = name == "--pictures" || name == "--no-mask";
        if (!flag && name != "--jobs" && named_file(name) == nullptr) {
            usage_error("unknown option '" + name + "'");
        }
        if (++given[name] > 1) {
            usage_error("option '" + name + "' given twice");
        }
        if (flag) {
            if (equals != std::string::npos) {
                usage_error("option '" + name + "' takes no value");
            }
            (name == "--pictures" ? s.pictures : s.masks) = name == "--pictures";
            continue;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        }
        if (value.empty()) {
            usage_error("option '" + name + "' needs " + (name == "--jobs" ? "a number" : "a file name"));
        }
        std::string image_settings::*const member = named_file(name);
        (member == nullptr ? jobs : s.*member) = value;
    }
    if (operands.size() < operand_count + 1) {
        usage_error("expected IMAGE... RED GREEN BLUE THETA THRESH, got " + std::to_string(operands.size()) +
                    " operands");
    }
    const std::size_t first = operands.size() - operand_count;
    s.photographs.assign(operands.begin(), operands.begin() + static_cast<std::ptrdiff_t>(first));
    for (std::size_t i = 0; i < s.operands.reference.size(); ++i) {
        s.operands.reference[i] = integer_operand(operands[first + i]);
    }
    if (!convert_angle(operands[first + 3], s.operands.max_angle)) {
        usage_error("numeric operand too long");
    }
    s.operands.thresh = integer_operand(operands[first + 4]);
    check_combinations(s);
    const std::size_t processors = processors_available();
    s.jobs = std::min(jobs.empty() ? processors : jobs_of(jobs), s.photographs.size());
    s.decode_ahead = s.jobs < processors;
    return s;
}

}  // namespace conemask
