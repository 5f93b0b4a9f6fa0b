// The scan geometry (core/geometry.h, core/geometry_file.h) as the value
// tomsim._core.GeometryValue, which tomsim.Geometry (geometry.py) wraps.
// Every check of a geometry is the library's find_invalid: a geometry it
// refuses raises a usage failure (tomsim.TomsimUsageError, a ValueError)
// that names the field by its Python keyword and by its geometry-file name.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "core/failure.h"
#include "core/geometry.h"
#include "core/geometry_file.h"
#include "core/metaimage.h"
#include "python/src/bindings.h"

namespace tomsim {
namespace {

using geom::Geometry;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The keyword of tomsim.Geometry for a field of the geometry file.
std::string keyword_of(const std::string& field) {
  static const std::pair<const char*, const char*> names[] = {
      {"volume.shape", "volume_shape"},     {"volume.voxel_size", "voxel_size"},
      {"volume.offset", "volume_offset"},   {"detector.shape", "detector_shape"},
      {"detector.pitch", "detector_pitch"}, {"detector.offset", "detector_offset"},
      {"source.sod", "sod"},                {"source.sdd", "sdd"},
      {"views.count", "views"},             {"views.start", "start"},
      {"views.arc", "arc"},                 {"views.angles", "angles"},
      {"views.vectors", "vectors"},         {"trace", "trace"}};
  const std::size_t bracket = field.find('[');
  const std::string base = field.substr(0, bracket);
  const std::string index = bracket == std::string::npos ? "" : field.substr(bracket);
  for (const auto& n : names)
    if (base == n.first) return n.second + index;
  return field;
}

// The geometry, checked; a refused one is a usage failure naming the field.
Geometry checked(Geometry g) {
  if (const auto problem = geom::find_invalid(g)) {
    const std::string keyword = keyword_of(problem->field);
    tomio::fail_usage(keyword == problem->field ? problem->field + ": " + problem->reason
                                                : keyword + " (" + problem->field + "): " + problem->reason);
  }
  return g;
}

[[noreturn]] void argument_error(const char* name, const std::string& what) {
  throw py::value_error(std::string(name) + " must be " + what);
}

std::vector<py::object> items_of(const py::handle& object, const char* name, std::size_t n, const std::string& what) {
  if (py::isinstance<py::str>(object) || py::isinstance<py::bytes>(object) || !py::hasattr(object, "__iter__"))
    argument_error(name, what);
  std::vector<py::object> items;
  for (const py::handle item : object) items.push_back(py::reinterpret_borrow<py::object>(item));
  if (items.size() != n) argument_error(name, what + ", not " + std::to_string(items.size()) + " values");
  return items;
}

std::int64_t whole_of(const py::handle& item, const char* name, const std::string& what) {
  if (py::isinstance<py::bool_>(item) || !PyIndex_Check(item.ptr())) argument_error(name, what);
  try {
    return py::cast<std::int64_t>(py::reinterpret_steal<py::object>(PyNumber_Index(item.ptr())));
  } catch (const py::cast_error&) {
    argument_error(name, what + " (within 64 bits)");
  }
}

double real_of(const py::handle& item, const char* name, const std::string& what) {
  if (py::isinstance<py::str>(item) || py::isinstance<py::bool_>(item)) argument_error(name, what);
  PyObject* f = PyNumber_Float(item.ptr());
  if (!f) {
    PyErr_Clear();
    argument_error(name, what);
  }
  const double v = PyFloat_AsDouble(f);
  Py_DECREF(f);
  return v;
}

std::vector<std::int64_t> wholes(const py::handle& object, const char* name, std::size_t n, const std::string& what) {
  std::vector<std::int64_t> out;
  for (const py::object& item : items_of(object, name, n, what)) out.push_back(whole_of(item, name, what));
  return out;
}

// n numbers; with `one_for_all` a single number stands for all of them.
std::vector<double> reals(const py::handle& object, const char* name, std::size_t n, const std::string& what,
                          bool one_for_all) {
  if (one_for_all && !py::hasattr(object, "__iter__") && !py::isinstance<py::str>(object))
    return std::vector<double>(n, real_of(object, name, what));
  std::vector<double> out;
  for (const py::object& item : items_of(object, name, n, what)) out.push_back(real_of(item, name, what));
  return out;
}

void set_volume(Geometry& g, const py::object& shape, const py::object& voxel_size, const py::object& offset) {
  const auto n = wholes(shape, "volume_shape", 3, "3 whole numbers (nz, ny, nx)");
  g.grid.nz = n[0];
  g.grid.ny = n[1];
  g.grid.nx = n[2];
  const auto d = reals(voxel_size, "voxel_size", 3, "a number or 3 numbers (dz, dy, dx)", true);
  g.grid.dz = d[0];
  g.grid.dy = d[1];
  g.grid.dx = d[2];
  const auto o = reals(offset, "volume_offset", 3, "3 numbers (z, y, x)", false);
  g.grid.origin_z = o[0];
  g.grid.origin_y = o[1];
  g.grid.origin_x = o[2];
}

void set_detector_shape(Geometry& g, const py::object& shape) {
  const auto n = wholes(shape, "detector_shape", 2, "2 whole numbers (rows, columns)");
  g.rows = n[0];
  g.columns = n[1];
}

void set_trace(Geometry& g, const py::object& trace) {
  if (trace.is_none()) return;
  const auto pair = items_of(trace, "trace", 2, "None or the pair (min, max) of (z, y, x) bounds");
  const auto lo = reals(pair[0], "trace", 3, "None or the pair (min, max) of (z, y, x) bounds", false);
  const auto hi = reals(pair[1], "trace", 3, "None or the pair (min, max) of (z, y, x) bounds", false);
  g.trace = geom::trace_box_zyx(lo.data(), hi.data());
}

Geometry make_circular(const py::object& volume_shape, const py::object& voxel_size, const py::object& volume_offset,
                       const py::object& detector_shape, const py::object& detector_pitch,
                       const py::object& detector_offset, const py::object& sod, const py::object& sdd,
                       const py::object& views, double start, double arc, const py::object& angles,
                       const py::object& trace) {
  Geometry g;
  set_volume(g, volume_shape, voxel_size, volume_offset);
  set_detector_shape(g, detector_shape);
  const auto p = reals(detector_pitch, "detector_pitch", 2, "a number or 2 numbers (row, column)", true);
  g.pitch_row = p[0];
  g.pitch_column = p[1];
  const auto o = reals(detector_offset, "detector_offset", 2, "2 numbers (v, u)", false);
  g.offset_v = o[0];
  g.offset_u = o[1];
  if (sod.is_none()) throw py::value_error("sod (the source-to-isocentre distance) is required");
  if (sdd.is_none()) throw py::value_error("sdd (the source-to-detector distance) is required");
  g.sod = real_of(sod, "sod", "a number");
  g.sdd = real_of(sdd, "sdd", "a number");
  if (views.is_none() == angles.is_none())
    throw py::value_error("give views=N (with start and arc) or angles=[...], not " +
                          std::string(views.is_none() ? "neither" : "both"));
  g.start_deg = start;
  g.arc_deg = arc;
  if (!views.is_none()) {
    g.form = geom::ViewForm::circle;
    g.view_count = whole_of(views, "views", "a whole number (the view count)");
  } else {
    g.form = geom::ViewForm::angles;
    const Doubles a = Doubles::ensure(angles);
    if (!a || a.ndim() != 1) throw py::value_error("angles must be a 1-D sequence of angles in degrees");
    g.angles_deg.assign(a.data(), a.data() + a.size());
  }
  set_trace(g, trace);
  return checked(std::move(g));
}

Geometry make_free(const py::object& vectors, const py::object& volume_shape, const py::object& voxel_size,
                   const py::object& volume_offset, const py::object& detector_shape, const py::object& trace) {
  Geometry g;
  set_volume(g, volume_shape, voxel_size, volume_offset);
  set_detector_shape(g, detector_shape);
  g.form = geom::ViewForm::vectors;
  const Doubles v = Doubles::ensure(vectors);
  if (!v || v.ndim() > 2 || (v.ndim() == 2 && v.shape(1) != 12) || v.ndim() == 0)
    throw py::value_error("vectors must be an array (views, 12): source, detector centre, u, v of each view");
  g.vectors.assign(v.data(), v.data() + v.size());
  set_trace(g, trace);
  return checked(std::move(g));
}

py::array_t<double> vectors_of(const Geometry& g) {
  const geom::ConeVectors cv = geom::cone_vectors(g);
  py::array_t<double> out({static_cast<py::ssize_t>(cv.views()), py::ssize_t{12}});
  std::copy(cv.vectors.begin(), cv.vectors.end(), out.mutable_data());
  return out;
}

// The points of index triples given as three flat arrays of one size.
template <class PointOf>
py::array_t<double> points(const Doubles& a, const Doubles& b, const Doubles& c, PointOf&& point_of) {
  if (a.size() != b.size() || a.size() != c.size()) throw py::value_error("the index arrays differ in size");
  py::array_t<double> out({static_cast<py::ssize_t>(a.size()), py::ssize_t{3}});
  double* o = out.mutable_data();
  for (py::ssize_t k = 0; k < a.size(); ++k) {
    const geom::Point3 p = point_of(a.data()[k], b.data()[k], c.data()[k]);
    o[3 * k + 0] = p.x;
    o[3 * k + 1] = p.y;
    o[3 * k + 2] = p.z;
  }
  return out;
}

const char* form_name(geom::ViewForm form) {
  switch (form) {
    case geom::ViewForm::circle: return "circle";
    case geom::ViewForm::angles: return "angles";
    case geom::ViewForm::vectors: return "vectors";
  }
  return "?";
}

}  // namespace

void bind_geometry(py::module_& m) {
  using py::arg;
  py::class_<Geometry>(m, "GeometryValue", "A valid scan geometry of the library (see tomsim.Geometry).")
      .def_static("circular", &make_circular, arg("volume_shape"), arg("voxel_size"), arg("volume_offset"),
                  arg("detector_shape"), arg("detector_pitch"), arg("detector_offset"), arg("sod"), arg("sdd"),
                  arg("views"), arg("start"), arg("arc"), arg("angles"), arg("trace"))
      .def_static("free", &make_free, arg("vectors"), arg("volume_shape"), arg("voxel_size"),
                  arg("volume_offset"), arg("detector_shape"), arg("trace"))
      .def_static("defined_preset", &geom::defined_geometry)
      .def_static("from_toml_text",
                  [](const std::string& text, const std::string& source, const std::string& table) {
                    return geom::parse_geometry_toml(text, source, table);
                  },
                  arg("text"), arg("source"), arg("table"))
      .def_static("from_toml_file", &geom::read_geometry_file, arg("path"), arg("table"))
      .def("toml_text", &geom::geometry_toml)
      .def("write_toml", [](const Geometry& g, const std::string& path) { geom::write_geometry_file(path, g); },
           arg("path"))
      .def("vectors", &vectors_of)
      .def("check_cone_walk", &geom::check_cone_walk)
      .def("angles",
           [](const Geometry& g) -> py::object {
             if (g.form == geom::ViewForm::vectors) return py::none();
             const std::vector<double> a = geom::view_angles_deg(g);
             return py::array_t<double>(static_cast<py::ssize_t>(a.size()), a.data());
           })
      .def("voxel_centres",
           [](const Geometry& g, const Doubles& iz, const Doubles& iy, const Doubles& ix) {
             return points(iz, iy, ix, [&](double z, double y, double x) { return geom::voxel_centre(g.grid, z, y, x); });
           },
           arg("iz"), arg("iy"), arg("ix"))
      .def("pixel_centres",
           [](const Geometry& g, const Doubles& view, const Doubles& row, const Doubles& column) {
             const geom::ConeVectors cv = geom::cone_vectors(g);
             for (py::ssize_t k = 0; k < view.size(); ++k) {
               const double v = view.data()[k];
               if (!(v >= 0 && v < static_cast<double>(cv.views())) || v != static_cast<double>(static_cast<std::int64_t>(v)))
                 throw py::value_error("view " + geom::number_text(v) + " is not a view of this geometry (0 ... " +
                                       std::to_string(cv.views() - 1) + ")");
             }
             return points(view, row, column, [&](double v, double r, double c) {
               return geom::pixel_centre(cv, static_cast<std::int64_t>(v), r, c);
             });
           },
           arg("view"), arg("row"), arg("column"))
      .def("metaimage_header",
           [](const Geometry& g, bool stack, const std::string& data_file) {
             return toolkit::metaimage_header(stack ? toolkit::FileKind::Stack : toolkit::FileKind::Volume, g,
                                              data_file);
           },
           arg("stack"), arg("data_file"))
      .def("matches_defined", &geom::matches_defined)
      .def_property_readonly("defined", [](const Geometry& g) { return g.defined; })
      .def_property_readonly("form", [](const Geometry& g) { return form_name(g.form); })
      .def_property_readonly("volume_shape", [](const Geometry& g) { return py::make_tuple(g.grid.nz, g.grid.ny, g.grid.nx); })
      .def_property_readonly("voxel_size", [](const Geometry& g) { return py::make_tuple(g.grid.dz, g.grid.dy, g.grid.dx); })
      .def_property_readonly("volume_offset",
                             [](const Geometry& g) { return py::make_tuple(g.grid.origin_z, g.grid.origin_y, g.grid.origin_x); })
      .def_property_readonly("detector_shape", [](const Geometry& g) { return py::make_tuple(g.rows, g.columns); })
      .def_property_readonly("detector_pitch", [](const Geometry& g) { return py::make_tuple(g.pitch_row, g.pitch_column); })
      .def_property_readonly("detector_offset", [](const Geometry& g) { return py::make_tuple(g.offset_v, g.offset_u); })
      .def_property_readonly("sod", [](const Geometry& g) { return g.sod; })
      .def_property_readonly("sdd", [](const Geometry& g) { return g.sdd; })
      .def_property_readonly("views", [](const Geometry& g) { return g.views(); })
      .def_property_readonly("start", [](const Geometry& g) { return g.start_deg; })
      .def_property_readonly("arc", [](const Geometry& g) { return g.arc_deg; })
      .def_property_readonly("trace",
                             [](const Geometry& g) -> py::object {
                               if (!g.trace) return py::none();
                               const geom::TraceBox& t = *g.trace;
                               return py::make_tuple(py::make_tuple(t.z_lo, t.y_lo, t.x_lo),
                                                     py::make_tuple(t.z_hi, t.y_hi, t.x_hi));
                             })
      .def("__eq__", [](const Geometry& a, const Geometry& b) { return a == b; })
      .def("__ne__", [](const Geometry& a, const Geometry& b) { return a != b; });
}

}  // namespace tomsim
