#include "recon/fdk.h"

#include <algorithm>
#include <cmath>

#include "core/failure.h"
#include "core/parallel.h"
#include "core/scan_geometry.h"
#include "core/vector_lanes.h"
#include "recon/fdk_window.h"
#include "recon/fftw_rows.h"

namespace quant {

using scan::NX;
using scan::NY;
using scan::NZ;

namespace {

constexpr double kOrbitRadius = 2.0 * NX;     // source to rotation axis
constexpr double kSourceToPanel = 4.0 * NX;   // source to detector, along the central ray
// Detector pitch scaled to the rotation axis: the ramp is sampled there.
constexpr double kAxisPitch = kOrbitRadius / kSourceToPanel;
constexpr int kRows = scan::kRows;
constexpr int kColumns = scan::kColumns;
constexpr int kSide = kFdkBorderedSide;

struct WindowName {
  FdkWindow window;
  const char* name;
};
constexpr WindowName kWindowNames[] = {{FdkWindow::ram_lak, "ram-lak"},
                                       {FdkWindow::shepp_logan, "shepp-logan"},
                                       {FdkWindow::cosine, "cosine"},
                                       {FdkWindow::hamming, "hamming"},
                                       {FdkWindow::hann, "hann"}};

void check_options(const FdkOptions& options) {
  if (!(options.cutoff > 0.0 && options.cutoff <= 1.0))
    tomio::fail_usage("the filter cutoff must lie in (0, 1]");
  if (options.threads < 1) tomio::fail_usage("the thread count must be at least 1");
}

}  // namespace

FdkWindow fdk_window_from_name(const std::string& name) {
  for (const WindowName& w : kWindowNames)
    if (name == w.name) return w.window;
  tomio::fail_usage("unknown filter '" + name +
                              "' (ram-lak, shepp-logan, cosine, hamming or hann)");
}

const char* fdk_window_name(FdkWindow window) {
  for (const WindowName& w : kWindowNames)
    if (window == w.window) return w.name;
  return "?";
}

std::vector<std::string> fdk_window_names() {
  std::vector<std::string> names;
  for (const WindowName& w : kWindowNames) names.emplace_back(w.name);
  return names;
}

std::vector<double> fdk_filter_response(const FdkOptions& options) {
  check_options(options);
  // The ramp band-limited to the pitch d, in space: h(0) = 1/(4 d^2),
  // h(n) = -1/(pi n d)^2 for odd n, 0 for even n. Its transform, unlike |f|
  // sampled directly, has the right (non-zero) value at f = 0, so a uniform
  // object keeps its level. Wrapped circularly into the padded length.
  const int n_pad = kFdkPaddedLength;
  auto real = fftw_reals(n_pad);
  auto spectrum = fftw_complexes(kFdkFrequencies);
  const double d = kAxisPitch;
  for (int k = 0; k < n_pad; ++k) {
    const int n = k <= n_pad / 2 ? k : k - n_pad;
    double h = 0.0;
    if (n == 0) {
      h = 1.0 / (4.0 * d * d);
    } else if (n % 2 != 0) {
      const double a = scan::kPi * n * d;
      h = -1.0 / (a * a);
    }
    real[static_cast<std::size_t>(k)] = h;
  }
  const RowTransforms transforms(n_pad, real.get(), spectrum.get());
  transforms.forward(real.get(), spectrum.get());
  // Convolution sum times the pitch; the 1/2 of a full turn and the view step
  // of the backprojection; FFTW's unnormalised inverse.
  const double view_step = 2.0 * scan::kPi / scan::kViews;
  const double scale = d * 0.5 * view_step / n_pad;
  std::vector<double> response(kFdkFrequencies);
  for (int k = 0; k < kFdkFrequencies; ++k) {
    const double f = static_cast<double>(k) / (kFdkFrequencies - 1);
    // The kernel is real and even, so its transform is real.
    response[static_cast<std::size_t>(k)] =
        spectrum[static_cast<std::size_t>(k)][0] * fdk_window_gain(options.window, f, options.cutoff) * scale;
  }
  return response;
}

void fdk_filter_stack(const float* stack, float* filtered, const FdkOptions& options,
                      const std::function<void(int)>& on_view_done) {
  const std::vector<double> response = fdk_filter_response(options);
  // Cosine pre-weight of every detector pixel: the cosine of the angle
  // between its ray and the central ray.
  std::vector<double> cosine(static_cast<std::size_t>(kRows) * kColumns);
  for (int r = 0; r < kRows; ++r) {
    const double v = NY - r;
    for (int c = 0; c < kColumns; ++c) {
      const double u = c - NX;
      cosine[static_cast<std::size_t>(r) * kColumns + c] =
          kSourceToPanel / std::sqrt(kSourceToPanel * kSourceToPanel + u * u + v * v);
    }
  }
  const int threads = std::max(1, std::min(options.threads, scan::kViews));
  std::vector<FftwBuffer<double>> reals;
  std::vector<FftwBuffer<fftw_complex>> spectra;
  for (int t = 0; t < threads; ++t) {
    reals.push_back(fftw_reals(kFdkPaddedLength));
    spectra.push_back(fftw_complexes(kFdkFrequencies));
  }
  const RowTransforms transforms(kFdkPaddedLength, reals[0].get(), spectra[0].get());

  tomio::parallel_for(scan::kViews, threads, [&](int view, int worker) {
    double* real = reals[static_cast<std::size_t>(worker)].get();
    fftw_complex* spectrum = spectra[static_cast<std::size_t>(worker)].get();
    float* out = filtered + static_cast<std::size_t>(view) * kFdkViewSamples;
    std::fill(out, out + kFdkViewSamples, 0.0f);
    for (int r = 0; r < kRows; ++r) {
      const float* row = stack + scan::stack_index(view, r, 0);
      const double* weight = cosine.data() + static_cast<std::size_t>(r) * kColumns;
      for (int c = 0; c < kColumns; ++c) real[c] = row[c] * weight[c];
      std::fill(real + kColumns, real + kFdkPaddedLength, 0.0);
      transforms.forward(real, spectrum);
      for (int k = 0; k < kFdkFrequencies; ++k) {
        spectrum[k][0] *= response[static_cast<std::size_t>(k)];
        spectrum[k][1] *= response[static_cast<std::size_t>(k)];
      }
      transforms.backward(spectrum, real);
      // Transposed, inside a border of zeros: column c + 1, row r + 1.
      for (int c = 0; c < kColumns; ++c)
        out[static_cast<std::size_t>(c + 1) * kSide + (r + 1)] = static_cast<float>(real[c]);
    }
    if (on_view_done) on_view_done(view);
  });
}

namespace {

// Per view, sin and cos of its angle.
struct ViewTrig {
  double s, c;
};

// One voxel column of one view: the filtered detector columns `left` and
// `right` around the column coordinate (fraction fc between them), the
// magnification and distance weight of the column's voxels.
struct ColumnView {
  const float* left;
  const float* right;
  double fc;
  double magnify;
  double weight;
};

// Row coordinate of voxel iz, held within [-1, kRows]: the border rows there
// are zero, so a point off the panel reads 0 without a branch.
inline double row_coordinate(int iz, double magnify) {
  const double z = (NZ / 2 - iz) + 0.5;  // voxel centre
  return std::min(std::max(NY - z * magnify, -1.0), static_cast<double>(kRows));
}

// Adds one view to the NZ sums of a voxel column, plain: every value in
// double, in the order the vector form keeps lane by lane.
void add_column_plain(const ColumnView& cv, double* column_acc) {
  for (int iz = 0; iz < NZ; ++iz) {
    const double cr = row_coordinate(iz, cv.magnify);
    const int r0 = static_cast<int>(cr + 1.0) - 1;  // cr + 1 >= 0: truncation is the floor
    const double fr = cr - r0;
    const double l1 = cv.left[r0 + 1], l2 = cv.left[r0 + 2];
    const double g1 = cv.right[r0 + 1], g2 = cv.right[r0 + 2];
    const double a = l1 + fr * (l2 - l1);
    const double b = g1 + fr * (g2 - g1);
    column_acc[iz] += cv.weight * (a + cv.fc * (b - a));
  }
}

// The z of every voxel centre of a column, for the lanes to load.
struct VoxelCentres {
  alignas(64) double z[NZ];
};
VoxelCentres voxel_centres() {
  VoxelCentres c;
  for (int iz = 0; iz < NZ; ++iz) c.z[iz] = (NZ / 2 - iz) + 0.5;
  return c;
}
const VoxelCentres kVoxelCentres = voxel_centres();

namespace generic {
using Ops = lanes::PortableOps<4>;
#include "recon/fdk_column.inc"
}  // namespace generic

#if TOM_X86_KERNELS
namespace avx2 {
#pragma GCC push_options
#pragma GCC target("avx2,fma")
using Ops = lanes::Avx2Ops;
#include "recon/fdk_column.inc"
#pragma GCC pop_options
}  // namespace avx2

namespace avx512 {
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx2,fma")
using Ops = lanes::Avx512Ops;
#include "recon/fdk_column.inc"
#pragma GCC pop_options
}  // namespace avx512
#endif

void add_column_portable(const ColumnView& cv, double* column_acc) {
  generic::add_column_lanes(cv, column_acc);
}

#if TOM_X86_KERNELS
__attribute__((target("avx2,fma"))) void add_column_avx2(const ColumnView& cv, double* column_acc) {
  avx2::add_column_lanes(cv, column_acc);
}

__attribute__((target("avx512f,avx512vl,avx512dq,avx2,fma"))) void add_column_avx512(const ColumnView& cv,
                                                                                     double* column_acc) {
  avx512::add_column_lanes(cv, column_acc);
}
#endif

using AddColumn = void (*)(const ColumnView&, double*);

// Voxel columns are backprojected in square tiles of kTile x kTile: the
// detector columns that one view shows of a tile (about 45 for 16) stay in
// the core's cache while the tile's columns take them, and the tile's sums
// (256 KiB) stay there over all views.
constexpr int kTile = 16;
constexpr int kTilesPerSide = NX / kTile;

// Backprojects every view, in ascending order, into the voxel columns of
// one tile; acc holds, per column (iy, ix) of the tile, NZ sums with iz
// fastest.
void backproject_tile(const float* filtered, const ViewTrig* trig, int tile, AddColumn add_column,
                      double* acc) {
  const int ix0 = (tile % kTilesPerSide) * kTile, iy0 = (tile / kTilesPerSide) * kTile;
  for (int v = 0; v < scan::kViews; ++v) {
    const ViewTrig& t = trig[v];
    const float* view = filtered + static_cast<std::size_t>(v) * kFdkViewSamples;
    for (int jy = 0; jy < kTile; ++jy) {
      const double y = NY / 2 - (iy0 + jy) + 0.5;  // voxel centre
      for (int jx = 0; jx < kTile; ++jx) {
        const double x = (ix0 + jx) - NX / 2 + 0.5;
        // Distance from the source along the central ray, and the lateral
        // offset along the detector's columns.
        const double depth = kOrbitRadius + (-x * t.s + y * t.c);
        const double lateral = x * t.c + y * t.s;
        const double magnify = kSourceToPanel / depth;
        const double cu = lateral * magnify + NX;  // column coordinate
        if (!(cu > -1.0 && cu < kColumns)) continue;  // both neighbours off the panel
        const double ratio = kOrbitRadius / depth;
        const int c0 = static_cast<int>(cu + 1.0) - 1;  // cu + 1 > 0: truncation is the floor
        const float* left = view + static_cast<std::size_t>(c0 + 1) * kSide;
        add_column(ColumnView{left, left + kSide, cu - c0, magnify, ratio * ratio},
                   acc + static_cast<std::size_t>(jy * kTile + jx) * NZ);
      }
    }
  }
}

}  // namespace

namespace {

AddColumn add_column_of(kernels::Kernel kernel) {
  switch (kernel) {
#if TOM_X86_KERNELS
    case kernels::Kernel::avx512: return add_column_avx512;
    case kernels::Kernel::avx2: return add_column_avx2;
#endif
    case kernels::Kernel::portable: return add_column_portable;
    default: return add_column_plain;
  }
}

}  // namespace

void fdk_backproject(const float* filtered, float* volume, int threads,
                     const std::function<void(int)>& on_tile_done) {
  fdk_backproject_with(kernels::process_kernel(), filtered, volume, threads, on_tile_done);
}

void fdk_backproject_with(kernels::Kernel kernel, const float* filtered, float* volume, int threads,
                          const std::function<void(int)>& on_tile_done) {
  std::vector<ViewTrig> trig(scan::kViews);
  for (int v = 0; v < scan::kViews; ++v) {
    const double theta = scan::view_angle(v);
    trig[static_cast<std::size_t>(v)] = ViewTrig{std::sin(theta), std::cos(theta)};
  }
  const AddColumn add_column = add_column_of(kernel);
  tomio::parallel_for(kTilesPerSide * kTilesPerSide, threads, [&](int tile, int) {
    std::vector<double> acc(static_cast<std::size_t>(kTile) * kTile * NZ, 0.0);
    backproject_tile(filtered, trig.data(), tile, add_column, acc.data());
    const int ix0 = (tile % kTilesPerSide) * kTile, iy0 = (tile / kTilesPerSide) * kTile;
    for (int jy = 0; jy < kTile; ++jy)
      for (int jx = 0; jx < kTile; ++jx)
        for (int iz = 0; iz < NZ; ++iz)
          volume[scan::volume_index(ix0 + jx, iy0 + jy, iz)] =
              static_cast<float>(acc[static_cast<std::size_t>(jy * kTile + jx) * NZ + iz]);
    if (on_tile_done) on_tile_done(tile);
  });
}

int fdk_step_count() { return scan::kViews + kTilesPerSide * kTilesPerSide; }

void fdk_reconstruct(const float* stack, float* volume, const FdkOptions& options,
                     const std::function<void(int)>& on_step_done) {
  check_options(options);
  std::mutex progress_lock;
  int done = 0;
  auto step = [&] {
    if (!on_step_done) return;
    std::lock_guard<std::mutex> lock(progress_lock);
    on_step_done(++done);
  };
  std::vector<float> filtered(kFdkViewSamples * scan::kViews);
  fdk_filter_stack(stack, filtered.data(), options, [&](int) { step(); });
  fdk_backproject(filtered.data(), volume, options.threads, [&](int) { step(); });
}

}  // namespace quant
