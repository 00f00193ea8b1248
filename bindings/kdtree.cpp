// KDTreeFlann and the search-parameter classes.
#include "bindings/module.hpp"
#include "bindings/vectors.hpp"
#include "core/geometry/point_cloud.hpp"
#include "core/kdtree.hpp"
#include "core/number_text.hpp"
#include "core/registration/feature.hpp"
#include "core/search_param.hpp"

namespace nubiro::py {

using ParamObject = Object<SearchParam>;
using TreeObject = Object<KDTree>;
using CloudObject = Object<geometry::PointCloud>;
using FeatureObject = Object<registration::Feature>;

namespace {

// ---- search parameters -----------------------------------------------------------------------

SearchParam& param(PyObject* self) { return value_of<SearchParam>(self); }

PyObject* init_knn(PyObject* self, Args& a) {
    std::int32_t knn = a.get<std::int32_t>(0, 30);
    WriteAccess w(self);
    param(self) = {SearchParam::KNN, knn, 0.0, 0};
    return none();
}

PyObject* init_radius(PyObject* self, Args& a) {
    double radius = a.get<double>(0);
    WriteAccess w(self);
    param(self) = {SearchParam::Radius, 0, radius, 0};
    return none();
}

PyObject* init_hybrid(PyObject* self, Args& a) {
    double radius = a.get<double>(0);
    std::int32_t max_nn = a.get<std::int32_t>(1);
    WriteAccess w(self);
    param(self) = {SearchParam::Hybrid, 0, radius, max_nn};
    return none();
}

PyObject* get_search_type(PyObject* self, Args&) {
    ReadAccess r(self);
    return PyLong_FromLong(param(self).kind);
}

PyObject* param_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        ReadAccess r(self);
        const SearchParam& p = param(self);
        std::string text;
        switch (p.kind) {
            case SearchParam::KNN:
                text = "KDTreeSearchParamKNN(knn=" + std::to_string(p.knn) + ")";
                break;
            case SearchParam::Radius:
                text = "KDTreeSearchParamRadius(radius=" + text::format_shortest(p.radius) + ")";
                break;
            case SearchParam::Hybrid:
                text = "KDTreeSearchParamHybrid(radius=" + text::format_shortest(p.radius) +
                       ", max_nn=" + std::to_string(p.max_nn) + ")";
                break;
        }
        return PyUnicode_FromString(text.c_str());
    });
}

// ---- KDTreeFlann -----------------------------------------------------------------------------

// Builds from a (d, N) float64 array whose columns are the points.
bool build_from_matrix(KDTree& tree, const MatrixView& m) {
    const auto d = static_cast<std::size_t>(m.rows), n = static_cast<std::size_t>(m.cols);
    std::vector<double> coords(d * n);
    for (std::size_t i = 0; i < d; ++i)
        for (std::size_t j = 0; j < n; ++j) coords[j * d + i] = m.at(static_cast<np::npy_intp>(i), static_cast<np::npy_intp>(j));
    return tree.build(coords.data(), d, n);
}

bool build_from_feature(KDTree& tree, const registration::Feature& f) {
    return tree.build(f.data.data(), static_cast<std::size_t>(f.dimension), static_cast<std::size_t>(f.num));
}

// Replaces the index, holding write access for the whole rebuild.
template <class Build>
bool rebuild(PyObject* self, Build&& build) {
    WriteAccess w(self);
    value_of<KDTree>(self) = build();
    return !value_of<KDTree>(self).empty();
}

KDTree tree_from_cloud(CloudObject* cloud) {
    KDTree tree;
    ReadAccess r(object_of(cloud));
    released([&] { tree.build_from_points(cloud->value.points.span()); });
    return tree;
}

KDTree tree_from_feature(FeatureObject* feature) {
    KDTree tree;
    ReadAccess r(object_of(feature));
    build_from_feature(tree, feature->value);
    return tree;
}

KDTree tree_from_matrix(const MatrixView& m) {
    KDTree tree;
    build_from_matrix(tree, m);
    return tree;
}

PyObject* init_tree(PyObject* self, Args& a) {
    PyObject* data = a.present(0) ? a.raw(0) : nullptr;
    if (!data) {
        rebuild(self, [] { return KDTree(); });
    } else if (PyObject_TypeCheck(data, type_of<CloudObject>())) {
        rebuild(self, [&] { return tree_from_cloud(reinterpret_cast<CloudObject*>(data)); });
    } else if (PyObject_TypeCheck(data, type_of<FeatureObject>())) {
        rebuild(self, [&] { return tree_from_feature(reinterpret_cast<FeatureObject*>(data)); });
    } else {
        MatrixView m = Convert<MatrixView>::from(data);
        rebuild(self, [&] { return tree_from_matrix(m); });
    }
    return none();
}

PyObject* set_geometry(PyObject* self, Args& a) {
    auto cloud = a.get<Instance<CloudObject>>(0);
    return boolean(rebuild(self, [&] { return tree_from_cloud(cloud.ptr); }));
}

PyObject* set_feature(PyObject* self, Args& a) {
    auto feature = a.get<Instance<FeatureObject>>(0);
    return boolean(rebuild(self, [&] { return tree_from_feature(feature.ptr); }));
}

PyObject* set_matrix_data(PyObject* self, Args& a) {
    MatrixView m = a.get<MatrixView>(0);
    return boolean(rebuild(self, [&] { return tree_from_matrix(m); }));
}

// A query of any dimension: the elements of a contiguous float64 array in memory order.
struct QueryVector {
    const double* data;
    std::size_t size;
};

}  // namespace

template <>
struct Convert<QueryVector> {
    static constexpr bool bare = false;
    static QueryVector from(PyObject* o) {
        if (np::is_array(o)) {
            np::ArrayInfo a = np::info(o);
            if (a.is(np::Float64) && a.contiguous())
                return {reinterpret_cast<const double*>(a.data), static_cast<std::size_t>(a.size())};
        }
        raise_cannot_convert(o, "PyArray<T, D>");
    }
};

namespace {

// The x-d query. A float64 array in the wrong layout gets the bare message of the fixed-size
// vector arguments; anything else is a conversion error naming the argument.
QueryVector xd_query(const Args& a) {
    PyObject* o = a.raw(0);
    if (np::is_array(o)) {
        np::ArrayInfo info = np::info(o);
        if (info.is(np::Float64) && !info.contiguous()) raise(PyExc_TypeError, "The given array is not contiguous");
    }
    return a.get<QueryVector>(0);
}

PyObject* query_result(long count, std::vector<std::uint64_t>& indices, std::vector<double>& dist2) {
    std::vector<std::int32_t> ids;
    if (count < 0) {
        dist2.clear();
    } else {
        ids.reserve(indices.size());
        for (auto i : indices) ids.push_back(static_cast<std::int32_t>(i));
    }
    Ref count_obj = check(PyLong_FromLong(count));
    Ref ids_obj = new_container<std::int32_t>(std::move(ids));
    Ref dist_obj = new_container<double>(std::move(dist2));
    return check(PyTuple_Pack(3, count_obj.get(), ids_obj.get(), dist_obj.get())).release();
}

enum class Form { Knn, Radius, Hybrid, ByParam };

// One body for the eight query methods: the query form and the query's kind (3-vector or any
// length) are template arguments.
template <Form F, bool ThreeD>
PyObject* search(PyObject* self, Args& a) {
    Vector3d q3{};
    QueryVector q{};
    if constexpr (ThreeD) {
        q3 = a.get<Vector3d>(0);
        q = {q3.data(), 3};
    } else {
        q = xd_query(a);
    }
    SearchParam p;
    if constexpr (F == Form::Knn) p = {SearchParam::KNN, a.get<std::int32_t>(1), 0.0, 0};
    if constexpr (F == Form::Radius) p = {SearchParam::Radius, 0, a.get<double>(1), 0};
    if constexpr (F == Form::Hybrid) p = {SearchParam::Hybrid, 0, a.get<double>(1), a.get<std::int32_t>(2)};
    if constexpr (F == Form::ByParam) {
        auto given = a.get<Instance<ParamObject>>(1);
        ReadAccess r(given.object());
        p = given.ptr->value;
    }
    ReadAccess r(self);
    const KDTree& tree = value_of<KDTree>(self);
    std::vector<std::uint64_t> indices;
    std::vector<double> dist2;
    long count = -1;
    if (!ThreeD || tree.dimension() == 3) {
        switch (p.kind) {
            case SearchParam::KNN:
                count = tree.knn(q.data, q.size, p.knn, indices, dist2);
                break;
            case SearchParam::Radius:
                count = tree.radius(q.data, q.size, p.radius, indices, dist2);
                break;
            case SearchParam::Hybrid:
                count = tree.hybrid(q.data, q.size, p.radius, p.max_nn, indices, dist2);
                break;
        }
    }
    return query_result(count, indices, dist2);
}

PyTypeObject* make_param_class(const char* name, const char* constructor, void* init, PyTypeObject* base,
                               std::vector<PyGetSetDef> properties) {
    ClassSpec cls{kGeometry, name, constructor};
    cls.base = base;
    cls.slots = {{Py_tp_new, reinterpret_cast<void*>(tp_new_value<SearchParam>)},
                  {Py_tp_init, init},
                  {Py_tp_repr, reinterpret_cast<void*>(param_repr)}};
    cls.properties = std::move(properties);
    return make_class(std::move(cls));
}

}  // namespace

void add_search_classes(PyObject* module) {
    ClassSpec base_class{kGeometry, "KDTreeSearchParam"};
    base_class.subclassable = true;
    base_class.methods = {method<"KDTreeSearchParam.get_search_type()", get_search_type>()};
    PyTypeObject* base = make_value_class<SearchParam>(std::move(base_class));
    for (auto [name, value] : {std::pair{"KNNSearch", 0}, {"RadiusSearch", 1}, {"HybridSearch", 2}})
        check(PyObject_SetAttrString(reinterpret_cast<PyObject*>(base), name, check(PyLong_FromLong(value)).get()));
    add_type(module, base);

    add_type(module, make_param_class("KDTreeSearchParamKNN", "(knn=30)",
                                      reinterpret_cast<void*>(tp_init<"KDTreeSearchParamKNN(knn=30)", init_knn>), base,
                                      {field<&SearchParam::knn>("knn")}));
    add_type(module, make_param_class("KDTreeSearchParamRadius", "(radius)",
                                      reinterpret_cast<void*>(tp_init<"KDTreeSearchParamRadius(radius)", init_radius>),
                                      base, {field<&SearchParam::radius>("radius")}));
    add_type(module,
             make_param_class("KDTreeSearchParamHybrid", "(radius, max_nn)",
                              reinterpret_cast<void*>(tp_init<"KDTreeSearchParamHybrid(radius, max_nn)", init_hybrid>),
                              base, {readonly_field<&SearchParam::radius>("radius"), readonly_field<&SearchParam::max_nn>("max_nn")}));

    ClassSpec tree{kGeometry, "KDTreeFlann", "(data=None)"};
    tree.slots = {{Py_tp_init, reinterpret_cast<void*>(tp_init<"KDTreeFlann(data=None)", init_tree>)}};
    tree.methods = {
        method<"KDTreeFlann.search_hybrid_vector_3d(query, radius, max_nn)", search<Form::Hybrid, true>>(),
        method<"KDTreeFlann.search_hybrid_vector_xd(query, radius, max_nn)", search<Form::Hybrid, false>>(),
        method<"KDTreeFlann.search_knn_vector_3d(query, knn)", search<Form::Knn, true>>(),
        method<"KDTreeFlann.search_knn_vector_xd(query, knn)", search<Form::Knn, false>>(),
        method<"KDTreeFlann.search_radius_vector_3d(query, radius)", search<Form::Radius, true>>(),
        method<"KDTreeFlann.search_radius_vector_xd(query, radius)", search<Form::Radius, false>>(),
        method<"KDTreeFlann.search_vector_3d(query, search_param)", search<Form::ByParam, true>>(),
        method<"KDTreeFlann.search_vector_xd(query, search_param)", search<Form::ByParam, false>>(),
        method<"KDTreeFlann.set_feature(feature)", set_feature>(),
        method<"KDTreeFlann.set_geometry(geometry)", set_geometry>(),
        method<"KDTreeFlann.set_matrix_data(data)", set_matrix_data>(),
    };
    add_type(module, make_value_class<KDTree>(std::move(tree)));
}

}  // namespace nubiro::py
