// nanobind contender: the idiomatic def_rw binding of a plain struct.
#include <cstdint>
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace {
struct Counts {
    std::int32_t matching = 0;
    std::int32_t nonMatching = 0;
    std::int32_t nonMissing = 0;
    std::int32_t total = 0;
};
}  // namespace

NB_MODULE(_bench_nanobind, m) {
    nb::class_<Counts>(m, "Counts")
        .def(nb::init<>())
        .def_rw("matching", &Counts::matching)
        .def_rw("nonMatching", &Counts::nonMatching)
        .def_rw("nonMissing", &Counts::nonMissing)
        .def_rw("total", &Counts::total);
}
