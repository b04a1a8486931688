// SPDX-License-Identifier: MIT
// The Python module's native part: numpy arrays through the program's own
// make_cone and classify_pixels (the kernel the program would choose on this
// processor), and theta read from a text by the program's own conversion.
// Everything Python-facing is checked before the GIL is let go; the
// classification itself touches no Python object.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "conemask/classify.hpp"
#include "image_binding.hpp"
#include "kernel_table.hpp"
#include "conemask/operands.hpp"

namespace py = pybind11;

namespace {

constexpr std::size_t bytes_per_pixel = 3;

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

// A shape as Python prints it.
std::string shape_text(const py::ssize_t* shape, std::size_t ndim)
{
    std::string text = "(";
    for (std::size_t d = 0; d < ndim; ++d) {
        text += (d > 0 ? ", " : "") + std::to_string(shape[d]);
    }
    return text + (ndim == 1 ? ",)" : ")");
}

// An integer as the program holds its integer operands, 32 bits wide. The
// program cuts a longer value to its low 32 bits; a Python caller gets told
// instead of getting another number than the one it passed.
std::int32_t int32_of(py::handle value, const std::string& what)
{
    if (PyIndex_Check(value.ptr()) == 0) {
        throw py::type_error(what + " must be an integer, not " + type_name(value));
    }
    const py::int_ integer = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!integer) {
        throw py::error_already_set();
    }
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (overflow == 0 && wide == -1 && PyErr_Occurred() != nullptr) {
        throw py::error_already_set();
    }
    if (overflow != 0 || wide < std::numeric_limits<std::int32_t>::min() ||
        wide > std::numeric_limits<std::int32_t>::max()) {
        const std::string message =
            what + " must be in the 32-bit range [-2147483648, 2147483647], got " + py::repr(integer).cast<std::string>();
        PyErr_SetString(PyExc_OverflowError, message.c_str());
        throw py::error_already_set();
    }
    return static_cast<std::int32_t>(wide);
}

conemask::colour reference_of(py::handle value)
{
    if (PySequence_Check(value.ptr()) == 0 || PyUnicode_Check(value.ptr()) != 0 || PyBytes_Check(value.ptr()) != 0) {
        throw py::type_error("reference must be a sequence of three integers (red, green, blue), not " +
                             type_name(value));
    }
    const py::sequence components = py::reinterpret_borrow<py::sequence>(value);
    if (components.size() != 3) {
        throw py::value_error("reference must hold three integers (red, green, blue), got " +
                              std::to_string(components.size()));
    }
    return {int32_of(components[0], "reference[0]"), int32_of(components[1], "reference[1]"),
            int32_of(components[2], "reference[2]")};
}

// numpy.float32, looked up as the module is imported (a lazy lookup under
// a static guard could wait for the GIL while another thread waits for the
// guard) and kept for the life of the process.
PyObject* numpy_float32 = nullptr;

py::handle float32_type() { return numpy_float32; }

// A numpy.float32 exactly; a Python float (or a subclass, numpy.float64 among
// them) rounded to the nearest float, as a conversion from double rounds.
float theta_of(py::handle value)
{
    if (py::isinstance(value, float32_type()) || PyFloat_Check(value.ptr()) != 0) {
        // A float32 widens to double exactly, so the conversion back gives it unchanged.
        return static_cast<float>(PyFloat_AsDouble(value.ptr()));
    }
    throw py::type_error("theta must be a float or a numpy.float32, not " + type_name(value) +
                         " (conemask.theta_from_text reads a text as the program does)");
}

// The first and one-past-last byte an array can touch, or equal pointers for
// an empty one.
struct byte_extent {
    const char* first;
    const char* end;
};

byte_extent extent_of(const py::array& array)
{
    const char* first = static_cast<const char*>(array.data());
    const char* end = first + array.itemsize();
    for (py::ssize_t d = 0; d < array.ndim(); ++d) {
        if (array.shape(d) == 0) {
            return {first, first};
        }
        const py::ssize_t reach = (array.shape(d) - 1) * array.strides(d);
        (reach < 0 ? first : end) += reach;
    }
    return {first, end};
}

bool overlap(const byte_extent& a, const byte_extent& b)
{
    return a.first < a.end && b.first < b.end && a.first < b.end && b.first < a.end;
}

py::array checked_rgb(py::handle rgb)
{
    if (!py::isinstance<py::array>(rgb)) {
        throw py::type_error("rgb must be a numpy array of uint8 with shape (..., 3), not " + type_name(rgb));
    }
    auto array = py::reinterpret_borrow<py::array>(rgb);
    if (!array.dtype().equal(py::dtype::of<std::uint8_t>())) {
        throw py::type_error("rgb must have dtype uint8, not " + py::str(array.dtype()).cast<std::string>());
    }
    if (array.ndim() == 0 || array.shape(array.ndim() - 1) != static_cast<py::ssize_t>(bytes_per_pixel)) {
        throw py::value_error("rgb must have shape (..., 3), red, green and blue on the last axis; got shape " +
                              shape_text(array.shape(), static_cast<std::size_t>(array.ndim())));
    }
    return array;
}

py::array_t<std::int16_t> checked_out(py::handle out, const std::vector<py::ssize_t>& shape, const py::array& rgb)
{
    if (!py::isinstance<py::array>(out)) {
        throw py::type_error("out must be a numpy array of int16, not " + type_name(out));
    }
    const auto array = py::reinterpret_borrow<py::array>(out);
    if (!array.dtype().equal(py::dtype::of<std::int16_t>())) {
        throw py::type_error("out must have dtype int16 in native byte order, not " +
                             py::str(array.dtype()).cast<std::string>());
    }
    if (!std::equal(shape.begin(), shape.end(), array.shape(), array.shape() + array.ndim())) {
        throw py::value_error("out must have shape rgb.shape[:-1], " + shape_text(shape.data(), shape.size()) +
                              "; got shape " + shape_text(array.shape(), static_cast<std::size_t>(array.ndim())));
    }
    if ((array.flags() & py::array::c_style) == 0 || !array.writeable()) {
        throw py::value_error("out must be C-contiguous and writeable");
    }
    if (overlap(extent_of(array), extent_of(rgb))) {
        throw py::value_error("out shares memory with rgb: the samples would overwrite pixels not yet read");
    }
    return py::reinterpret_borrow<py::array_t<std::int16_t>>(array);
}

// Where the pixels lie: `runs` stretches of `run_pixels` pixels each, next to
// one another in memory, the stretch at index i of the outer axes starting at
// data + sum(i[d] * strides[d]). A C-contiguous array is one stretch; a crop
// (rgb[10:20, 5:50]) is one a row.
struct pixel_runs {
    const std::uint8_t* data;
    std::size_t run_pixels;
    std::vector<py::ssize_t> outer_shape, outer_strides;
};

// The stretches of `rgb`, or nothing when its pixels are not three adjacent
// bytes or a row's pixels not adjacent (rgb[..., ::-1], rgb[:, ::2]).
bool runs_in_place(const py::array& rgb, pixel_runs& runs)
{
    const py::ssize_t last = rgb.ndim() - 1;
    if (rgb.strides(last) != 1) {
        return false;
    }
    py::ssize_t axis = last;  // the axes from here on lie in one stretch
    py::ssize_t stride = static_cast<py::ssize_t>(bytes_per_pixel);
    std::size_t run_pixels = 1;
    while (axis > 0 && (rgb.strides(axis - 1) == stride || rgb.shape(axis - 1) == 1)) {
        --axis;
        run_pixels *= static_cast<std::size_t>(rgb.shape(axis));
        stride *= rgb.shape(axis);
    }
    if (axis == last && last > 0) {
        return false;
    }
    runs.data = static_cast<const std::uint8_t*>(rgb.data());
    runs.run_pixels = run_pixels;
    runs.outer_shape.assign(rgb.shape(), rgb.shape() + axis);
    runs.outer_strides.assign(rgb.strides(), rgb.strides() + axis);
    return true;
}

// Classifies every stretch in order into consecutive samples. Touches no
// Python object: runs with the GIL released.
void classify_runs(const conemask::cone& cone, const pixel_runs& runs, std::int16_t* samples)
{
    std::vector<py::ssize_t> index(runs.outer_shape.size(), 0);
    const std::uint8_t* run = runs.data;
    for (;;) {
        conemask::classify_pixels(cone, run, samples, runs.run_pixels);
        samples += runs.run_pixels;
        // The next index of the outer axes, the last axis fastest.
        std::size_t d = index.size();
        for (; d > 0; --d) {
            run += runs.outer_strides[d - 1];
            if (++index[d - 1] < runs.outer_shape[d - 1]) {
                break;
            }
            run -= runs.outer_strides[d - 1] * runs.outer_shape[d - 1];
            index[d - 1] = 0;
        }
        if (d == 0) {
            return;
        }
    }
}

py::array mask(py::handle rgb_object, py::handle reference_object, py::handle theta_object, py::handle thresh_object,
               py::handle out_object)
{
    py::array rgb = checked_rgb(rgb_object);
    const conemask::colour reference = reference_of(reference_object);
    const float theta = theta_of(theta_object);
    const std::int32_t thresh = int32_of(thresh_object, "thresh");

    const std::vector<py::ssize_t> shape(rgb.shape(), rgb.shape() + rgb.ndim() - 1);
    py::array_t<std::int16_t> samples =
        out_object.is_none() ? py::array_t<std::int16_t>(shape) : checked_out(out_object, shape, rgb);
    if (rgb.size() == 0) {
        return samples;
    }

    pixel_runs runs{};
    if (!runs_in_place(rgb, runs)) {
        // Pixels the kernel cannot read in place: a C-contiguous copy.
        rgb = py::module_::import("numpy").attr("ascontiguousarray")(rgb);
        runs_in_place(rgb, runs);
    }
    std::int16_t* const first = samples.mutable_data();
    {
        const py::gil_scoped_release unlocked;
        classify_runs(conemask::make_cone(reference, theta, thresh), runs, first);
    }
    return samples;
}

py::object theta_from_text(const std::string& text)
{
    if (text.find('\0') != std::string::npos) {
        throw py::value_error("theta's text holds a NUL character, which no command line can");
    }
    float theta = 0.0F;
    // The program's own conversion, which no locale affects.
    if (!conemask::convert_angle(text.c_str(), theta)) {
        throw py::value_error("theta's text is longer than the program's 99 characters");
    }
    return float32_type()(static_cast<double>(theta));
}

std::string kernel()
{
    return std::string(conemask::chosen_kernel_name());
}

constexpr const char* module_doc = R"(Mask the pixels of an RGB raster by the direction of their colour.

The conemask program's own arithmetic and kernels: the same samples, bit for
bit, as `conemask red green blue theta thresh BASE rows cols` writes to
BASE.raw.

    import numpy as np, conemask
    rgb = np.fromfile("coffee.rgb", np.uint8).reshape(400, 600, 3)
    mask = conemask.mask(rgb, (180, 40, 15), 0.12, 10)   # numpy int16, shape (400, 600)
    mask.astype("<i2").tofile("coffee.raw")               # the program's coffee.raw

mask() releases the GIL while it classifies and may be called from many
threads at once. kernel() names the kernel this processor runs.
)";

constexpr const char* mask_doc = R"(mask(rgb, reference, theta, thresh, out=None) -> numpy.ndarray

The samples of every pixel of `rgb`: its strength along `reference`
(truncated, 0 to 253 for a reference without negative components) where its
colour lies within `theta` radians of `reference` and that strength is
above `thresh`, else 0. Bit for bit what the conemask program writes.

rgb        numpy array of uint8, shape (..., 3): any leading dimensions,
           red, green, blue on the last axis. Read in place when each row
           of pixels is contiguous (a C-contiguous array, a crop of one, a
           numpy.memmap: no copy); any other layout (rgb[..., ::-1],
           rgb[:, ::2]) is first copied to a C-contiguous array.
reference  three integers (red, green, blue), each in the 32-bit range.
theta      the cone's half-angle in radians: a Python float, rounded to the
           nearest single-precision float, or a numpy.float32, taken as it
           is; anything else raises TypeError. nan selects nothing; above
           pi every direction passes. The program reads its theta operand
           with scanf's "%f": conemask.theta_from_text(text) gives exactly
           that float. numpy.float32(text) reads through a double and agrees
           for a decimal below 4 with at most 12 digits after the point
           (the program echoes 6), but may differ in the last bit for a
           longer one.
thresh     an integer in the 32-bit range; a sample must be above it.
out        None, or a C-contiguous, writeable int16 array (native byte
           order) of shape rgb.shape[:-1], sharing no memory with rgb, to
           hold the samples.

Returns `out`, or a new int16 array of shape rgb.shape[:-1] in native byte
order; mask.astype("<i2").tofile(path) writes the program's .raw. An empty
rgb gives an empty mask. Raises TypeError for another type or dtype,
ValueError for another shape or an unusable out, OverflowError for an
integer outside 32 bits.
)";

constexpr const char* theta_doc = R"(theta_from_text(text) -> numpy.float32

The float the conemask program holds for its theta operand `text`, read as
it reads it (scanf's "%f" in the C locale, whatever locale Python has set):
"0.12" gives the float nearest 0.12, "12abc" gives 12, text that is no number
gives 0. Raises ValueError for a text longer than the program's 99 characters.
)";

// kernel()'s docstring, with the names of this build's kernel table.
const char* kernel_doc()
{
    static const std::string doc = [] {
        std::string names;
        for (const conemask::kernel_row& row : conemask::kernel_table) {
            names += (names.empty() ? "\"" : ", \"") + std::string(row.name) + "\"";
        }
        return "kernel() -> str\n\nThe name of the kernel mask() runs on this processor, the one the conemask\n"
               "program chooses, of this build's\n" + names + ".\n"
               "For tests and benchmarks, the environment variable CONEMASK_KERNEL names\n"
               "another that the processor runs; a name it does not run ends the process at\n"
               "import, with a message listing those it runs.\n";
    }();
    return doc.c_str();
}

}  // namespace

// summary_module.cpp
void add_summary(py::module_& module);

PYBIND11_MODULE(_conemask, module)
{
    // The docstrings carry their own signatures, in Python's terms.
    py::options options;
    options.disable_function_signatures();
    numpy_float32 = py::object(py::module_::import("numpy").attr("float32")).release().ptr();
    module.doc() = module_doc;
    module.def("mask", &mask, mask_doc, py::arg("rgb"), py::arg("reference"), py::arg("theta"), py::arg("thresh"),
               py::arg("out") = py::none());
    module.def("theta_from_text", &theta_from_text, theta_doc, py::arg("text"));
    module.def("kernel", &kernel, kernel_doc());
    add_image_functions(module);
    add_summary(module);
}
