// PyInit_pybind: builds the package tree nubiro.cpu.pybind and its submodules.
#include "bindings/module.hpp"

#include "bindings/classes.hpp"
#include "bindings/numpy.hpp"

namespace nubiro::py {

void add(PyObject* module, const char* name, Ref obj) {
    check(PyModule_AddObject(module, name, obj.get()));
    obj.release();  // stolen on success
}

void add_type(PyObject* module, PyTypeObject* type) {
    Ref name = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    add(module, str(name.get()).c_str(), Ref::borrow(reinterpret_cast<PyObject*>(type)));
}

namespace {

bool initialised = false;

PyModuleDef root_def = {PyModuleDef_HEAD_INIT, "pybind", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

// Attaches `child` to `parent` as `attr` and enters it in sys.modules as `full_name`.
void attach(PyObject* sys_modules, PyObject* parent, const char* attr, PyObject* child, const char* full_name) {
    check(PyObject_SetAttrString(parent, attr, child));
    check(PyDict_SetItemString(sys_modules, full_name, child));
}

PyObject* init() {
    if (initialised) raise(PyExc_ImportError, "nubiro.cpu.pybind can be initialised only once per process");
    np::load();
    Ref sys = check(PyImport_ImportModule("sys"));
    Ref sys_modules = check(PyObject_GetAttrString(sys.get(), "modules"));
    Ref root = check(PyModule_Create(&root_def));

    Ref panic = check(PyErr_NewException("nubiro.cpu.pybind.PanicException", PyExc_BaseException, nullptr));
    set_panic_exception(panic.get());
    add(root.get(), "PanicException", panic);

    Ref geometry = check(PyModule_New("geometry"));
    add_geometry_bases(geometry.get());
    add_point_cloud(geometry.get());
    add_bounding_box(geometry.get());
    add_search_classes(geometry.get());
    add_mesh_base(geometry.get());
    add_triangle_mesh(geometry.get());
    add_voxel_grid(geometry.get());
    add_rotation_functions(geometry.get());
    attach(sys_modules.get(), root.get(), "geometry", geometry.get(), kGeometry);

    Ref utility = check(PyModule_New("utility"));
    add_containers(utility.get());
    add_verbosity(utility.get());
    Ref random = check(PyModule_New("random"));
    add_random(random.get());
    check(PyObject_SetAttrString(utility.get(), "random", random.get()));
    attach(sys_modules.get(), root.get(), "utility", utility.get(), kUtility);
    check(PyDict_SetItemString(sys_modules.get(), "nubiro.cpu.pybind.utility.random", random.get()));

    Ref io = check(PyModule_New("io"));
    add_io(io.get());
    attach(sys_modules.get(), root.get(), "io", io.get(), kIo);

    Ref pipelines = check(PyModule_New("pipelines"));
    Ref registration = check(PyModule_New("registration"));
    add_feature(registration.get());
    add_local_registration(registration.get());
    add_global_registration(registration.get());
    check(PyObject_SetAttrString(pipelines.get(), "registration", registration.get()));
    attach(sys_modules.get(), root.get(), "pipelines", pipelines.get(), "nubiro.cpu.pybind.pipelines");
    check(PyDict_SetItemString(sys_modules.get(), kRegistration, registration.get()));

    add(root.get(), "__version__", check(PyUnicode_FromString("2.1.0")));

    Ref internal = check(PyModule_New("_internal"));
    add_internal(internal.get());
    add_random_hooks(internal.get());
    add_internal_voxel_map(internal.get());
    add_internal_voxel_grid(internal.get());
    add_orientation_hooks(internal.get());
    check(PyObject_SetAttrString(root.get(), "_internal", internal.get()));

    // The private module of the package's own API beyond the specified tree. It is made here,
    // by the same binary, so both modules share one class registry (a PointCloud is the same
    // type on either side and is passed without a copy), one NumPy table and one worker pool.
    // It is entered in sys.modules only, not as an attribute of the specified module.
    Ref native = check(PyModule_New(kNative));
    add_native_formats(native.get());
    add_native_filters(native.get());
    add_native_segmentation(native.get());
    add_native_measure(native.get());
    add_native_align(native.get());
    add_native_operations(native.get());
    check(PyDict_SetItemString(sys_modules.get(), kNative, native.get()));

    initialised = true;
    return root.release();
}

}  // namespace
}  // namespace nubiro::py

PyMODINIT_FUNC PyInit_pybind(void) {
    return nubiro::py::guarded<PyObject*>(nullptr, [] { return nubiro::py::init(); });
}
