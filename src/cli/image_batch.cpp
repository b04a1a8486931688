// SPDX-License-Identifier: MIT
#include "image_batch.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "conemask/classify.hpp"
#include "photograph_pass.hpp"

namespace conemask {

namespace {

using clock_type = std::chrono::steady_clock;

// Standard error, shared by the workers and the progress line: a message
// first clears the line, which is drawn again at the next update.
class error_stream {
public:
    void message(const std::string& text)
    {
        const std::lock_guard<std::mutex> hold(lock_);
        const std::string line = (drawn_ ? "\r\033[K" : "") + std::string("conemask-image: ") + text + "\n";
        drawn_ = false;
        (void)std::fputs(line.c_str(), stderr);  // nowhere to report a failure to write to stderr
    }

    // Done and total, photographs a second, time left: on a terminal only.
    void progress(std::size_t done, std::size_t total, clock_type::time_point start, bool last)
    {
        if (!terminal_ || total < 2) {
            return;
        }
        const std::lock_guard<std::mutex> hold(lock_);
        const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
        const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
        char line[160];
        if (done > 0 && rate > 0) {
            (void)std::snprintf(line, sizeof line, "\r%zu/%zu photographs, %.1f a second, %.0f s left\033[K%s", done,
                                total, rate, static_cast<double>(total - done) / rate, last ? "\n" : "");
        } else {
            (void)std::snprintf(line, sizeof line, "\r%zu/%zu photographs\033[K%s", done, total, last ? "\n" : "");
        }
        drawn_ = !last;
        (void)std::fputs(line, stderr);
    }

private:
    std::mutex lock_;
    bool terminal_ = isatty(STDERR_FILENO) == 1;
    bool drawn_ = false;
};

error_stream& errors()
{
    static error_stream stream;
    return stream;
}

// The state the workers share with the thread that writes the rows.
struct batch_state {
    batch_state(std::size_t count, const pass_mode& how) : mode(how), rows(count), done(count, false) {}

    pass_mode mode;
    std::vector<summary_row> rows;
    std::vector<bool> done;  // under `lock`
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::optional<std::string> fatal;  // the output that stopped the batch; under `lock`
    std::mutex lock;
    std::condition_variable finished;
};

// One photograph: its outputs staged, the pass, then the picture committed
// before the mask, so that a failure between the two leaves a new picture
// beside an old mask, never a mask without its picture.
void mask_one(const planned_photograph& p, const cone& cone, const mask_operands& operands, summary_row& row,
              const pass_mode& mode, const std::atomic<bool>& stop)
{
    opened_photograph photo = open_for_pass(p.photograph);
    const displayed_size size = size_as_displayed(*photo.decoder);
    std::unique_ptr<staged_output> mask;
    std::unique_ptr<staged_output> picture;
    if (!p.mask.empty()) {
        mask = std::make_unique<staged_output>(p.mask);
    }
    if (!p.picture.empty()) {
        picture = std::make_unique<staged_output>(p.picture);
    }
    row.tally = run_pass(*photo.decoder, cone, operands, {mask.get(), picture.get()}, mode, stop);
    if (picture) {
        picture->commit();
    }
    if (mask) {
        mask->commit();
    }
    row.rows = size.rows;
    row.cols = size.cols;
    row.status = "ok";
}

void work(const std::vector<planned_photograph>& plan, const cone& cone, const mask_operands& operands,
          batch_state& state)
{
    for (std::size_t i = state.next++; i < plan.size() && !state.stop; i = state.next++) {
        summary_row& row = state.rows[i];
        row.file = plan[i].photograph;
        std::optional<std::string> fatal;
        try {
            mask_one(plan[i], cone, operands, row, state.mode, state.stop);
        } catch (const photograph_error& e) {
            row.status = e.what();
            errors().message(plan[i].photograph + ": " + e.what());
        } catch (const io_error& e) {
            fatal = e.what();
        } catch (const batch_stopped&) {
            return;
        } catch (const std::exception& e) {
            // Not the photograph's fault (memory, threads): nothing else would fare better.
            fatal = plan[i].photograph + ": " + e.what();
        }
        const std::lock_guard<std::mutex> hold(state.lock);
        state.done[i] = !fatal;
        if (fatal && !state.fatal) {
            state.fatal = fatal;
            state.stop = true;
        }
        state.finished.notify_all();
    }
}

// Writes the rows finished since the last call, in order; returns how many
// are written in all. Throws io_error.
std::size_t write_ready_rows(batch_state& state, std::size_t written, const mask_operands& operands,
                             const summary_sink& summary)
{
    std::string lines;
    {
        const std::lock_guard<std::mutex> hold(state.lock);
        while (written < state.done.size() && state.done[written]) {
            lines += summary_line(state.rows[written], operands);
            ++written;
        }
    }
    if (summary.fd >= 0 && !lines.empty()) {
        write_all(summary.fd, lines.data(), lines.size(), summary.name);
    }
    return written;
}

// The header, then each row once every row before it is written, until the
// last or a fatal failure. Throws io_error.
void write_rows_as_they_finish(batch_state& state, const mask_operands& operands, const summary_sink& summary,
                               clock_type::time_point start)
{
    if (summary.fd >= 0) {
        const std::string header = summary_header();
        write_all(summary.fd, header.data(), header.size(), summary.name);
    }
    const std::size_t count = state.rows.size();
    for (std::size_t written = 0; written < count;) {
        {
            std::unique_lock<std::mutex> hold(state.lock);
            // Woken by a finished photograph; else now and then, to keep the time left fresh.
            (void)state.finished.wait_for(hold, std::chrono::milliseconds(500),
                                          [&] { return state.fatal || state.done[written]; });
            if (state.fatal) {
                return;
            }
        }
        written = write_ready_rows(state, written, operands, summary);
        errors().progress(written, count, start, written == count);
    }
}

void close_summary(summary_sink& summary)
{
    if (summary.staged) {
        summary.staged->commit();
    } else if (summary.in_place_fd >= 0 && close(std::exchange(summary.in_place_fd, -1)) != 0) {
        throw io_error(summary.name, std::strerror(errno));
    }
}

}  // namespace

void report(const std::string& text) { errors().message(text); }

int run_batch(const image_settings& settings, const std::vector<planned_photograph>& plan, summary_sink& summary)
{
    const mask_operands& operands = settings.operands;
    const cone cone = make_cone(operands.reference, operands.max_angle, operands.thresh);
    batch_state state(plan.size(), {.decode_ahead = settings.decode_ahead, .tally = summary.fd >= 0});
    const clock_type::time_point start = clock_type::now();
    std::vector<std::thread> workers;
    for (std::size_t j = 0; j < settings.jobs; ++j) {
        workers.emplace_back([&] { work(plan, cone, operands, state); });
    }
    try {
        write_rows_as_they_finish(state, operands, summary, start);
    } catch (const io_error& e) {
        const std::lock_guard<std::mutex> hold(state.lock);
        state.fatal = state.fatal.value_or(e.what());
        state.stop = true;
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    try {
        if (!state.fatal) {
            close_summary(summary);
        }
    } catch (const io_error& e) {
        state.fatal = e.what();
    }
    if (state.fatal) {
        errors().message(*state.fatal);
        return failure_status;
    }
    const bool all_masked =
        std::all_of(state.rows.begin(), state.rows.end(), [](const summary_row& row) { return row.status == "ok"; });
    return all_masked ? success_status : failure_status;
}

}  // namespace conemask
