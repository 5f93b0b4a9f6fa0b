// Figures of the cone projector and its transpose: the defined scan's rays
// through the general walk (against a stack that tomproj wrote for the same
// Volume), and a larger scan with 0.5 mm voxels whose Volume and stack are
// written for a comparison with another CT package's exact DRRs.
//
// Usage:
//   cone_bench defined VOLUME [TOMPROJ_STACK]
//   cone_bench large DIR           (writes DIR/large.raw, DIR/large.mhd, DIR/large.stack)
//   cone_bench compare-pfm DIR STACK   (DIR/view%04d.pfm of the large scan)
//   cone_bench scale               (512^3 voxels, 720 views of 768 x 1024: time and peak memory)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "core/kernel_dispatch.h"
#include "core/parallel.h"
#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "operators/cone_projector.h"
#include "tests/support/cone_scans.h"

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double cpu_seconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec * 1e-6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec * 1e-6;
}

struct Timing {
  double wall, cpu;
};

template <class Work>
Timing timed(Work&& work) {
  const double w0 = now(), c0 = cpu_seconds();
  work();
  return Timing{now() - w0, cpu_seconds() - c0};
}

void report(const char* label, const Timing& t) {
  std::printf("%s: wall %.2f s, cpu %.2f s\n", label, t.wall, t.cpu);
  std::fflush(stdout);
}

// The defined scan: 128^3 unit voxels centred half a voxel off in y and z,
// 256 views of 256 x 256 pixels of 1 mm, half a pixel off in both axes.
geom::VolumeGrid defined_grid() { return testdata::grid_of(scan::NZ, scan::NY, scan::NX, 1, 1, 1, 1, 1, 0); }

geom::ConeVectors defined_rays() {
  std::vector<double> angles;
  for (int v = 0; v < scan::kViews; ++v) angles.push_back(scan::view_angle(v));
  return testdata::circular_vectors(scan::kRows, scan::kColumns, 1, 1, -0.5, -0.5, 2 * scan::NX, 4 * scan::NX, angles);
}

// The larger scan: 256^3 voxels of 0.5 mm, 360 views of 384 x 512 pixels of
// 0.8 mm, source at 500 mm, panel at 800 mm.
geom::VolumeGrid large_grid() { return testdata::grid_of(256, 256, 256, 0.5, 0.5, 0.5, 0, 0, 0); }

geom::ConeVectors large_rays() {
  return testdata::circular_vectors(384, 512, 0.8, 0.8, 0, 0, 500, 800,
                                    testdata::arc_angles(360, 0.0, 2 * 3.14159265358979323846));
}

int threads() { return tomio::available_threads(); }

void forward_and_back(const geom::VolumeGrid& g, const geom::ConeVectors& r, const std::vector<float>& volume,
                      std::vector<float>& stack) {
  stack.assign(static_cast<std::size_t>(r.samples()), 0.0f);
  const float* in = volume.data();
  float* out = stack.data();
  const Timing f = timed([&] { tomproj::cone_project(g, r, &in, 1, &out, threads()); });
  report("general projection", f);
  std::vector<float> back(static_cast<std::size_t>(g.voxels()));
  const Timing b = timed([&] { tomproj::cone_project_adjoint(g, r, stack.data(), back.data(), threads()); });
  report("matched backprojection", b);
  std::printf("backprojection / projection: %.2fx wall, %.2fx cpu\n", b.wall / f.wall, b.cpu / f.cpu);
}

int run_defined(const std::string& volume_file, const std::string& tomproj_stack) {
  const geom::VolumeGrid g = defined_grid();
  const geom::ConeVectors r = defined_rays();
  std::vector<float> volume(scan::kVolumeSamples), stack;
  tomio::load_float_image(volume_file, volume.data(), volume.size());
  forward_and_back(g, r, volume, stack);
  if (!tomproj_stack.empty()) {
    std::vector<float> theirs(scan::kStackSamples);
    tomio::load_float_image(tomproj_stack, theirs.data(), theirs.size());
    double most = 0, largest = 0;
    for (std::size_t i = 0; i < theirs.size(); ++i) {
      most = std::max(most, std::fabs(double(stack[i]) - theirs[i]));
      largest = std::max(largest, std::fabs(double(theirs[i])));
    }
    std::printf("against tomproj's stack: largest |difference| %.3g (largest sample %.4g)\n", most, largest);
  }
  return 0;
}

// Ellipsoids of a head-like phantom (centre, semi-axes in mm, value in
// 1/mm), well inside the 128 mm cube.
std::vector<float> large_phantom(const geom::VolumeGrid& g) {
  struct Ellipsoid {
    double c[3], a[3], value;
  };
  const Ellipsoid parts[] = {{{0, 0, 0}, {46, 58, 50}, 0.02},   {{0, -1, 0}, {43, 55, 47}, -0.004},
                             {{-14, 5, 4}, {8, 20, 12}, -0.003}, {{15, 5, -4}, {10, 22, 14}, -0.003},
                             {{0, 25, 10}, {12, 12, 12}, 0.002}, {{0, -30, -6}, {5, 5, 5}, 0.004}};
  std::vector<float> v(static_cast<std::size_t>(g.voxels()), 0.0f);
  for (std::int64_t iz = 0; iz < g.nz; ++iz)
    for (std::int64_t iy = 0; iy < g.ny; ++iy)
      for (std::int64_t ix = 0; ix < g.nx; ++ix) {
        const double p[3] = {g.origin_x + (ix - (g.nx - 1) / 2.0) * g.dx, g.origin_y - (iy - (g.ny - 1) / 2.0) * g.dy,
                             g.origin_z - (iz - (g.nz - 1) / 2.0) * g.dz};
        double value = 0;
        for (const Ellipsoid& e : parts) {
          double s = 0;
          for (int a = 0; a < 3; ++a) s += (p[a] - e.c[a]) * (p[a] - e.c[a]) / (e.a[a] * e.a[a]);
          if (s <= 1) value += e.value;
        }
        v[static_cast<std::size_t>(ix + g.nx * (iy + g.ny * iz))] = static_cast<float>(value);
      }
  return v;
}

int run_large(const std::string& dir) {
  const geom::VolumeGrid g = large_grid();
  const geom::ConeVectors r = large_rays();
  const std::vector<float> volume = large_phantom(g);
  tomio::save_float_image(dir + "/large.raw", volume.data(), volume.size());
  // The peer's frame is (x, -y, -z) of this one: its indices all grow with
  // its coordinates.
  std::ofstream mhd(dir + "/large.mhd");
  mhd << "ObjectType = Image\nNDims = 3\nDimSize = 256 256 256\nElementSpacing = 0.5 0.5 0.5\n"
         "Offset = -63.75 -63.75 -63.75\nElementType = MET_FLOAT\nElementByteOrderMSB = False\n"
         "ElementDataFile = large.raw\n";
  if (!mhd) return 2;
  std::vector<float> stack;
  forward_and_back(g, r, volume, stack);
  tomio::save_float_image(dir + "/large.stack", stack.data(), stack.size());
  return 0;
}

double peak_mib() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1024.0;
}

// The scale of a large flat-panel scan: 512^3 voxels of 0.25 mm, 720 views
// of 768 x 1024 pixels of 0.2 mm, source at 500 mm, panel at 800 mm. The
// transpose writes into the Volume's own memory (the projection no longer
// needs it), so the run holds one Volume and one stack.
int run_scale() {
  const geom::VolumeGrid g = testdata::grid_of(512, 512, 512, 0.25, 0.25, 0.25, 0, 0, 0);
  const geom::ConeVectors r = testdata::circular_vectors(
      768, 1024, 0.2, 0.2, 0, 0, 500, 800, testdata::arc_angles(720, 0.0, 2 * 3.14159265358979323846));
  std::vector<float> volume = large_phantom(g);
  std::vector<float> stack(static_cast<std::size_t>(r.samples()));
  const double volume_mib = volume.size() * 4.0 / 1048576, stack_mib = stack.size() * 4.0 / 1048576;
  const float* in = volume.data();
  float* out = stack.data();
  const Timing f = timed([&] { tomproj::cone_project(g, r, &in, 1, &out, threads()); });
  report("projection, 512^3 -> 720 x 768 x 1024", f);
  std::printf("peak memory after the projection: %.0f MiB (volume %.0f MiB + stack %.0f MiB = %.0f MiB)\n",
              peak_mib(), volume_mib, stack_mib, volume_mib + stack_mib);
  const Timing b = timed([&] { tomproj::cone_project_adjoint(g, r, stack.data(), volume.data(), threads()); });
  report("matched backprojection", b);
  std::printf("peak memory after the transpose: %.0f MiB; backprojection / projection: %.2fx cpu\n", peak_mib(),
              b.cpu / f.cpu);
  return 0;
}

bool read_pfm(const std::string& path, std::int64_t rows, std::int64_t cols, std::vector<float>& out) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  std::int64_t w = 0, h = 0;
  double scale = 0;
  if (!(in >> magic >> w >> h >> scale) || magic != "Pf" || w != cols || h != rows || scale >= 0) return false;
  in.get();
  out.resize(static_cast<std::size_t>(w * h));
  return static_cast<bool>(in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size() * 4)));
}

// RMSE against the peer's views, relative to the largest line integral, over
// the pixels at least `edge` pixels inside the detector's border.
int run_compare(const std::string& dir, const std::string& stack_file) {
  const geom::ConeVectors r = large_rays();
  const std::int64_t edge = 4, per_view = r.rows * r.columns;
  std::vector<float> stack(static_cast<std::size_t>(r.samples())), view;
  tomio::load_float_image(stack_file, stack.data(), stack.size());
  double sum2 = 0, largest = 0, most = 0;
  std::int64_t n = 0;
  for (std::int64_t v = 0; v < r.views(); ++v) {
    char name[32];
    std::snprintf(name, sizeof name, "/view%04lld.pfm", static_cast<long long>(v));
    if (!read_pfm(dir + name, r.rows, r.columns, view)) {
      std::fprintf(stderr, "cannot read %s%s\n", dir.c_str(), name);
      return 2;
    }
    for (std::int64_t row = edge; row < r.rows - edge; ++row)
      for (std::int64_t col = edge; col < r.columns - edge; ++col) {
        const double a = stack[static_cast<std::size_t>(v * per_view + row * r.columns + col)];
        const double b = view[static_cast<std::size_t>(row * r.columns + col)];
        sum2 += (a - b) * (a - b);
        largest = std::max(largest, std::fabs(a));
        most = std::max(most, std::fabs(a - b));
        ++n;
      }
  }
  std::printf("against the peer's views: RMSE %.3g = %.3g %% of the largest line integral %.4g"
              " (largest |difference| %.3g)\n",
              std::sqrt(sum2 / n), 100 * std::sqrt(sum2 / n) / largest, largest, most);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("kernel: %s, %d threads (TOMSIM_KERNEL=scalar|portable|avx2|avx512 chooses another)\n",
              kernels::kernel_name(kernels::process_kernel()), threads());
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "defined" && (argc == 3 || argc == 4)) return run_defined(argv[2], argc == 4 ? argv[3] : "");
  if (mode == "large" && argc == 3) return run_large(argv[2]);
  if (mode == "compare-pfm" && argc == 4) return run_compare(argv[2], argv[3]);
  if (mode == "scale" && argc == 2) return run_scale();
  std::fprintf(stderr, "usage: %s defined VOLUME [TOMPROJ_STACK] | large DIR | compare-pfm DIR STACK | scale\n",
               argv[0]);
  return 2;
}
