// Reading and writing the headerless Volume and ProjectionStack files from a
// tool, through the shared reader and writer: a file of the wrong size is
// refused before anything is read, with a message that names both sizes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/output_file.h"

namespace toolkit {

enum class FileKind { Volume, Stack };

std::size_t samples_of(FileKind kind);
const char* kind_name(FileKind kind);

// All samples of the kind; an input Failure when the file cannot be opened
// or does not hold exactly the samples of its kind.
std::vector<float> read_samples(const std::string& path, FileKind kind);
inline std::vector<float> read_volume(const std::string& path) {
  return read_samples(path, FileKind::Volume);
}
inline std::vector<float> read_stack(const std::string& path) {
  return read_samples(path, FileKind::Stack);
}

// Exactly `count` samples of any shape (a scan of another geometry); an
// input Failure as above when the file holds another number.
std::vector<float> read_float_samples(const std::string& path, std::size_t count);
// Writes the samples atomically (the shared writer).
void write_float_samples(const std::string& path, const std::vector<float>& samples);

// Writes all samples of the kind atomically (the shared writer), to a name
// or to an output claimed before the work.
void write_samples(const std::string& path, const std::vector<float>& samples, FileKind kind);
void write_samples(tomio::OutputFile&& output, const std::vector<float>& samples, FileKind kind);

// An output that is one of the run's inputs (the same file, through links
// too), or that another output names again, would destroy what the run reads
// or writes: a usage Failure before anything is read or claimed.
void refuse_outputs_over_inputs(const std::vector<std::string>& outputs,
                                const std::vector<std::string>& inputs);

// The bytes of a whole (small) file; an input Failure when it cannot be read.
std::vector<unsigned char> read_bytes(const std::string& path);
// Writes bytes atomically through the shared output file.
void write_bytes(const std::string& path, const void* data, std::size_t size);

}  // namespace toolkit
