// Kernel-side bridge to the workbook's Office.js objects.
#include "common/module.hpp"

namespace panticle {
namespace {
void startup(pybind11::module_) {}
tv::OnceModule module_def("panticle", "Office.js object bridge for Python code running in a kernel.", &startup);
}  // namespace
}  // namespace panticle

PyMODINIT_FUNC PyInit_panticle() { return panticle::module_def.init(); }
