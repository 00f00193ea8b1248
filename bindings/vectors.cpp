#include "bindings/vectors.hpp"

#include <cstring>
#include <type_traits>

#include "bindings/module.hpp"
#include "core/number_text.hpp"

namespace nubiro::py {

namespace {

// ---- element kinds -----------------------------------------------------------------------

template <class E>
struct Kind;

template <class S, int K>
struct VectorKind {
    using Scalar = S;
    static constexpr int components = K;
    static constexpr bool is_vector = true;
    static constexpr bool is_scalar = false;
    static constexpr bool is_matrix = false;
    static constexpr int type_num = std::is_same_v<S, double> ? np::Float64 : np::Int32;
    static constexpr const char* dtype = std::is_same_v<S, double> ? "float64" : "int32";
};
template <>
struct Kind<Vector2d> : VectorKind<double, 2> {
    static constexpr const char* name = "Vector2dVector";
    static constexpr const char* text = "std::vector<Eigen::Vector2d>";
};
template <>
struct Kind<Vector3d> : VectorKind<double, 3> {
    static constexpr const char* name = "Vector3dVector";
    static constexpr const char* text = "std::vector<Eigen::Vector3d>";
};
template <>
struct Kind<Vector2i> : VectorKind<std::int32_t, 2> {
    static constexpr const char* name = "Vector2iVector";
    static constexpr const char* text = "std::vector<Eigen::Vector2i>";
};
template <>
struct Kind<Vector3i> : VectorKind<std::int32_t, 3> {
    static constexpr const char* name = "Vector3iVector";
    static constexpr const char* text = "std::vector<Eigen::Vector3i>";
};
template <>
struct Kind<Vector4i> : VectorKind<std::int32_t, 4> {
    static constexpr const char* name = "Vector4iVector";
    static constexpr const char* text = "std::vector<Eigen::Vector4i>";
};

template <class S>
struct ScalarKind {
    using Scalar = S;
    static constexpr bool is_vector = false;
    static constexpr bool is_scalar = true;
    static constexpr bool is_matrix = false;
    static constexpr int type_num = std::is_same_v<S, double> ? np::Float64 : np::Int32;
};
template <>
struct Kind<double> : ScalarKind<double> {
    static constexpr const char* name = "DoubleVector";
};
template <>
struct Kind<std::int32_t> : ScalarKind<std::int32_t> {
    static constexpr const char* name = "IntVector";
};

template <int N>
struct MatrixKind {
    static constexpr bool is_vector = false;
    static constexpr bool is_scalar = false;
    static constexpr bool is_matrix = true;
    static constexpr int size = N;
};
template <>
struct Kind<Matrix3d> : MatrixKind<3> {
    static constexpr const char* name = "Matrix3dVector";
    static constexpr const char* text = "std::vector<Eigen::Matrix3d>";
};
template <>
struct Kind<Matrix4d> : MatrixKind<4> {
    static constexpr const char* name = "Matrix4dVector";
    static constexpr const char* text = "std::vector<Eigen::Matrix4d>";
};

template <class E>
using ContainerObject = Object<Container<E>>;

template <class E>
Container<E>& container(PyObject* o) {
    return value_of<Container<E>>(o);
}

template <class E>
std::vector<ViewTarget<E>>& view_targets() {
    static std::vector<ViewTarget<E>> targets;
    return targets;
}

// ---- resolving the elements of a container -----------------------------------------------

// The array an operation works on, with access held on the container and, for a view, on
// its owner (container first, owner second; released in reverse order).
template <class E, class Access>
struct Elements {
    Access self_access;
    Access owner_access;
    Storage<E>* array;
    Storage<E>* operator->() const { return array; }
    Storage<E>& operator*() const { return *array; }
};

template <class E>
Storage<E>& view_array(const Container<E>& c) {
    auto& targets = view_targets<E>();
    if (c.target < 0 || c.target >= static_cast<int>(targets.size())) raise(PyExc_TypeError, "invalid view target");
    const ViewTarget<E>& t = targets[c.target];
    if (!PyObject_TypeCheck(c.owner.get(), t.owner_type())) raise(PyExc_TypeError, t.wrong_owner);
    return t.storage(c.owner.get());
}

// `held_owner`: a geometry whose write access the caller already holds (see elements_from).
template <class E, class Access>
Elements<E, Access> elements(PyObject* self, PyObject* held_owner = nullptr) {
    Container<E>& c = container<E>(self);
    Access self_access(self);
    if (!c.owner) return {std::move(self_access), Access(), &c.storage};
    Storage<E>& array = view_array(c);
    if (c.owner.get() == held_owner) return {std::move(self_access), Access(), &array};
    Access owner_access(c.owner.get());
    return {std::move(self_access), std::move(owner_access), &array};
}
template <class E>
auto reading(PyObject* self, PyObject* held_owner = nullptr) {
    return elements<E, ReadAccess>(self, held_owner);
}
template <class E>
auto writing(PyObject* self) {
    return elements<E, WriteAccess>(self);
}

// ---- element conversion ----------------------------------------------------------------------

}  // namespace

template <class S>
NumberSequence<S> Convert<NumberSequence<S>>::from(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) raise_cannot_convert(o, "Sequence");
    Py_ssize_t n = PySequence_Size(o);
    if (n < 0) raise_current();
    NumberSequence<S> seq;
    seq.items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = check(PySequence_GetItem(o, i));
        seq.items.push_back(Convert<S>::from(item.get()));
    }
    return seq;
}
template struct Convert<NumberSequence<double>>;
template struct Convert<NumberSequence<std::int32_t>>;

namespace {

// Exact comparison: NaN equals nothing.
template <class E>
bool same(const E& a, const E& b) {
    if constexpr (Kind<E>::is_scalar) {
        return a == b;
    } else {
        for (std::size_t i = 0; i < a.size(); ++i)
            if (!(a[i] == b[i])) return false;
        return true;
    }
}

// The element a count/remove value stands for; none when its length is not the element's.
template <class E>
std::optional<E> probe_from(PyObject* value) {
    using K = Kind<E>;
    if constexpr (K::is_scalar) {
        return convert_named<E>(value, "value");
    } else {
        auto seq = convert_named<NumberSequence<typename K::Scalar>>(value, "value");
        if (seq.items.size() != static_cast<std::size_t>(K::components)) return std::nullopt;
        E e{};
        std::copy(seq.items.begin(), seq.items.end(), e.begin());
        return e;
    }
}

// An element given to append, insert or item assignment: its length must be the element's.
template <class E>
E element_from(PyObject* value) {
    auto e = probe_from<E>(value);
    if (!e) raise(PyExc_TypeError, "invalid element size");
    return *e;
}

template <class E>
PyObject* element_result(const E& e) {
    using K = Kind<E>;
    if constexpr (K::is_scalar) {
        if constexpr (std::is_same_v<E, double>)
            return PyFloat_FromDouble(e);
        else
            return PyLong_FromLong(e);
    } else if constexpr (K::is_matrix) {
        return np::matrix(e[0].data(), K::size, K::size).release();
    } else {
        np::npy_intp shape[1] = {K::components};
        Ref arr = np::new_array(K::type_num, shape, nullptr, nullptr);
        std::memcpy(np::info(arr.get()).data, e.data(), sizeof(E));
        return arr.release();
    }
}

// Rows of a two-dimensional array of the element dtype, shape (m, k) already checked.
template <class E>
Storage<E> rows_of(const np::ArrayInfo& a) {
    using S = typename Kind<E>::Scalar;
    constexpr int k = Kind<E>::components;
    Storage<E> out;
    out.resize_for_overwrite(static_cast<std::size_t>(a.shape[0]));
    if (out.empty()) return out;
    if (a.c_contiguous()) {
        std::memcpy(static_cast<void*>(out.data()), a.data, out.size() * sizeof(E));
        return out;
    }
    for (np::npy_intp i = 0; i < a.shape[0]; ++i)
        for (int j = 0; j < k; ++j) std::memcpy(&out[i][j], a.data + i * a.strides[0] + j * a.strides[1], sizeof(S));
    return out;
}

template <class E>
bool is_container(PyObject* o) {
    return PyObject_TypeCheck(o, type_of<ContainerObject<E>>());
}

template <class E>
Storage<E> copy_of(PyObject* other, PyObject* held_owner = nullptr) {
    auto src = reading<E>(other, held_owner);
    return Storage<E>(src->data(), src->size());
}

// collections.abc.Sequence, looked up once.
bool is_abc_sequence(PyObject* o) {
    static PyObject* abc = nullptr;
    if (!abc) {
        Ref module = check(PyImport_ImportModule("collections.abc"));
        abc = check(PyObject_GetAttrString(module.get(), "Sequence")).release();
    }
    int r = PyObject_IsInstance(o, abc);
    check(r);
    return r != 0;
}

bool is_number_sequence(PyObject* o) { return PyList_Check(o) || PyTuple_Check(o) || is_abc_sequence(o); }

}  // namespace

// The other kind of geometry array: a mesh has float64 and int32 ones.
template <class E>
using OtherArrayKind = std::conditional_t<std::is_same_v<E, Vector3d>, Vector3i, Vector3d>;

template <class E>
Storage<E> elements_from(PyObject* value, PyObject* held_owner) {
    using K = Kind<E>;
    static_assert(K::is_vector);
    if (is_container<E>(value)) return copy_of<E>(value, held_owner);
    // A view of the other kind on the geometry being assigned (mesh.triangles = mesh.vertices):
    // NumPy would read it through __array__, taking access on that geometry a second time, so
    // it converts a free-standing copy instead.
    Ref detached;
    if (held_owner && is_container<OtherArrayKind<E>>(value)) {
        detached = new_container<OtherArrayKind<E>>(copy_of<OtherArrayKind<E>>(value, held_owner));
        value = detached.get();
    }
    if (np::is_array(value)) {
        np::ArrayInfo a = np::info(value);
        if (a.ndim == 2 && a.is(K::type_num)) {
            if (a.shape[1] != K::components) raise(PyExc_TypeError, "invalid array shape");
            return rows_of<E>(a);
        }
    }
    Ref array = np::asarray(value);
    Ref dtype = check(PyUnicode_FromString(K::dtype));
    Ref converted = np::astype(array.get(), dtype.get());
    np::ArrayInfo a = np::info(converted.get());
    if (a.ndim != 2) raise(PyExc_TypeError, "cannot convert argument to a (n, k) array");
    if (a.shape[1] != K::components) raise(PyExc_TypeError, "invalid array shape");
    return rows_of<E>(a);
}

template <class E>
void assign_attribute(PyObject* owner, Storage<E>& target, PyObject* value) {
    using K = Kind<E>;
    WriteAccess w(owner);
    if (np::is_array(value)) {
        np::ArrayInfo a = np::info(value);
        if (a.ndim == 2 && a.is(K::type_num) && a.c_contiguous()) {
            // The common case: one block copy, straight into the array's current memory when
            // it is large enough (assign() copes with `value` overlapping it).
            if (a.shape[1] != K::components) raise(PyExc_TypeError, "invalid array shape");
            target.assign(reinterpret_cast<const E*>(a.data), static_cast<std::size_t>(a.shape[0]));
            return;
        }
    }
    target = elements_from<E>(value, owner);
}
template void assign_attribute<Vector3d>(PyObject*, Storage<Vector3d>&, PyObject*);
template void assign_attribute<Vector3i>(PyObject*, Storage<Vector3i>&, PyObject*);

template <class E>
int register_view_target(ViewTarget<E> target) {
    view_targets<E>().push_back(target);
    return static_cast<int>(view_targets<E>().size()) - 1;
}

template <class E>
Ref make_view(PyObject* owner, int target) {
    PyTypeObject* type = type_of<ContainerObject<E>>();
    Ref view = new_object<Container<E>>(type);
    Container<E>& c = container<E>(view.get());
    c.owner = Ref::borrow(owner);
    c.target = target;
    return view;
}

template <class E>
Ref new_container(Storage<E>&& values) {
    Ref out = new_object<Container<E>>(type_of<ContainerObject<E>>());
    container<E>(out.get()).storage = std::move(values);
    return out;
}
template Ref new_container<std::int32_t>(Storage<std::int32_t>&&);
template Ref new_container<double>(Storage<double>&&);
template Ref new_container<Vector2i>(Storage<Vector2i>&&);
template Ref new_container<Vector3d>(Storage<Vector3d>&&);
template Ref new_container<Matrix3d>(Storage<Matrix3d>&&);
template Ref new_container<Matrix4d>(Storage<Matrix4d>&&);
template Ref new_container<Vector3i>(Storage<Vector3i>&&);

template <class E>
ContainerArg<E> Convert<ContainerArg<E>>::from(PyObject* o) {
    if (!is_container<E>(o)) raise_cannot_convert(o, Kind<E>::name);
    auto e = reading<E>(o);
    return {std::move(e.self_access), std::move(e.owner_access), e.array};
}
template struct Convert<ContainerArg<Vector3d>>;

template int register_view_target<Vector3d>(ViewTarget<Vector3d>);
template int register_view_target<Vector3i>(ViewTarget<Vector3i>);
template Ref make_view<Vector3d>(PyObject*, int);
template Ref make_view<Vector3i>(PyObject*, int);
template Storage<Vector3d> elements_from<Vector3d>(PyObject*, PyObject*);
template Storage<Vector3i> elements_from<Vector3i>(PyObject*, PyObject*);
template Storage<Vector2i> elements_from<Vector2i>(PyObject*, PyObject*);

namespace {

// ---- the members ----------------------------------------------------------------------------

// How an index reaches us: as Python code wrote it (negative counts from the end), or through
// a sequence slot of a type with a sequence length, where the interpreter has already added n
// to a negative index (one that is still negative is out of range).
enum class IndexForm { written, adjusted };

// Index normalisation: i + n for negative i; valid when 0 <= i' < n.
std::optional<std::size_t> normalise(std::int64_t i, std::size_t n, IndexForm form = IndexForm::written) {
    if (i < 0 && form == IndexForm::written) i += static_cast<std::int64_t>(n);
    if (i < 0 || i >= static_cast<std::int64_t>(n)) return std::nullopt;
    return static_cast<std::size_t>(i);
}

std::int64_t index_key(PyObject* key) { return Convert<std::int64_t>::from(key); }

template <class E>
std::vector<E> sequence_elements(PyObject* arg) {
    std::vector<E> out;
    Ref fast = check(PySequence_Fast(arg, "expected a sequence"));
    Py_ssize_t n = PySequence_Size(fast.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = check(PySequence_GetItem(fast.get(), i));
        out.push_back(Convert<E>::from(item.get()));
    }
    return out;
}

template <class E>
PyObject* init(PyObject* self, Args& a) {
    using K = Kind<E>;
    Storage<E> values;
    if (a.present(0)) {
        PyObject* arg = a.raw(0);
        if constexpr (K::is_matrix) {
            raise(PyExc_TypeError, "constructing from data is not supported here");
        } else if constexpr (K::is_scalar) {
            try {
                if (!is_number_sequence(arg)) raise_cannot_convert(arg, "Sequence");
                values.assign(sequence_elements<E>(arg));
            } catch (const ErrorAlreadySet&) {
                rename_type_error("arg");
                throw;
            }
        } else {
            values = elements_from<E>(arg);
        }
    }
    *writing<E>(self) = std::move(values);
    return none();
}

template <class E>
PyObject* append(PyObject* self, Args& a) {
    E e = element_from<E>(a.raw(0));
    writing<E>(self)->push_back(e);
    return none();
}

template <class E>
PyObject* insert(PyObject* self, Args& a) {
    auto idx = a.get<std::int64_t>(0);
    E e = element_from<E>(a.raw(1));
    auto target = writing<E>(self);
    auto n = static_cast<std::int64_t>(target->size());
    std::int64_t pos = idx < 0 ? std::max<std::int64_t>(idx + n, 0) : std::min(idx, n);
    target->insert(static_cast<std::size_t>(pos), e);
    return none();
}

template <class E>
PyObject* extend(PyObject* self, Args& a) {
    using K = Kind<E>;
    PyObject* other = a.raw(0);
    if constexpr (K::is_scalar) {
        if (is_container<E>(other)) {
            Storage<E> values = copy_of<E>(other);
            writing<E>(self)->append(values.data(), values.size());
            return none();
        }
        if (!is_number_sequence(other)) raise_cannot_convert(other, "Sequence");
        // Element by element: items before a failing one stay appended.
        Ref fast = check(PySequence_Fast(other, "expected a sequence"));
        Py_ssize_t n = PySequence_Size(fast.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref item = check(PySequence_GetItem(fast.get(), i));
            E e = Convert<E>::from(item.get());
            writing<E>(self)->push_back(e);
        }
    } else {
        Storage<E> values = elements_from<E>(other);
        writing<E>(self)->append(values.data(), values.size());
    }
    return none();
}

template <class E>
PyObject* pop(PyObject* self, Args& a) {
    auto idx = a.optional<std::int64_t>(0);
    auto target = writing<E>(self);
    std::size_t n = target->size();
    auto i = normalise(idx ? *idx : static_cast<std::int64_t>(n) - 1, n);
    if (!i) raise(PyExc_IndexError, "pop index out of range");
    E e = (*target)[*i];
    Ref out(element_result(e));
    if (!out) raise_current();
    target->erase(*i);
    return out.release();
}

template <class E>
PyObject* remove(PyObject* self, Args& a) {
    auto probe = probe_from<E>(a.raw(0));
    auto target = writing<E>(self);
    if (probe)
        for (std::size_t i = 0; i < target->size(); ++i)
            if (same((*target)[i], *probe)) {
                target->erase(i);
                return none();
            }
    raise(PyExc_TypeError, "value not found");
}

template <class E>
PyObject* count(PyObject* self, Args& a) {
    auto probe = probe_from<E>(a.raw(0));
    auto target = reading<E>(self);
    std::size_t hits = 0;
    if (probe)
        for (const E& e : *target) hits += same(e, *probe);
    return PyLong_FromSize_t(hits);
}

template <class E>
PyObject* clear(PyObject* self, Args&) {
    writing<E>(self)->clear();
    return none();
}

template <class E>
PyObject* copy(PyObject* self, Args&) {
    return new_container<E>(copy_of<E>(self)).release();
}

PyTypeObject* slice_container_type = nullptr;

constexpr Text kSharedArrayDoc =
    "Shared-memory ndarray over the underlying storage (pybind\nsemantics): mutations write through; the owning "
    "geometry (or\nthis vector, when free-standing) is the numpy base object.";

// Shares the elements' memory with a new array (vector kinds) or hands a copy to one whose
// base is a PySliceContainer (scalar kinds).
template <class E>
PyObject* to_array(PyObject* self, Args& a) {
    using K = Kind<E>;
    // copy=True asks for an array that shares nothing (NumPy 2 trusts it to be one), so it
    // detaches exactly as a given dtype does; None and False keep the shared array.
    const bool detach = a.optional<bool>(1).value_or(false);
    Ref array;
    if constexpr (K::is_vector) {
        auto target = reading<E>(self);
        Container<E>& c = container<E>(self);
        const auto n = static_cast<np::npy_intp>(target->size());
        const np::npy_intp s = sizeof(typename K::Scalar);
        np::npy_intp shape[2] = {n, K::components};
        np::npy_intp strides[2] = {n ? K::components * s : 0, n ? s : 0};
        static E empty_element{};
        void* data = target->data() ? static_cast<void*>(target->data()) : static_cast<void*>(&empty_element);
        target->mark_exported();
        array = np::new_array(K::type_num, shape, data, c.owner ? c.owner.get() : self, strides);
    } else {
        Storage<E> values = copy_of<E>(self);
        Ref holder = new_object<std::vector<std::byte>>(slice_container_type);
        auto& bytes = value_of<std::vector<std::byte>>(holder.get());
        bytes.resize(std::max<std::size_t>(values.size() * sizeof(E), 1));
        if (!values.empty()) std::memcpy(bytes.data(), values.data(), values.size() * sizeof(E));
        np::npy_intp shape[1] = {static_cast<np::npy_intp>(values.size())};
        array = np::new_array(K::type_num, shape, bytes.data(), holder.get());
    }
    if (a.present(0)) return np::astype(array.get(), a.raw(0)).release();
    if constexpr (K::is_vector) {
        if (detach) {
            Ref dtype = check(PyUnicode_FromString(K::dtype));
            return np::astype(array.get(), dtype.get()).release();
        }
    }
    return array.release();
}

template <class E>
PyObject* repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        using K = Kind<E>;
        auto target = reading<E>(self);
        std::string text;
        if constexpr (K::is_scalar) {
            text = std::string(K::name) + "[";
            for (std::size_t i = 0; i < target->size(); ++i) {
                if (i) text += ", ";
                if constexpr (std::is_same_v<E, double>)
                    text::append_shortest(text, (*target)[i]);
                else
                    text::append_integer(text, (*target)[i]);
            }
            text += "]";
        } else {
            text = std::string(K::text) + " with " + std::to_string(target->size()) +
                   " elements.\nUse numpy.asarray() to access data.";
        }
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

template <class E>
Py_ssize_t length(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&] { return static_cast<Py_ssize_t>(reading<E>(self)->size()); });
}

template <class E>
PyObject* item_at(PyObject* self, std::int64_t i, IndexForm form) {
    auto target = reading<E>(self);
    auto at = normalise(i, target->size(), form);
    if (!at) raise(PyExc_IndexError, "list index out of range");
    return element_result((*target)[*at]);
}

// Only the kinds without a sequence length (the vector kinds, whose length is a mapping
// length) get their sequence-slot indexes unadjusted; they come from iteration only.
template <class E>
constexpr IndexForm slot_form = Kind<E>::is_vector ? IndexForm::written : IndexForm::adjusted;

template <class E>
PyObject* sq_item(PyObject* self, Py_ssize_t i) {
    return guarded<PyObject*>(nullptr, [&] { return item_at<E>(self, i, slot_form<E>); });
}

template <class E>
PyObject* mp_subscript(PyObject* self, PyObject* key) {
    return guarded<PyObject*>(nullptr, [&] { return item_at<E>(self, index_key(key), IndexForm::written); });
}

template <class E>
void set_item_at(PyObject* self, std::int64_t i, PyObject* value, IndexForm form) {
    if (!value) raise(PyExc_NotImplementedError, "can't delete item");
    E e = element_from<E>(value);
    auto target = writing<E>(self);
    auto at = normalise(i, target->size(), form);
    if (!at) raise(PyExc_IndexError, "list assignment index out of range");
    (*target)[*at] = e;
}

template <class E>
int sq_ass_item(PyObject* self, Py_ssize_t i, PyObject* value) {
    return guarded<int>(-1, [&] {
        set_item_at<E>(self, i, value, slot_form<E>);
        return 0;
    });
}

template <class E>
int mp_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    return guarded<int>(-1, [&] {
        if (!value) raise(PyExc_NotImplementedError, "can't delete item");
        set_item_at<E>(self, index_key(key), value, IndexForm::written);
        return 0;
    });
}

template <class E>
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    return guarded<PyObject*>(nullptr, [&] {
        bool equal = false;
        if (is_container<E>(other)) {
            Storage<E> theirs = copy_of<E>(other);
            auto mine = reading<E>(self);
            equal = mine->size() == theirs.size();
            for (std::size_t i = 0; equal && i < theirs.size(); ++i) equal = same((*mine)[i], theirs[i]);
        }
        return PyBool_FromLong(op == Py_EQ ? equal : !equal);
    });
}

template <class E, Text Name>
void define(PyObject* module) {
    using K = Kind<E>;
    ClassSpec cls{kUtility, K::name, "(arg=None)"};
    // Iteration reads items by index from 0 until IndexError (the sequence iterator).
    cls.slots = {{Py_tp_init, reinterpret_cast<void*>(tp_init<Name + "(arg=None)", init<E>>)},
                 {Py_tp_repr, reinterpret_cast<void*>(repr<E>)},
                 {Py_tp_iter, reinterpret_cast<void*>(PySeqIter_New)}};
    if constexpr (K::is_matrix) {
        cls.methods = {method<Name + ".clear()", clear<E>>()};
        cls.slots.push_back({Py_sq_length, reinterpret_cast<void*>(length<E>)});
        cls.slots.push_back({Py_sq_item, reinterpret_cast<void*>(sq_item<E>)});
    } else {
        cls.methods = {method<Name + ".append(value)", append<E>>(),
                        method<Name + ".insert(idx, value)", insert<E>>(),
                        method<Name + ".extend(other)", extend<E>>(),
                        method<Name + ".pop(idx=None)", pop<E>>(),
                        method<Name + ".remove(value)", remove<E>>(),
                        method<Name + ".count(value)", count<E>>(),
                        method<Name + ".clear()", clear<E>>(),
                        method<Name + ".__copy__()", copy<E>>(),
                        method<Name + ".__deepcopy__(_memo)", copy<E>>()};
        if constexpr (K::is_vector)
            cls.methods.push_back(method<Name + ".__array__(dtype=None, copy=None)", to_array<E>, kSharedArrayDoc>());
        else
            cls.methods.push_back(method<Name + ".__array__(dtype=None, copy=None)", to_array<E>>());
        cls.slots.push_back({Py_tp_richcompare, reinterpret_cast<void*>(richcompare<E>)});
        if constexpr (K::is_scalar) {
            cls.slots.push_back({Py_sq_length, reinterpret_cast<void*>(length<E>)});
            cls.slots.push_back({Py_sq_item, reinterpret_cast<void*>(sq_item<E>)});
            cls.slots.push_back({Py_sq_ass_item, reinterpret_cast<void*>(sq_ass_item<E>)});
        } else {
            cls.slots.push_back({Py_mp_length, reinterpret_cast<void*>(length<E>)});
            cls.slots.push_back({Py_mp_subscript, reinterpret_cast<void*>(mp_subscript<E>)});
            cls.slots.push_back({Py_mp_ass_subscript, reinterpret_cast<void*>(mp_ass_subscript<E>)});
            // The sequence iterator reads items through the sequence slot.
            cls.slots.push_back({Py_sq_item, reinterpret_cast<void*>(sq_item<E>)});
        }
    }
    add_type(module, make_value_class<Container<E>>(std::move(cls)));
}

}  // namespace

void add_containers(PyObject* utility) {
    ClassSpec holder{kRoot, "PySliceContainer"};
    slice_container_type = make_value_class<std::vector<std::byte>>(std::move(holder));
    define<Vector3d, "Vector3dVector">(utility);
    define<Vector2d, "Vector2dVector">(utility);
    define<Vector3i, "Vector3iVector">(utility);
    define<Vector2i, "Vector2iVector">(utility);
    define<Vector4i, "Vector4iVector">(utility);
    define<Matrix3d, "Matrix3dVector">(utility);
    define<Matrix4d, "Matrix4dVector">(utility);
    define<std::int32_t, "IntVector">(utility);
    define<double, "DoubleVector">(utility);
}

}  // namespace nubiro::py
