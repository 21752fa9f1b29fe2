// The module definition: it registers the one class and nothing else.
#include "lib/methods.hpp"

namespace larkspur::py {
int prepare_type();
}

namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "LarkspurTokenization",
    "",  // the module docstring is empty
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_LarkspurTokenization() {
    if (larkspur::py::prepare_type() < 0) return nullptr;
    PyObject* m = PyModule_Create(&kModule);
    if (!m) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(&larkspur::py::TokenizerType);
    Py_INCREF(type);
    if (PyModule_AddObject(m, "PyLarkspurTokenization", type) < 0) {
        Py_DECREF(type);
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
