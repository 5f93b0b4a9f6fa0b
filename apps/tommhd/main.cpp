// tommhd: writes a MetaImage header beside a headerless sample file, so
// that 3-D viewers open it in place.
#include <string>

#include "core/raw_image.h"
#include "core/command_line.h"
#include "core/metaimage.h"
#include "core/sample_files.h"

namespace {

const tomio::ToolSpec kSpec{
    "tommhd",
    "Usage: tommhd [--stack] [--output HEADER.mhd] RAWFILE",
    "Writes RAWFILE's name with the extension .mhd (or HEADER.mhd), naming\n"
    "RAWFILE as its data file. A Volume (the default) is 128 x 128 x 128\n"
    "float32 at its voxel centres, in the grid's frame turned half a turn\n"
    "about x: (X, Y, Z) = (x, -y, -z), so that every index grows along its\n"
    "axis and the header needs no rotation (which ITK-based tools such as\n"
    "plastimatch drr would not all follow); a ProjectionStack (--stack) is 256 columns\n"
    "x 256 rows x 256 views in index space. RAWFILE must exist with the size\n"
    "of its kind.",
    {
        {"stack", "", "the raw file is a ProjectionStack"},
        {"output", "HEADER.mhd", "the header's name (default beside RAWFILE)"},
    },
    1};

std::string folder_of(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  return tomio::run_tool(kSpec, argc, argv, [](const tomio::CommandLine& line) {
    if (line.positional().size() != 1) tomio::fail_usage("expected one RAWFILE");
    const std::string raw = line.positional()[0];
    const toolkit::FileKind kind = line.has("stack") ? toolkit::FileKind::Stack : toolkit::FileKind::Volume;
    // The header is lines of text: a line break in the name would end its
    // line and add one of its own.
    if (raw.find_first_of("\r\n") != std::string::npos) {
      tomio::fail_usage("the raw file's name holds a line break, which the header cannot hold");
    }
    // The header describes the raw file, so it must be there with its size.
    tomio::check_float_image(raw, toolkit::samples_of(kind));
    const std::string header = line.value("output", toolkit::header_path_for(raw));
    toolkit::refuse_outputs_over_inputs({header}, {raw});
    // The header names its data file relative to its own folder.
    std::string data_file = raw;
    if (folder_of(header) == folder_of(raw)) {
      data_file = raw.substr(folder_of(raw).size());
    } else if (raw.empty() || raw[0] != '/') {
      tomio::fail_usage("a header in another folder needs an absolute RAWFILE path");
    }
    const std::string text = toolkit::metaimage_header(kind, data_file);
    toolkit::write_bytes(header, text.data(), text.size());
    return 0;
  });
}
