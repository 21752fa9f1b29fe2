// The module definition: it registers the one class and nothing else.
//
// Initialised in two phases: PyInit returns the definition, and the interpreter calls exec on
// each module object it makes from it, so that every module object (one per interpreter, or
// a fresh one after its removal from sys.modules) gets a class of its own, kept in the
// module's state as well as under its name.
#include "lib/methods.hpp"

namespace {

struct ModuleState {
    PyObject* tokenizer_type;
};

ModuleState* state_of_module(PyObject* m) {
    return static_cast<ModuleState*>(PyModule_GetState(m));
}

int module_exec(PyObject* m) {
    PyObject* type = larkspur::py::create_tokenizer_type(m);
    if (!type) return -1;
    state_of_module(m)->tokenizer_type = type;
    Py_INCREF(type);
    if (PyModule_AddObject(m, "PyLarkspurTokenization", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

int module_traverse(PyObject* m, visitproc visit, void* arg) {
    ModuleState* st = state_of_module(m);
    if (st) Py_VISIT(st->tokenizer_type);
    return 0;
}

int module_clear(PyObject* m) {
    ModuleState* st = state_of_module(m);
    if (st) Py_CLEAR(st->tokenizer_type);
    return 0;
}

void module_free(void* m) { module_clear(static_cast<PyObject*>(m)); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Each module object has its own class, but progress lines reach sys.stderr through
    // PyGILState_Ensure, which the C API does not promise to support beside other
    // interpreters; it finds the right one for interpreters that share the main GIL, so
    // those may load the module, and one with a GIL of its own may not.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // The borrow guard keeps a writer apart from readers, but readers rely on the GIL among
    // themselves: encode refreshes the object's cache of int objects under a shared borrow,
    // and the progress sink holds a borrowed sys.stderr before taking its own reference. A
    // free-threaded interpreter therefore turns the GIL back on when it imports the module.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "LarkspurTokenization",
    "",  // the module docstring is empty
    sizeof(ModuleState),
    nullptr,
    kSlots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_LarkspurTokenization() { return PyModuleDef_Init(&kModule); }
