// Card image files: read whole, written atomically (a temporary file in the same directory,
// flushed to the disk, then renamed over the old image). Failures: std::runtime_error.
#pragma once

#include <string>

#include "helixsim/card.h"

namespace helixsim {

Bytes ReadImageFile(const std::string& path);
void WriteImageFile(const std::string& path, const Bytes& image);

}  // namespace helixsim
