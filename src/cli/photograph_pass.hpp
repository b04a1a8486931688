// SPDX-License-Identifier: MIT
// One photograph through conemask-image: opened, decoded a band of rows at a
// time, classified, turned as its EXIF orientation says, and written to its
// mask and picture (each a staged output, or none), its selection tallied
// for the summary on the way.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "conemask/classify.hpp"
#include "image_decode.hpp"
#include "posix_io.hpp"
#include "summary.hpp"

namespace conemask {

// Why a photograph cannot be masked: what() is the reason, without the name.
// The batch goes on to the next photograph.
class photograph_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The batch stopped while this photograph was under way.
class batch_stopped : public std::exception {};

// A photograph opened for its pass, its file held as long as its decoder.
struct opened_photograph {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{nullptr, &std::fclose};
    std::unique_ptr<image_decoder> decoder;
};

// The one place a photograph is opened: by the image layer's
// open_photograph, which refuses what is not a regular file before anything
// waits on it. Throws photograph_error.
opened_photograph open_for_pass(const std::string& path);

// The mask's size as displayed.
struct displayed_size {
    std::uint64_t rows, cols;
};
displayed_size size_as_displayed(const image_decoder& decoder);

// Where the pass writes: either may be null (the summary alone writes none).
struct pass_outputs {
    staged_output* mask = nullptr;
    staged_output* picture = nullptr;
};

// How the pass runs: decoding a few bands ahead in a thread of its own (worth
// it only where a processor is free for it), and tallying the selection
// (which only the summary reads; without it the tally is empty).
struct pass_mode {
    bool decode_ahead = true;
    bool tally = true;
};

// Runs the pass and returns the photograph's tally. Throws photograph_error
// for the photograph's faults, io_error for the outputs', and batch_stopped
// when `stop` is set between two bands.
selection_tally run_pass(image_decoder& decoder, const cone& cone, const mask_operands& operands,
                         const pass_outputs& outputs, const pass_mode& mode, const std::atomic<bool>& stop);

}  // namespace conemask
