// The extension module tomsim._core: the parts of the bindings, and the one
// translation of the library's failures into Python exceptions.
#include <exception>
#include <string>

#include "core/version.h"
#include "python/src/bindings.h"
#include "core/failure.h"

namespace {

const char* kind_name(tomio::FailureKind kind) {
  switch (kind) {
    case tomio::FailureKind::input: return "input";
    case tomio::FailureKind::output: return "output";
    case tomio::FailureKind::usage: return "usage";
    case tomio::FailureKind::run: break;
  }
  return "run";
}

// A failure of the library becomes the exception class of its kind
// (tomsim.TomsimError and its subclasses, defined in Python), carrying the
// message the programs print. Other exceptions go on to pybind11's own
// translation (std::bad_alloc to MemoryError, and so on).
void translate_failures(std::exception_ptr failure) {
  try {
    if (failure) std::rethrow_exception(failure);
  } catch (const tomio::Failure& f) {
    namespace py = pybind11;
    const py::object make = py::module_::import("tomsim._errors").attr("failure");
    const py::object error = make(kind_name(f.kind()), f.detail());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  }
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "tomproj, tomrec and the study tools on numpy arrays";
  m.attr("version") = TOM_VERSION;
  pybind11::register_exception_translator(&translate_failures);
  tomsim::bind_core(m);
  tomsim::bind_physics(m);
  tomsim::bind_quant(m);
  tomsim::bind_cone(m);
  tomsim::bind_geometry(m);
  tomsim::bind_fdk_circular(m);
  tomsim::bind_spectral(m);
}
