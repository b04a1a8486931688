// SPDX-License-Identifier: MIT
// The Python module's summary of a photograph's raster: the counts and the
// CSV row of conemask-image --summary, from the same C++ (summary.hpp). The
// Python side (conemask.summary) checks the arguments through mask() first
// and hands over C-contiguous arrays.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "summary.hpp"

namespace py = pybind11;

namespace {

constexpr int c_array = py::array::c_style;

// rgb (rows, cols, 3) and its samples (rows, cols), as mask() made them.
py::tuple summary_of(const py::array_t<std::uint8_t, c_array>& rgb, const py::array_t<std::int16_t, c_array>& samples,
                     const py::sequence& reference, float theta, std::int32_t thresh, const std::string& file)
{
    if (rgb.ndim() != 3 || samples.ndim() != 2 || rgb.shape(0) != samples.shape(0) ||
        rgb.shape(1) != samples.shape(1)) {
        throw py::value_error("a summary is of a photograph's raster: rgb of shape (rows, cols, 3)");
    }
    const conemask::mask_operands operands{
        {reference[0].cast<std::int32_t>(), reference[1].cast<std::int32_t>(), reference[2].cast<std::int32_t>()},
        theta,
        thresh};
    conemask::summary_row row;
    row.file = file;
    row.rows = static_cast<std::uint64_t>(rgb.shape(0));
    row.cols = static_cast<std::uint64_t>(rgb.shape(1));
    {
        const py::gil_scoped_release unlocked;
        row.tally.add(operands, rgb.data(), samples.data(), static_cast<std::size_t>(samples.size()));
    }
    const conemask::selection_tally& t = row.tally;
    const double pixels = static_cast<double>(row.rows) * static_cast<double>(row.cols);
    const bool any = t.selected() > 0;
    return py::make_tuple(
        row.rows, row.cols, t.selected(),
        pixels > 0 ? py::object(py::float_(100.0 * static_cast<double>(t.selected()) / pixels)) : py::none(),
        any ? py::object(py::float_(static_cast<double>(t.sample_sum()) / static_cast<double>(t.selected())))
            : py::none(),
        any ? py::object(py::int_(t.largest_sample())) : py::none(),
        conemask::summary_line(row, operands));
}

}  // namespace

void add_summary(py::module_& module)
{
    module.def("_summary", &summary_of, py::arg("rgb"), py::arg("samples"), py::arg("reference"), py::arg("theta"),
               py::arg("thresh"), py::arg("file"));
    module.attr("summary_header") = conemask::summary_header();
}
