// SPDX-License-Identifier: MIT
// The one error every reading rule and decoder throws.
#pragma once

#include <stdexcept>

namespace conemask {

// Why an image cannot be read; the text names the fault, not the file.
class decode_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace conemask
