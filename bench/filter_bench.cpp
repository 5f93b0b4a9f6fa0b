// Wall time of the projection filtering stage on a whole stack (256 views of
// 256 x 256): the fast filter on every available processor, the fast filter
// on one, and the literal rendering that the tests compare against. Checks
// that all three give the same bits.
//
// Usage: filter_bench [--no-oracle]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/parallel.h"
#include "core/scan_geometry.h"
#include "tests/oracle/filter_oracle.h"
#include "recon/projection_filter.h"

namespace {

using scan::NX;
using scan::NY;
using scan::NZ;

double seconds_of(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const bool run_oracle = !(argc > 1 && std::strcmp(argv[1], "--no-oracle") == 0);
  std::mt19937 gen(2024);
  std::uniform_real_distribution<float> dist(0.0f, 200.0f);
  std::vector<float> input(scan::kStackSamples);
  for (float& x : input) x = dist(gen);

  std::vector<float> weight(scan::kViewSamples);
  tomrec::build_radial_weight(weight.data(), NX, NY);
  const int threads = tomio::available_threads();

  std::vector<float> fast_all = input;
  const double t_all = seconds_of(
      [&] { tomrec::filter_views(fast_all.data(), weight.data(), NX, NY, NZ, threads, {}); });
  std::vector<float> fast_one = input;
  const double t_one =
      seconds_of([&] { tomrec::filter_views(fast_one.data(), weight.data(), NX, NY, NZ, 1, {}); });

  std::printf("filtering 256 views of 256 x 256\n");
  std::printf("fast, %d threads: %8.3f s\n", threads, t_all);
  std::printf("fast, 1 thread:  %8.3f s\n", t_one);
  bool same = std::memcmp(fast_all.data(), fast_one.data(), fast_all.size() * sizeof(float)) == 0;
  if (run_oracle) {
    std::vector<float> literal = input;
    std::vector<float> plane_re(scan::kViewSamples), plane_im(scan::kViewSamples),
        w(scan::kViewSamples);
    const double t_oracle = seconds_of([&] {
      oracle::filter_projections(literal.data(), plane_re.data(), plane_im.data(), w.data(), NX, NY,
                                 NZ);
    });
    std::printf("literal rendering: %8.3f s\n", t_oracle);
    std::printf("speed-up: %.1fx on %d threads, %.1fx on 1 thread\n", t_oracle / t_all, threads,
                t_oracle / t_one);
    same =
        same && std::memcmp(fast_all.data(), literal.data(), literal.size() * sizeof(float)) == 0;
  }
  std::printf("results %s\n", same ? "bit-identical" : "DIFFER");
  return same ? 0 : 1;
}
