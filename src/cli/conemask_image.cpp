// SPDX-License-Identifier: MIT
// conemask-image: conemask for photographs. Decodes each JPEG or PNG a band
// of rows at a time, classifies each band as conemask does, and writes the
// mask (and, asked, its picture as a PNG) under temporary names that are
// renamed only once complete; a summary row for each photograph, asked.
//
// This file: the outputs planned and checked before anything is written, and
// the signals that end a run without leaving a temporary file behind.

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "image_batch.hpp"
#include "image_command_line.hpp"
#include "posix_io.hpp"

namespace {

using namespace conemask;

[[noreturn]] void fail(const std::string& text)
{
    report(text);
    std::exit(failure_status);
}

std::vector<planned_photograph> plan_outputs(const image_settings& s)
{
    std::vector<planned_photograph> plan;
    for (const std::string& photograph : s.photographs) {
        planned_photograph p{photograph, "", ""};
        if (s.masks) {
            p.mask = s.mask.empty() ? mask_name(photograph, s.output_dir) : s.mask;
            p.picture = s.pictures ? picture_name(p.mask) : s.picture;
        }
        plan.push_back(p);
    }
    return plan;
}

// An output, and what it is to say so in a message.
struct planned_output {
    std::string name;
    std::string role;  // "mask", "picture" or "summary"
    std::string photograph;
    file_identity identity;
    bool identified = false;
};

std::string describe(const planned_output& o) { return o.role == "summary" ? "the summary" : "the " + o.role + " of " + o.photograph; }

// Refuses, before anything is written, an output that would replace a
// photograph, that another output names too (through another spelling or a
// link: files are compared, not names), or that exists and is not a regular
// file, which renaming a new file over would replace. The summary is written
// in place into such a file instead.
void check_outputs(const image_settings& s, const std::vector<planned_photograph>& plan)
{
    if (!s.output_dir.empty()) {
        struct stat status {};
        if (stat(s.output_dir.c_str(), &status) != 0) {
            fail(s.output_dir + ": " + std::strerror(errno));
        }
        if (!S_ISDIR(status.st_mode)) {
            fail(s.output_dir + ": not a directory");
        }
    }
    std::vector<file_identity> photographs;
    for (const planned_photograph& p : plan) {
        struct stat status {};
        if (stat(p.photograph.c_str(), &status) == 0) {
            photographs.push_back({status.st_dev, status.st_ino, ""});
        }
    }
    std::vector<planned_output> outputs;
    for (const planned_photograph& p : plan) {
        for (const auto& [name, role] : {std::pair{p.mask, "mask"}, std::pair{p.picture, "picture"}}) {
            if (!name.empty()) {
                outputs.push_back({name, role, p.photograph, {}, false});
            }
        }
    }
    if (!s.summary.empty() && s.summary != "-") {
        outputs.push_back({s.summary, "summary", "", {}, false});
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        planned_output& o = outputs[i];
        try {
            o.identity = identify(o.name);
            o.identified = true;
        } catch (const io_error&) {
            // Its folder is missing: it meets no other file, and making it
            // fails in its turn (a missing photograph's, with its row).
            continue;
        }
        if (std::find(photographs.begin(), photographs.end(), o.identity) != photographs.end()) {
            fail(o.name + ": the output would replace the image");
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (!outputs[j].identified || outputs[j].identity != o.identity) {
                continue;
            }
            if (s.photographs.size() == 1 && o.role == "picture" && outputs[j].role == "mask") {
                fail(o.name + ": the mask and its picture cannot be one file");
            }
            fail(o.name + ": " + describe(outputs[j]) + " and " + describe(o) + " would be one file");
        }
        if (o.role != "summary" && exists_but_not_regular(o.name)) {
            fail(o.name + ": not a regular file; refused, so as not to replace it");
        }
    }
}

// The summary's destination, opened before any photograph is read: a
// destination that cannot be written stops the run before it starts.
void open_summary(const image_settings& s, summary_sink& sink)
{
    sink.name = s.summary;
    if (s.summary.empty()) {
        return;
    }
    if (s.summary == "-") {
        sink.fd = STDOUT_FILENO;
        sink.name = "standard output";
        return;
    }
    try {
        if (exists_but_not_regular(s.summary)) {
            sink.in_place_fd = open(s.summary.c_str(), O_WRONLY | O_CLOEXEC);
            if (sink.in_place_fd < 0) {
                throw io_error(s.summary, std::strerror(errno));
            }
            sink.fd = sink.in_place_fd;
        } else {
            sink.staged = std::make_unique<staged_output>(s.summary);
            sink.fd = sink.staged->fd();
        }
    } catch (const io_error& e) {
        fail(e.what());
    }
}

// The signals that end a run wait for a thread of their own, which removes
// every temporary file and then ends the process by the same signal. Blocked
// before any other thread starts, so that every thread inherits the mask.
// SIGPIPE and SIGXFSZ are blocked too: a closed pipe or a file past its size
// limit is then a write error, reported, and the temporaries removed.
void handle_ending_signals()
{
    sigset_t ending;
    sigemptyset(&ending);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&ending, signal);
    }
    sigset_t blocked = ending;
    sigaddset(&blocked, SIGPIPE);
    sigaddset(&blocked, SIGXFSZ);
    if (pthread_sigmask(SIG_BLOCK, &blocked, nullptr) != 0) {
        fail("cannot block signals");
    }
    std::thread([ending] {
        int signal = 0;
        if (sigwait(&ending, &signal) != 0) {
            return;
        }
        abandon_staged_outputs();
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal);
        (void)std::signal(signal, SIG_DFL);
        (void)pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        (void)raise(signal);
        std::_Exit(128 + signal);  // only if the signal did not end the process
    }).detach();
}

}  // namespace

int main(int argc, char** argv)
{
    const image_settings settings = read_command_line(argc, argv);
    const std::vector<planned_photograph> plan = plan_outputs(settings);
    check_outputs(settings, plan);
    handle_ending_signals();
    summary_sink summary;
    open_summary(settings, summary);
    return run_batch(settings, plan, summary);
}
