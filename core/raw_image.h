// Headerless sample files: a file of N samples is exactly the N values in
// machine byte order (little-endian here), 4 bytes each for float images and
// 2 bytes each for short images, with nothing before, between or after them.
// The caller knows N from the scan geometry; the file says nothing of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/output_file.h"

namespace tomio {

// Reads exactly n float32 samples. A file that cannot be opened or read, or
// whose size is not exactly 4*n bytes, is an input Failure naming both sizes.
void load_float_image(const std::string& name, float* destination, std::size_t n);
// The same checks without reading: the file opens and, where it has a size,
// holds exactly n float32 samples.
void check_float_image(const std::string& name, std::size_t n);

// Writes n float32 samples to an output claimed earlier and puts it in place.
void save_float_image(OutputFile&& output, const float* source, std::size_t n);
// Claims the name and writes at once.
void save_float_image(const std::string& name, const float* source, std::size_t n);

// As save_float_image, for 16-bit samples.
void save_short_image(const std::string& name, const std::int16_t* source, std::size_t n);

}  // namespace tomio
