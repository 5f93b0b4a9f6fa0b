#include "recon/cone_pair.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "operators/cone_projector.h"

namespace quant {
namespace {

// The vectors of some of a scan's views, in the given order.
geom::ConeVectors views_of(const geom::ConeVectors& rays, const std::vector<int>& views) {
  geom::ConeVectors some;
  some.rows = rays.rows;
  some.columns = rays.columns;
  some.vectors.reserve(views.size() * 12);
  for (int v : views) {
    const double* first = rays.vectors.data() + static_cast<std::size_t>(v) * 12;
    some.vectors.insert(some.vectors.end(), first, first + 12);
  }
  return some;
}

void hash_bytes(std::uint64_t& h, const void* data, std::size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    h ^= bytes[i];
    h *= 1099511628211ull;
  }
}

}  // namespace

std::string scan_key(const geom::VolumeGrid& grid, const geom::ConeVectors& rays) {
  std::uint64_t h = 14695981039346656037ull;
  const std::int64_t sizes[5] = {grid.nz, grid.ny, grid.nx, rays.rows, rays.columns};
  const double spacing[6] = {grid.dz, grid.dy, grid.dx, grid.origin_z, grid.origin_y, grid.origin_x};
  hash_bytes(h, sizes, sizeof sizes);
  hash_bytes(h, spacing, sizeof spacing);
  hash_bytes(h, rays.vectors.data(), rays.vectors.size() * sizeof(double));
  char text[32];
  std::snprintf(text, sizeof text, "scan-%016llx", static_cast<unsigned long long>(h));
  return text;
}

ProjectorPair cone_pair(const geom::VolumeGrid& grid, const geom::ConeVectors& rays) {
  tomproj::check_cone_scan(grid, rays);
  const auto shared_grid = std::make_shared<const geom::VolumeGrid>(grid);
  const auto shared_rays = std::make_shared<const geom::ConeVectors>(rays);
  ProjectorPair pair;
  pair.views = rays.views();
  pair.view_samples = rays.rows * rays.columns;
  pair.volume_samples = grid.voxels();
  pair.cache_key = scan_key(grid, rays);
  pair.project_view = [shared_grid, shared_rays](int view, const float* x, float* out) {
    const geom::ConeVectors one = views_of(*shared_rays, {view});
    tomproj::cone_project(*shared_grid, one, &x, 1, &out, 1);
  };
  const std::int64_t view_samples = pair.view_samples;
  pair.adjoint_views = [shared_grid, shared_rays, view_samples](const float* stack, const std::vector<int>& views,
                                                                float* volume, int threads) {
    // The views' samples side by side, as the transpose of those views reads them.
    std::vector<float> some(views.size() * static_cast<std::size_t>(view_samples));
    for (std::size_t i = 0; i < views.size(); ++i)
      std::memcpy(some.data() + i * static_cast<std::size_t>(view_samples),
                  stack + static_cast<std::size_t>(views[i]) * static_cast<std::size_t>(view_samples),
                  static_cast<std::size_t>(view_samples) * sizeof(float));
    tomproj::cone_project_adjoint(*shared_grid, views_of(*shared_rays, views), some.data(), volume, threads);
  };
  return pair;
}

}  // namespace quant
