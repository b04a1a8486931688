// SPDX-License-Identifier: MIT
#include "photograph_pass.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <semaphore>
#include <thread>
#include <vector>

#include "orient.hpp"
#include "png_writer.hpp"

namespace conemask {

namespace {

// Pixels classified per band of rows: as conemask's blocks, a few hundred
// KiB of buffers that stay in cache.
constexpr std::size_t band_pixels = std::size_t{1} << 16;

// Decoding runs in a thread of its own, a few bands ahead of the
// classification and the writing, which take another processor: a photograph
// then takes about as long as its decoding alone. Where the jobs already take
// every processor, that thread would only add hand-offs, and each band is
// decoded when it is taken. A band carries its rows, or the decoder's
// complaint; after the last row, one more carries the check of the rest of
// the file. A band of no rows ends the stream.
class band_reader {
public:
    band_reader(image_decoder& decoder, std::size_t band_rows, bool ahead)
        : decoder_(decoder), band_rows_(band_rows), ahead_(ahead)
    {
        for (band& b : bands_) {
            if (ahead || &b == bands_.data()) {
                b.rgb.resize(band_rows * decoder.width() * 3);
            }
        }
        if (ahead) {
            worker_ = std::thread([this] { decode(); });
        }
    }
    band_reader(const band_reader&) = delete;
    band_reader& operator=(const band_reader&) = delete;
    band_reader(band_reader&&) = delete;
    band_reader& operator=(band_reader&&) = delete;
    // A pass left early (a fault, a stop) tells the worker to end, and takes
    // what it still makes until its last band, so that it is never left
    // waiting for a free slot.
    ~band_reader()
    {
        if (!ahead_) {
            return;
        }
        cancelled_ = true;
        if (holding_) {
            release();
        }
        while (!ended_) {
            (void)take();
            release();
        }
        worker_.join();
    }

    struct band {
        std::vector<std::uint8_t> rgb;
        std::size_t rows = 0;
        std::string error;  // the decoder's, when not empty
    };

    // The next band, valid until release().
    const band& take()
    {
        if (!ahead_) {
            band& b = bands_[0];
            b.rows = 0;
            read_band(b, made_rows_, decoder_.height());
            made_rows_ += b.rows;
            return b;
        }
        full_.acquire();
        holding_ = true;
        const band& b = bands_[taken_ % bands_.size()];
        ended_ = b.rows == 0;
        return b;
    }
    void release()
    {
        if (!ahead_) {
            return;
        }
        holding_ = false;
        ++taken_;
        free_.release();
    }

private:
    static constexpr std::ptrdiff_t slots = 3;

    void decode()
    {
        const std::size_t height = decoder_.height();
        for (std::size_t y = 0, made = 0;; ++made) {
            free_.acquire();
            band& b = bands_[made % bands_.size()];
            b.rows = 0;
            if (!cancelled_) {
                read_band(b, y, height);
            }
            y += b.rows;
            const bool last = b.rows == 0;
            full_.release();
            if (last) {
                return;
            }
        }
    }

    void read_band(band& b, std::size_t y, std::size_t height)
    {
        try {
            if (y < height) {
                b.rows = decoder_.read_rows(b.rgb.data(), std::min(band_rows_, height - y));
                if (b.rows == 0) {
                    b.error = "the image ends before its last row";
                }
            } else {
                decoder_.finish();
            }
        } catch (const decode_error& e) {
            b.error = e.what();
        } catch (const std::bad_alloc&) {
            b.error = "not enough memory for an image of this size";
        } catch (const std::exception& e) {
            b.error = e.what();
        }
    }

    image_decoder& decoder_;
    std::size_t band_rows_;
    bool ahead_;
    std::size_t made_rows_ = 0;  // without the thread
    std::array<band, slots> bands_;
    std::counting_semaphore<slots> free_{slots};
    std::counting_semaphore<slots> full_{0};
    std::size_t taken_ = 0;
    bool holding_ = false;  // the consumer's side
    bool ended_ = false;
    std::atomic<bool> cancelled_{false};
    std::thread worker_;
};

// The picture's encoder on its staged output, from its header to its close.
class picture_file {
public:
    picture_file(const staged_output& output, const displayed_size& size) : name_(output.name())
    {
        const int fd = dup(output.fd());
        file_.reset(fd < 0 ? nullptr : fdopen(fd, "wb"));
        if (!file_) {
            const int error = errno;
            if (fd >= 0) {
                (void)::close(fd);
            }
            throw io_error(name_, std::strerror(error));
        }
        try {
            writer_ = std::make_unique<png_writer>(file_.get(), static_cast<std::uint32_t>(size.cols),
                                                   static_cast<std::uint32_t>(size.rows));
        } catch (const png_write_error& e) {
            throw io_error(name_, e.what());
        }
    }

    void write_row(const std::int16_t* samples)
    {
        try {
            writer_->write_row(samples);
        } catch (const png_write_error& e) {
            throw io_error(name_, e.what());
        }
    }

    void close()
    {
        try {
            writer_->finish();
        } catch (const png_write_error& e) {
            throw io_error(name_, e.what());
        }
        const bool flushed = std::fflush(file_.get()) == 0;
        const int error = errno;
        if (std::fclose(file_.release()) != 0 || !flushed) {
            throw io_error(name_, std::strerror(flushed ? errno : error));
        }
    }

private:
    std::string name_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, &std::fclose};
    std::unique_ptr<png_writer> writer_;
};

// How the stored rows land in the mask as displayed.
struct placement {
    std::size_t width, height;  // as stored
    orientation turn;
    bool quarter_turn, mirrored, upside_down, from_bottom;

    explicit placement(const image_decoder& d)
        : width(d.width()), height(d.height()), turn(d.turn()), quarter_turn(swaps_axes(d.turn())),
          mirrored(d.turn() == orientation::top_right || d.turn() == orientation::bottom_right),
          upside_down(d.turn() == orientation::bottom_right || d.turn() == orientation::bottom_left),
          from_bottom(d.turn() == orientation::right_bottom || d.turn() == orientation::left_bottom)
    {
    }
};

// A quarter turn's mask in stored order, held band by band as the rows
// come, so that a stated size its data cannot fill takes no memory; turned
// for display at the end, a few stored columns at a time.
class stored_mask {
public:
    explicit stored_mask(const placement& p) : p_(p) {}

    void add(const std::int16_t* samples, std::size_t rows)
    {
        bands_.emplace_back(samples, samples + rows * p_.width);
        for (std::size_t r = 0; r < rows; ++r) {
            row_at_.push_back(bands_.back().data() + r * p_.width);
        }
    }

    // Displayed rows `first`.. (`count` of them, each a stored column) into
    // `shown`, through `strip` (count x height samples each).
    void turn(std::size_t first, std::size_t count, std::int16_t* strip, std::int16_t* shown) const
    {
        const std::size_t from_col = p_.from_bottom ? p_.width - first - count : first;
        for (std::size_t y = 0; y < p_.height; ++y) {
            std::copy_n(row_at_[y] + from_col, count, strip + y * count);
        }
        // A strip turns as the whole does, its rows landing at `first`.
        orient_raster(p_.turn, reinterpret_cast<const std::uint8_t*>(strip), static_cast<std::uint32_t>(p_.height),
                      static_cast<std::uint32_t>(count), sizeof(std::int16_t), reinterpret_cast<std::uint8_t*>(shown));
    }

private:
    const placement& p_;
    std::vector<std::vector<std::int16_t>> bands_;
    std::vector<const std::int16_t*> row_at_;  // into bands_, whose buffers never move
};

// Rows that keep whole: in place (mirrored or not) or at their mirrored
// position; the picture takes them when they come in its order.
void write_rows(const placement& p, std::int16_t* samples, std::size_t y, std::size_t rows,
                const pass_outputs& outputs, picture_file* picture)
{
    const std::size_t width = p.width;
    for (std::size_t r = 0; p.mirrored && r < rows; ++r) {
        std::reverse(samples + r * width, samples + (r + 1) * width);
    }
    for (std::size_t r = 0; picture != nullptr && !p.upside_down && r < rows; ++r) {
        picture->write_row(samples + r * width);
    }
    if (outputs.mask == nullptr) {
        return;
    }
    store_little_endian(samples, rows * width);
    const std::size_t row_bytes = width * sizeof(std::int16_t);
    const int fd = outputs.mask->fd();
    if (p.upside_down) {
        for (std::size_t r = 0; r < rows; ++r) {
            pwrite_all(fd, samples + r * width, row_bytes, static_cast<off_t>((p.height - 1 - y - r) * row_bytes),
                       outputs.mask->name());
        }
    } else {
        pwrite_all(fd, samples, rows * row_bytes, static_cast<off_t>(y * row_bytes), outputs.mask->name());
    }
}

// After the pass: the quarter-turned mask turned and written, or the picture
// drawn from the mask read back from its file when its rows came in the wrong
// order.
void finish_outputs(const placement& p, const displayed_size& size, const stored_mask& held,
                    const pass_outputs& outputs, picture_file* picture)
{
    if (p.quarter_turn && (outputs.mask != nullptr || picture != nullptr)) {
        const std::size_t strip_rows = std::max<std::size_t>(1, band_pixels / size.cols);
        std::vector<std::int16_t> strip(strip_rows * size.cols);
        std::vector<std::int16_t> shown(strip.size());
        const std::size_t row_bytes = size.cols * sizeof(std::int16_t);
        for (std::size_t y = 0; y < size.rows; y += strip_rows) {
            const std::size_t rows = std::min(strip_rows, size.rows - y);
            held.turn(y, rows, strip.data(), shown.data());
            for (std::size_t r = 0; picture != nullptr && r < rows; ++r) {
                picture->write_row(shown.data() + r * size.cols);
            }
            if (outputs.mask != nullptr) {
                store_little_endian(shown.data(), rows * size.cols);
                pwrite_all(outputs.mask->fd(), shown.data(), rows * row_bytes, static_cast<off_t>(y * row_bytes),
                           outputs.mask->name());
            }
        }
    } else if (picture != nullptr && p.upside_down) {
        std::vector<std::int16_t> row(size.cols);
        const std::size_t row_bytes = size.cols * sizeof(std::int16_t);
        for (std::size_t y = 0; y < size.rows; ++y) {
            pread_all(outputs.mask->fd(), row.data(), row_bytes, static_cast<off_t>(y * row_bytes),
                      outputs.mask->name());
            store_little_endian(row.data(), row.size());
            picture->write_row(row.data());
        }
    }
    if (picture != nullptr) {
        picture->close();
    }
}

}  // namespace

opened_photograph open_for_pass(const std::string& path)
{
    opened_photograph photo;
    try {
        photo.file.reset(open_photograph(path));
        photo.decoder = open_image(photo.file.get());
    } catch (const decode_error& e) {
        throw photograph_error(e.what());
    } catch (const std::bad_alloc&) {
        throw photograph_error("not enough memory for an image of this size");
    }
    return photo;
}

displayed_size size_as_displayed(const image_decoder& decoder)
{
    const bool quarter_turn = swaps_axes(decoder.turn());
    return {quarter_turn ? decoder.width() : decoder.height(), quarter_turn ? decoder.height() : decoder.width()};
}

// A quarter turn makes every stored row a column, so that mask is held
// whole (2 bytes a pixel) and written at the end.
selection_tally run_pass(image_decoder& decoder, const cone& cone, const mask_operands& operands,
                         const pass_outputs& outputs, const pass_mode& mode, const std::atomic<bool>& stop)
{
    const placement p(decoder);
    const displayed_size size = size_as_displayed(decoder);
    const std::size_t band_rows = std::max<std::size_t>(1, band_pixels / p.width);
    selection_tally tally;
    try {
        std::vector<std::int16_t> samples(band_rows * p.width);
        const bool hold_whole = p.quarter_turn && (outputs.mask != nullptr || outputs.picture != nullptr);
        stored_mask held(p);
        std::unique_ptr<picture_file> picture;
        if (outputs.picture != nullptr) {
            picture = std::make_unique<picture_file>(*outputs.picture, size);
        }
        band_reader reader(decoder, band_rows, mode.decode_ahead);
        for (std::size_t y = 0;;) {
            if (stop) {
                throw batch_stopped();
            }
            const band_reader::band& band = reader.take();
            if (!band.error.empty()) {
                throw photograph_error(band.error);
            }
            if (band.rows == 0) {
                break;  // past the last row, the rest of the file checked
            }
            classify_pixels(cone, band.rgb.data(), samples.data(), band.rows * p.width);
            if (mode.tally) {
                tally.add(operands, band.rgb.data(), samples.data(), band.rows * p.width);
            }
            const std::size_t rows = band.rows;
            reader.release();
            if (hold_whole) {
                held.add(samples.data(), rows);
            } else if (!p.quarter_turn) {
                write_rows(p, samples.data(), y, rows, outputs, picture.get());
            }
            y += rows;
        }
        reader.release();
        finish_outputs(p, size, held, outputs, picture.get());
    } catch (const std::bad_alloc&) {
        throw photograph_error("not enough memory for an image of this size");
    }
    return tally;
}

}  // namespace conemask
