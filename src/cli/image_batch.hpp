// SPDX-License-Identifier: MIT
// conemask-image's batch: the photographs masked a few at a time, their
// summary rows written in the order of the command line whatever order they
// finish in, and progress drawn on a terminal.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "image_command_line.hpp"
#include "posix_io.hpp"
#include "summary.hpp"

namespace conemask {

// One photograph and the files it makes.
struct planned_photograph {
    std::string photograph;
    std::string mask;     // empty: none
    std::string picture;  // empty: none
};

// Where the summary goes: a staged file, a file written in place (one that is
// not a regular file), standard output, or nowhere.
struct summary_sink {
    int fd = -1;
    std::string name;
    std::unique_ptr<staged_output> staged;
    int in_place_fd = -1;  // owned: closed and checked at the end
};

// Runs the batch and returns the process's status: 0 when every photograph
// was masked, 1 when one was refused (its row says why) or when an output
// could not be written (the batch then stops at once).
int run_batch(const image_settings& settings, const std::vector<planned_photograph>& plan, summary_sink& summary);

// A message on standard error, "conemask-image: TEXT", clear of the progress line.
void report(const std::string& text);

}  // namespace conemask
