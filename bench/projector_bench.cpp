// Figures of the projector: the full projection through the library at all
// threads, the straightforward rendering on a sample of views (scaled to the
// whole run) and the ratio; and a comparison with a stack of PFM views made
// by another CT package for the same rays; the transpose against the
// projection.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/kernel_dispatch.h"
#include "core/parallel.h"
#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/oracle/projector_oracle.h"
#include "operators/projector.h"
#include "operators/projector_adjoint.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpu_seconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec * 1e-6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec * 1e-6;
}

// A uniform ball of radius 40 at the centre: every ray through it is easy to
// check by eye, and its line integrals are chord lengths.
std::vector<float> ball_phantom() {
  std::vector<float> v(scan::kVolumeSamples, 0.0f);
  for (int iz = 0; iz < scan::NZ; ++iz)
    for (int iy = 0; iy < scan::NY; ++iy)
      for (int ix = 0; ix < scan::NX; ++ix) {
        const scan::Point3 c = scan::voxel_centre(ix, iy, iz);
        if (c.x * c.x + c.y * c.y + c.z * c.z < 40.0 * 40.0) v[scan::volume_index(ix, iy, iz)] = 1.0f;
      }
  return v;
}

int run_timing(const std::vector<float>& volume) {
  std::vector<float> stack(scan::kStackSamples, 0.0f);
  const int threads = tomio::available_threads();
  double t0 = now(), c0 = cpu_seconds();
  tomproj::project_stack(volume.data(), stack.data(), threads, nullptr);
  const double fast_wall = now() - t0, fast_cpu = cpu_seconds() - c0;
  std::printf("fast projection, %d threads: wall %.2f s, cpu %.2f s\n", threads, fast_wall, fast_cpu);

  const int sample_views[] = {10, 70, 130, 190};
  std::vector<float> slow(scan::kStackSamples, 0.0f);
  t0 = now();
  for (int v : sample_views) oracle::project_view(v, volume.data(), slow.data());
  const double oracle_wall = (now() - t0) * scan::kViews / 4.0;
  int mismatches = 0;
  for (int v : sample_views)
    for (std::size_t i = scan::stack_index(v, 0, 0); i < scan::stack_index(v + 1, 0, 0); ++i)
      if (std::memcmp(&stack[i], &slow[i], 4) != 0) ++mismatches;
  std::printf("straightforward rendering, 1 thread: %.1f s for the whole run (from 4 views)\n", oracle_wall);
  std::printf("ratio: %.1fx faster; %d samples of the 4 views differ\n", oracle_wall / fast_wall, mismatches);
  return mismatches == 0 ? 0 : 1;
}

// Time per Volume when K copies of a Volume are projected in one trace, for
// K = 1, 4 and 8 (the copies are separate arrays, read as separate Volumes).
int run_several(const std::vector<float>& volume) {
  const int threads = tomio::available_threads();
  double single = 0.0;
  for (int k : {1, 4, 8}) {
    std::vector<std::vector<float>> volumes(static_cast<std::size_t>(k), volume);
    std::vector<std::vector<float>> stacks(static_cast<std::size_t>(k), std::vector<float>(scan::kStackSamples, 0.0f));
    std::vector<const float*> in;
    std::vector<float*> out;
    for (int j = 0; j < k; ++j) {
      in.push_back(volumes[static_cast<std::size_t>(j)].data());
      out.push_back(stacks[static_cast<std::size_t>(j)].data());
    }
    const double t0 = now(), c0 = cpu_seconds();
    tomproj::project_stacks(in.data(), out.data(), k, threads, nullptr);
    const double per_volume = (now() - t0) / k, cpu_per_volume = (cpu_seconds() - c0) / k;
    // On a shared machine the processor time is the steadier measure.
    if (k == 1) single = cpu_per_volume;
    for (int j = 1; j < k; ++j)
      if (std::memcmp(stacks[0].data(), stacks[static_cast<std::size_t>(j)].data(), scan::kStackSamples * 4) != 0) {
        std::printf("K = %d: the stacks of equal Volumes DIFFER\n", k);
        return 1;
      }
    std::printf("K = %d volumes per trace, %d threads: wall %.2f s, cpu %.2f s per volume (cpu %.2fx the "
                "single-volume run)\n", k, threads, per_volume, cpu_per_volume, cpu_per_volume / single);
  }
  return 0;
}

// The transpose against the projection, both through the library at all
// threads on the same machine in the same run: the stack of the Volume is
// projected back. Processor time, the steadier measure on a shared machine.
// The scalar kernel's adjoint (one ray at a time) on a sample of views is
// timed too, scaled to the whole run, and must give the same bits on them.
int run_adjoint(const std::vector<float>& volume) {
  const int threads = tomio::available_threads();
  const kernels::Kernel kernel = kernels::process_kernel();
  std::vector<float> stack(scan::kStackSamples, 0.0f), back(scan::kVolumeSamples);
  double t0 = now(), c0 = cpu_seconds();
  tomproj::project_stack(volume.data(), stack.data(), threads, nullptr);
  const double project_wall = now() - t0, project_cpu = cpu_seconds() - c0;
  t0 = now();
  c0 = cpu_seconds();
  tomproj::project_adjoint(stack.data(), back.data(), threads);
  const double adjoint_wall = now() - t0, adjoint_cpu = cpu_seconds() - c0;
  std::printf("kernel %s, %d threads: projection cpu %.2f s (wall %.2f s), adjoint cpu %.2f s (wall %.2f s), "
              "ratio adjoint / projection %.2f (cpu)\n",
              kernels::kernel_name(kernel), threads, project_cpu, project_wall, adjoint_cpu, adjoint_wall,
              adjoint_cpu / project_cpu);

  const std::vector<int> sample_views = {10, 70, 130, 190};
  std::vector<float> fast(scan::kVolumeSamples), scalar(scan::kVolumeSamples);
  tomproj::project_adjoint_views_with(kernel, stack.data(), sample_views, fast.data(), 1);
  c0 = cpu_seconds();
  tomproj::project_adjoint_views_with(kernels::Kernel::scalar, stack.data(), sample_views, scalar.data(), 1);
  const double scalar_cpu = (cpu_seconds() - c0) * scan::kViews / static_cast<double>(sample_views.size());
  const bool same = std::memcmp(fast.data(), scalar.data(), fast.size() * sizeof(float)) == 0;
  std::printf("scalar adjoint (one ray at a time): cpu %.1f s for the whole run (from %zu views), %.1fx the "
              "%s adjoint; the %zu views' volumes %s\n",
              scalar_cpu, sample_views.size(), scalar_cpu / adjoint_cpu, kernels::kernel_name(kernel),
              sample_views.size(), same ? "are the same bits" : "DIFFER");
  return same ? 0 : 1;
}

bool read_pfm(const std::string& path, std::vector<float>& out) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int w = 0, h = 0;
  double scale = 0;
  if (!(in >> magic >> w >> h >> scale) || magic != "Pf" || w != 256 || h != 256 || scale >= 0) return false;
  in.get();
  out.resize(static_cast<std::size_t>(w) * h);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size() * 4)));
}

int run_compare(const std::string& pfm_dir, const std::string& stack_file) {
  std::vector<float> stack(scan::kStackSamples);
  tomio::load_float_image(stack_file, stack.data(), stack.size());
  double sum_abs = 0, max_abs = 0, sum_ref = 0;
  long long off = 0, n = 0;
  std::vector<float> view;
  for (int v = 0; v < scan::kViews; ++v) {
    char name[32];
    std::snprintf(name, sizeof name, "/view%04d.pfm", v);
    if (!read_pfm(pfm_dir + name, view)) {
      std::fprintf(stderr, "cannot read %s%s\n", pfm_dir.c_str(), name);
      return 2;
    }
    for (int i = 0; i < 65536; ++i) {
      const double a = stack[static_cast<std::size_t>(v) * 65536 + i], b = view[static_cast<std::size_t>(i)];
      const double d = std::fabs(a - b);
      sum_abs += d;
      sum_ref += std::fabs(b);
      max_abs = std::max(max_abs, d);
      if (d > 1e-3) ++off;
      ++n;
    }
  }
  std::printf("against the peer's views: mean |difference| %.3g (mean |value| %.3g), largest %.3g,"
              " %lld of %lld samples differ by more than 1e-3\n",
              sum_abs / n, sum_ref / n, max_abs, off, n);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("kernel: %s (TOMSIM_KERNEL=scalar|portable|avx2|avx512 chooses another)\n",
              kernels::kernel_name(kernels::process_kernel()));
  const std::vector<float> volume = ball_phantom();
  if (argc == 3 && std::string(argv[1]) == "--write-phantom") {
    tomio::save_float_image(argv[2], volume.data(), volume.size());
    return 0;
  }
  if (argc == 4 && std::string(argv[1]) == "--compare-pfm") return run_compare(argv[2], argv[3]);
  if (argc == 1) return run_timing(volume);
  if (argc == 3 && std::string(argv[1]) == "--several") {
    std::vector<float> given(scan::kVolumeSamples);
    tomio::load_float_image(argv[2], given.data(), given.size());
    return run_several(given);
  }
  if (argc == 3 && std::string(argv[1]) == "--adjoint") {
    std::vector<float> given(scan::kVolumeSamples);
    tomio::load_float_image(argv[2], given.data(), given.size());
    return run_adjoint(given);
  }
  if (argc == 2 && argv[1][0] != '-') {
    std::vector<float> given(scan::kVolumeSamples);
    tomio::load_float_image(argv[1], given.data(), given.size());
    return run_timing(given);
  }
  std::fprintf(stderr, "usage: %s [VOLUME | --several VOLUME | --adjoint VOLUME | --write-phantom FILE | --compare-pfm DIR STACK]\n", argv[0]);
  return 2;
}
