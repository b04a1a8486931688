// SPDX-License-Identifier: MIT
// Photographs for Python: conemask.read_image(path) gives the raster that
// conemask-image classifies, read by the same C++ image layer (the shared
// reading rules, the same libraries). A file it refuses raises ImageError
// with the reader's message.

#include "image_binding.hpp"

#include <string>

#include "image_decode.hpp"

namespace py = pybind11;

namespace {

constexpr const char* read_image_doc = R"(read_image(path) -> numpy.ndarray

The photograph at `path` (a JPEG, PNG, WebP or TIFF file) as the (rows, cols,
3) uint8 array of red, green and blue that conemask-image classifies: the
raster ImageMagick gives for `convert PATH -auto-orient -alpha off
-colorspace sRGB -depth 8 rgb:`, its EXIF or TIFF orientation applied.
Raises conemask.ImageError with the reader's message for a file it refuses
(damaged, of another format, not a regular file, too large); the GIL is
released while the file is read.
)";

py::array read_image(const py::object& path_object)
{
    const std::string path = py::str(py::module_::import("os").attr("fsdecode")(path_object));
    conemask::shown_raster shown;
    {
        const py::gil_scoped_release unlocked;
        try {
            shown = conemask::read_photograph(path);
        } catch (const conemask::decode_error& e) {
            throw conemask::decode_error(path + ": " + e.what());  // named as conemask-image names it
        }
    }
    // The vector's bytes go to numpy without a copy: a capsule owns them.
    auto* owned = new std::vector<std::uint8_t>(std::move(shown.rgb));
    const py::capsule release(owned, [](void* p) { delete static_cast<std::vector<std::uint8_t>*>(p); });
    return py::array_t<std::uint8_t>({static_cast<py::ssize_t>(shown.rows), static_cast<py::ssize_t>(shown.cols),
                                      py::ssize_t{3}},
                                     owned->data(), release);
}

}  // namespace

void add_image_functions(py::module_& module)
{
    static py::exception<conemask::decode_error> image_error(module, "ImageError", PyExc_ValueError);
    // pybind11 takes a translator as a pointer to a function of a std::exception_ptr by value.
    py::register_exception_translator([](std::exception_ptr raised) {  // NOLINT(performance-unnecessary-value-param)
        try {
            if (raised) {
                std::rethrow_exception(raised);
            }
        } catch (const conemask::decode_error& e) {
            image_error(e.what());
        }
    });
    module.def("read_image", &read_image, read_image_doc, py::arg("path"));
}
