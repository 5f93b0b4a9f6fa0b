// Conversions between numpy arrays and the library's flat float32 arrays.
#include <sstream>
#include <stdexcept>

#include "core/parallel.h"
#include "core/scan_geometry.h"
#include "python/src/bindings.h"

namespace tomsim {

std::size_t Layout::samples() const {
  std::size_t n = 1;
  for (py::ssize_t d : shape) n *= static_cast<std::size_t>(d);
  return n;
}

std::string Layout::shape_text() const {
  std::ostringstream s;
  s << '(';
  for (std::size_t i = 0; i < shape.size(); ++i) s << (i ? ", " : "") << shape[i];
  s << ')';
  return s.str();
}

const Layout& volume_layout() {
  static const Layout layout{"Volume", {scan::NZ, scan::NY, scan::NX}};
  return layout;
}

const Layout& stack_layout() {
  static const Layout layout{"ProjectionStack", {scan::kViews, scan::kRows, scan::kColumns}};
  return layout;
}

Samples as_samples(const py::handle& object, const char* argument) {
  if (object.is_none()) throw py::type_error(std::string(argument) + " must be an array, not None");
  // An array that is already float32 in C order passes through untouched;
  // anything else is converted once, as numpy.ascontiguousarray would.
  Samples a = Samples::ensure(object);
  if (!a) {
    throw py::type_error(std::string(argument) + " cannot be read as an array of float32 samples");
  }
  return a;
}

namespace {

std::string shape_of(const Samples& a) {
  std::ostringstream s;
  s << '(';
  for (py::ssize_t i = 0; i < a.ndim(); ++i) s << (i ? ", " : "") << a.shape(i);
  if (a.ndim() == 1) s << ',';
  s << ')';
  return s.str();
}

}  // namespace

bool has_batch_axis(const Samples& a, const Layout& layout) {
  return a.ndim() == static_cast<py::ssize_t>(layout.shape.size()) + 1;
}

std::size_t batch_size(const Samples& a, const Layout& layout, bool batch, const char* argument) {
  const py::ssize_t rank = static_cast<py::ssize_t>(layout.shape.size());
  const bool batched = batch && a.ndim() == rank + 1;
  bool fits = a.ndim() == rank || batched;
  for (py::ssize_t i = 0; fits && i < rank; ++i) {
    fits = a.shape(a.ndim() - rank + i) == layout.shape[static_cast<std::size_t>(i)];
  }
  if (batched && fits && a.shape(0) < 1) fits = false;
  if (!fits) {
    std::string expected = layout.shape_text();
    if (batch) expected += " or (K, " + expected.substr(1) + " with K >= 1";
    throw py::value_error(std::string(argument) + " must be a " + layout.name + " of shape " +
                          expected + ", not " + shape_of(a));
  }
  return batched ? static_cast<std::size_t>(a.shape(0)) : 1;
}

Samples new_samples(const Layout& layout, std::size_t count, bool batched) {
  std::vector<py::ssize_t> shape;
  if (batched) shape.push_back(static_cast<py::ssize_t>(count));
  shape.insert(shape.end(), layout.shape.begin(), layout.shape.end());
  return Samples(shape);
}

int thread_count(const py::object& threads) {
  if (threads.is_none()) return tomio::available_threads();
  if (py::isinstance<py::bool_>(threads) || !py::isinstance<py::int_>(threads)) {
    throw py::type_error("threads must be a whole number or None");
  }
  const long long n = threads.cast<long long>();
  if (n < 1) throw py::value_error("threads must be at least 1, not " + std::to_string(n));
  return n > 4096 ? 4096 : static_cast<int>(n);
}

ProgressSink::ProgressSink(py::object callback, long long total)
    : callback_(std::move(callback)), total_(total) {}

void ProgressSink::step() {
  if (callback_.is_none()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const long long done = ++done_;
  if (failed_) return;
  py::gil_scoped_acquire gil;
  try {
    callback_(done, total_);
  } catch (py::error_already_set& e) {
    failed_ = true;
    error_ = std::make_unique<py::error_already_set>(std::move(e));
  }
}

std::function<void(int)> ProgressSink::on_item() {
  // (Never empty: some library functions call it unconditionally.)
  if (callback_.is_none()) return [](int) {};
  return [this](int) { step(); };
}

void ProgressSink::rethrow() {
  if (error_) {
    py::error_already_set e = std::move(*error_);
    error_.reset();
    throw e;
  }
}

}  // namespace tomsim
