// SPDX-License-Identifier: MIT
// The module's photograph functions (image_binding.cpp).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

// Adds read_image and the ImageError exception to the module.
void add_image_functions(pybind11::module_& module);
