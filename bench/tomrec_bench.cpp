// Times the reconstruction's stages through the library, against the
// straightforward renderings of the tests on a sample of views.
//
//   tomrec_bench --write-stack FILE   writes a deterministic test stack
//   tomrec_bench STACK                times filtering and backprojection of
//                                     STACK with the weight files of the
//                                     working directory, and the literal
//                                     renderings on sample views
//   tomrec_bench --weight-walk        times the literal rendering of the
//                                     weight files (length sums and the
//                                     backprojection of ones) on sample views
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/kernel_dispatch.h"
#include "core/parallel.h"
#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/oracle/backprojection_oracle.h"
#include "tests/oracle/filter_oracle.h"
#include "operators/backprojection.h"
#include "recon/projection_filter.h"
#include "recon/reconstruction.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double cpu_seconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec * 1e-6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec * 1e-6;
}

// Smooth views with a few edges, different from view to view.
std::vector<float> test_stack() {
  std::vector<float> stack(scan::kStackSamples);
  for (int v = 0; v < scan::kViews; ++v)
    for (int r = 0; r < scan::kRows; ++r)
      for (int c = 0; c < scan::kColumns; ++c) {
        const int u = c - 128, h = 128 - r;
        float value = (u * u + h * h < 90 * 90) ? 40.0f + 0.1f * ((v + c) % 17) : 0.0f;
        if (std::abs(u + (v % 32) - 16) < 6) value += 5.0f;
        stack[scan::stack_index(v, r, c)] = value;
      }
  return stack;
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("kernel: %s (TOMSIM_KERNEL=scalar|portable|avx2|avx512 chooses another)\n",
              kernels::kernel_name(kernels::process_kernel()));
  if (argc == 3 && std::strcmp(argv[1], "--write-stack") == 0) {
    const std::vector<float> stack = test_stack();
    tomio::save_float_image(argv[2], stack.data(), stack.size());
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--weight-walk") == 0) {
    const int sample[] = {0, 45, 101, 170};
    std::vector<float> ones(scan::kStackSamples, 1.0f);
    std::vector<double> acc(scan::kVolumeSamples, 0.0);
    double sink = 0.0;
    const auto t = std::chrono::steady_clock::now();
    for (int v : sample) {
      for (int r = 0; r < scan::kRows; ++r) {
        for (int c = 0; c < scan::kColumns; ++c) {
          double source[3], detector[3];
          oracle::ray_ends(v, r, c, source, detector);
          sink += oracle::length_sum(source, detector, tomrec::kDist);
        }
      }
      oracle::backproject_views(ones.data(), ones.data(), acc.data(), v, v + 1);
    }
    std::printf("straightforward weight walk, from 4 views: %.1f s (%g)\n",
                seconds_since(t) * scan::kViews / 4, sink > 0 ? 1.0 : 0.0);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--several") == 0) {
    // Time per stack when K copies of a stack are backprojected in one walk.
    std::vector<float> proj(scan::kStackSamples), detector_sum(scan::kStackSamples);
    tomio::load_float_image(argv[2], proj.data(), proj.size());
    tomio::load_float_image(tomrec::kDetectorSumName, detector_sum.data(), detector_sum.size());
    const int threads = tomio::available_threads();
    double single = 0.0;
    for (int k : {1, 4, 8}) {
      std::vector<std::vector<float>> projs(static_cast<std::size_t>(k), proj);
      std::vector<std::vector<double>> accs(static_cast<std::size_t>(k),
                                            std::vector<double>(scan::kVolumeSamples, 0.0));
      std::vector<const float*> in;
      std::vector<double*> out;
      for (int j = 0; j < k; ++j) {
        in.push_back(projs[static_cast<std::size_t>(j)].data());
        out.push_back(accs[static_cast<std::size_t>(j)].data());
      }
      const auto t = std::chrono::steady_clock::now();
      const double c0 = cpu_seconds();
      tomrec::backproject_stacks(in.data(), detector_sum.data(), out.data(), k, 0, scan::kViews,
                                 threads, nullptr);
      const double per_stack = seconds_since(t) / k, cpu_per_stack = (cpu_seconds() - c0) / k;
      // On a shared machine the processor time is the steadier measure.
      if (k == 1) single = cpu_per_stack;
      for (int j = 1; j < k; ++j) {
        if (std::memcmp(accs[0].data(), accs[static_cast<std::size_t>(j)].data(),
                        scan::kVolumeSamples * sizeof(double)) != 0) {
          std::printf("K = %d: the volumes of equal stacks DIFFER\n", k);
          return 1;
        }
      }
      std::printf("K = %d stacks per walk, %d threads: backprojection wall %.2f s, cpu %.2f s per "
                  "stack (cpu %.2fx the single-stack run)\n",
                  k, threads, per_stack, cpu_per_stack, cpu_per_stack / single);
    }
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: tomrec_bench --write-stack FILE | tomrec_bench STACK\n");
    return 2;
  }
  const int threads = tomio::available_threads();
  std::vector<float> proj(scan::kStackSamples), detector_sum(scan::kStackSamples);
  std::vector<float> voxel_sum(scan::kVolumeSamples);
  tomio::load_float_image(argv[1], proj.data(), proj.size());
  tomio::load_float_image(tomrec::kDetectorSumName, detector_sum.data(), detector_sum.size());
  tomio::load_float_image(tomrec::kVoxelSumName, voxel_sum.data(), voxel_sum.size());
  const std::vector<float> loaded = proj;
  std::vector<float> re(scan::kViewSamples), im(scan::kViewSamples), w(scan::kViewSamples);

  auto t = std::chrono::steady_clock::now();
  tomio::OutputFile sink("/dev/null");
  tomrec::filter_projections(proj.data(), re.data(), im.data(), w.data(), scan::NX, scan::NY,
                             scan::NZ, threads, std::move(sink), nullptr);
  const double t_filter = seconds_since(t);

  std::vector<double> acc(scan::kVolumeSamples, 0.0);
  t = std::chrono::steady_clock::now();
  tomrec::backproject_views(proj.data(), detector_sum.data(), acc.data(), 0, scan::kViews,
                            threads, nullptr);
  const double t_back = seconds_since(t);
  std::printf("stages on %d threads: filtering %.2f s, backprojection %.2f s\n", threads,
              t_filter, t_back);

  // The straightforward renderings on sample views, scaled to 256 views.
  const int sample[] = {0, 45, 101, 170};
  const int samples = 4;
  std::vector<float> literal = loaded;
  t = std::chrono::steady_clock::now();
  oracle::build_radial_weight(w.data(), scan::NX, scan::NY);
  for (int v : sample) oracle::filter_view(literal.data(), v, re.data(), im.data(), w.data(), scan::NX, scan::NY);
  const double o_filter = seconds_since(t) * scan::kViews / samples;
  bool same = true;
  for (int v : sample) {
    const std::size_t at = scan::stack_index(v, 0, 0);
    same = same && std::memcmp(&literal[at], &proj[at], scan::kViewSamples * sizeof(float)) == 0;
  }
  std::vector<double> literal_acc(scan::kVolumeSamples, 0.0), fast_acc(scan::kVolumeSamples, 0.0);
  t = std::chrono::steady_clock::now();
  for (int v : sample) oracle::backproject_views(proj.data(), detector_sum.data(), literal_acc.data(), v, v + 1);
  const double o_back = seconds_since(t) * scan::kViews / samples;
  for (int v : sample) {
    tomrec::backproject_views(proj.data(), detector_sum.data(), fast_acc.data(), v, v + 1, threads, nullptr);
  }
  same = same && std::memcmp(literal_acc.data(), fast_acc.data(), fast_acc.size() * sizeof(double)) == 0;
  std::printf("straightforward rendering, from %d views: filtering %.1f s, backprojection %.1f s\n",
              samples, o_filter, o_back);
  std::printf("ratio: stages %.1fx (filtering %.1fx, backprojection %.1fx); sample views %s\n",
              (o_filter + o_back) / (t_filter + t_back), o_filter / t_filter, o_back / t_back,
              same ? "bit-identical" : "DIFFER");
  return same ? 0 : 1;
}
