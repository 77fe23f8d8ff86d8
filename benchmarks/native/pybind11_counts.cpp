// pybind11 contender: the idiomatic def_readwrite binding of a plain struct.
#include <cstdint>
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace {
struct Counts {
    std::int32_t matching = 0;
    std::int32_t nonMatching = 0;
    std::int32_t nonMissing = 0;
    std::int32_t total = 0;
};
}  // namespace

PYBIND11_MODULE(_bench_pybind11, m) {
    py::class_<Counts>(m, "Counts")
        .def(py::init<>())
        .def_readwrite("matching", &Counts::matching)
        .def_readwrite("nonMatching", &Counts::nonMatching)
        .def_readwrite("nonMissing", &Counts::nonMissing)
        .def_readwrite("total", &Counts::total);
}
