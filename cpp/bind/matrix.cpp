// corvane.circuit.matrix: the unitary matrices of the supported gates, the
// basis states ket0 / ket1 and the name-to-matrix table gate_matrix_dict.
//
// Entries come from the core formulas (gates/gate_matrices.hpp), shared with
// the gate-compression engine; gate_matrix_dict lists the gate table's model
// gates (gates/gate_table.hpp) in its order. The functions look up the module-level names
// np, ket0, ket1 and u_mat at each call, as module-level Python functions
// would, so replacing one of them on the module is honoured.
#include "common/host.hpp"
#include "common/numpy_arrays.hpp"
#include "common/pyfunction.hpp"
#include "gates/gate_matrices.hpp"
#include "gates/gate_table.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace corvane::bind;
namespace gates = corvane::gates;
using cplx = std::complex<double>;

namespace {

constexpr const char* kModuleDoc =
    "The matrices corresponding to single-qubit, two-qubit and three-qubit gates.";

// What the functions need at call time; shared by all of them and kept for
// the life of the module.
struct State {
    nb::object globals;  // the module's __dict__
    nb::object numpy;    // the numpy module bound as np at import
    nb::object u_mat;    // the module's own u_mat function
    nb::object key_np = nb::borrow(interned("np"));
    nb::object key_ket0 = nb::borrow(interned("ket0"));
    nb::object key_ket1 = nb::borrow(interned("ket1"));
    nb::object key_u_mat = nb::borrow(interned("u_mat"));
    nb::object neg_i = checked(PyComplex_FromDoubles(-0.0, -1.0));  // the literal -1j
    nb::object pos_i = checked(PyComplex_FromDoubles(0.0, 1.0));    // the literal 1j
    nb::object two = checked(PyLong_FromLong(2));

    // A module-level name, or NameError as for a missing global.
    nb::object global(const nb::object& key) const {
        PyObject* value = PyDict_GetItemWithError(globals.ptr(), key.ptr());
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.ptr());
            throw nb::python_error();
        }
        return nb::borrow(value);
    }
};

using StatePtr = std::shared_ptr<const State>;

// ---- product states ------------------------------------------------------------

// The ket is a complex128 column of two entries: the repeated Kronecker
// product can then be formed directly.
bool is_complex_column2(PyObject* obj) {
    if (!PyArray_CheckExact(obj)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    return PyArray_TYPE(a) == NPY_CDOUBLE && PyArray_ISNOTSWAPPED(a) && PyArray_NDIM(a) == 2 &&
           PyArray_DIM(a, 0) == 2 && PyArray_DIM(a, 1) == 1;
}

cplx column_entry(PyObject* obj, int row) {
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    cplx v;
    std::memcpy(&v, PyArray_BYTES(a) + row * PyArray_STRIDE(a, 0), sizeof(v));
    return v;
}

// The complex product as numpy's multiply computes it.
inline cplx product(cplx a, cplx b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// state = ket; repeated nqubits - 1 times: state = kron(state, ket).
nb::object ketn(const State& st, const nb::object& ket_key, PyObject* nqubits_arg) {
    nb::object nqubits = convert_int(nqubits_arg, "nqubits");
    nb::object ket = st.global(ket_key);
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(nqubits.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && n <= 1)) return ket;

    if (is_complex_column2(ket.ptr())) {
        // 2**n entries of 16 bytes must fit in the address space.
        if (overflow > 0 || n > 58) {
            PyErr_NoMemory();
            throw nb::python_error();
        }
        const cplx k0 = column_entry(ket.ptr(), 0), k1 = column_entry(ket.ptr(), 1);
        const npy_intp size = npy_intp{1} << n;
        nb::object out = new_complex_array(size, 1);
        cplx* v = complex_data(out);
        v[0] = k0;
        v[1] = k1;
        // kron(state, ket)[2i + j] = state[i] * ket[j]; filled in place from the
        // top so that each state[i] is read before its slot is overwritten.
        for (npy_intp m = 2; m < size; m *= 2) {
            for (npy_intp i = m - 1; i >= 0; --i) {
                const cplx s = v[i];
                v[2 * i + 1] = product(s, k1);
                v[2 * i] = product(s, k0);
            }
        }
        return out;
    }

    nb::object kron = st.global(st.key_np).attr("kron");
    nb::object state = ket;
    for (long long k = 1; overflow > 0 || k < n; ++k) state = kron(state, ket);
    return state;
}

// A (2, 1) column.
nb::object basis_column(cplx row0, cplx row1) {
    nb::object out = new_complex_array(2, 1);
    complex_data(out)[0] = row0;
    complex_data(out)[1] = row1;
    return out;
}

// ---- parametric matrices -----------------------------------------------------------

// A real angle that the numpy formula would treat exactly as its double: a
// finite float, or an int that converts to a double without rounding.
bool is_plain_real(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return std::isfinite(out);
    }
    const auto v = small_int(obj);
    // Doubles hold every int up to 2**53 in magnitude exactly.
    constexpr long long kExact = 1LL << 53;
    if (!v || *v > kExact || *v < -kExact) return false;
    out = static_cast<double>(*v);
    return true;
}

// r_mat converts nothing: theta / 2 and the products are the host's own
// arithmetic and cos, sin and exp are numpy's, so complex numbers and arrays
// pass through to numpy. For plain real numbers with the module's np still in
// place the core formula gives the same entries without the round trips.
nb::object r_mat(const State& st, PyObject* theta, PyObject* phi) {
    nb::object np = st.global(st.key_np);
    double t = 0.0, p = 0.0;
    if (np.is(st.numpy) && is_plain_real(theta, t) && is_plain_real(phi, p))
        return to_array(gates::r_matrix(t, p));

    auto mul = [](nb::handle a, nb::handle b) {
        return checked(PyNumber_Multiply(a.ptr(), b.ptr()));
    };
    nb::object h = checked(PyNumber_TrueDivide(theta, st.two.ptr()));
    nb::object c = np.attr("cos")(h);
    nb::object s = np.attr("sin")(h);
    nb::object m01 = mul(mul(st.neg_i, np.attr("exp")(mul(st.neg_i, phi))), s);
    nb::object m10 = mul(mul(st.neg_i, np.attr("exp")(mul(st.pos_i, phi))), s);
    nb::list row0, row1, nested;
    row0.append(c);
    row0.append(m01);
    row1.append(m10);
    row1.append(c);
    nested.append(row0);
    nested.append(row1);
    nb::handle complex_type(reinterpret_cast<PyObject*>(&PyComplex_Type));
    return np.attr("array")(nested, nb::arg("dtype") = complex_type);
}

// u1_mat and u2_mat go through whatever u_mat the module holds; while it is the
// module's own function its formula is applied directly.
nb::object u1_mat(const State& st, PyObject* lamda_arg) {
    const double lamda = convert_double(lamda_arg);
    nb::object u = st.global(st.key_u_mat);
    if (u.is(st.u_mat)) return to_array(gates::u1_matrix(lamda));
    return u(0.0, 0.0, lamda);
}

nb::object u2_mat(const State& st, PyObject* phi_arg, PyObject* lamda_arg) {
    const double phi = convert_double(phi_arg);
    const double lamda = convert_double(lamda_arg);
    nb::object u = st.global(st.key_u_mat);
    if (u.is(st.u_mat)) return to_array(gates::u2_matrix(phi, lamda));
    nb::object half_pi =
        checked(PyNumber_TrueDivide(st.global(st.key_np).attr("pi").ptr(), st.two.ptr()));
    return u(half_pi, phi, lamda);
}

template <gates::Matrix2 (*Fn)(double)>
nb::object one_qubit(Args a) {
    return to_array(Fn(convert_double(a[0])));
}

template <gates::Matrix4 (*Fn)(double)>
nb::object two_qubit(Args a) {
    return to_array(Fn(convert_double(a[0])));
}

using Annotations = std::vector<std::pair<const char*, const char*>>;

// A module-level function without a docstring.
nb::object module_function(nb::handle m, const char* name, std::vector<Param> params,
                           Annotations annotations, Body body) {
    FunctionDef def{};
    def.name = name;
    def.params = std::move(params);
    def.annotations = std::move(annotations);
    def.body = std::move(body);
    return make_function(m, std::move(def));
}

// A function of one "float" angle returning an array.
nb::object angle_function(nb::handle m, const char* name, const char* param, Body body) {
    return module_function(m, name, {{param}}, {{param, "float"}, {"return", "np.ndarray"}},
                           std::move(body));
}

}  // namespace

NB_MODULE(matrix, m) {
    import_numpy();
    m.doc() = kModuleDoc;
    nb::module_ numpy = nb::module_::import_("numpy");
    m.attr("np") = numpy;

    auto state = std::make_shared<State>();
    state->globals = nb::borrow(PyModule_GetDict(m.ptr()));
    state->numpy = numpy;
    StatePtr st = state;

    // ---- basis states and product states
    m.attr("ket0") = basis_column(cplx(1.0, 0.0), cplx(0.0, 0.0));
    m.attr("ket1") = basis_column(cplx(0.0, 0.0), cplx(1.0, 0.0));
    m.attr("ketn0") =
        module_function(m, "ketn0", {{"nqubits"}}, {{"nqubits", "int"}, {"return", "np.ndarray"}},
                        [st](Args a) { return ketn(*st, st->key_ket0, a[0]); });
    m.attr("ketn1") =
        module_function(m, "ketn1", {{"nqubits"}}, {{"nqubits", "int"}, {"return", "np.ndarray"}},
                        [st](Args a) { return ketn(*st, st->key_ket1, a[0]); });

    // ---- fixed matrices, in the order they are defined
    m.attr("id_mat") = to_array(gates::id_matrix());
    m.attr("x_mat") = to_array(gates::x_matrix());
    m.attr("y_mat") = to_array(gates::y_matrix());
    m.attr("z_mat") = to_array(gates::z_matrix());
    m.attr("h_mat") = to_array(gates::h_matrix());
    m.attr("s_mat") = to_array(gates::s_matrix());
    m.attr("sdg_mat") = to_array(gates::sdg_matrix());
    m.attr("t_mat") = to_array(gates::t_matrix());
    m.attr("tdg_mat") = to_array(gates::tdg_matrix());
    m.attr("sx_mat") = to_array(gates::sx_matrix());
    m.attr("sxdg_mat") = to_array(gates::sxdg_matrix());
    m.attr("swap_mat") = to_array(gates::swap_matrix());
    m.attr("iswap_mat") = to_array(gates::iswap_matrix());
    m.attr("cx_mat") = to_array(gates::cx_matrix());
    m.attr("xc_mat") = to_array(gates::xc_matrix());
    m.attr("cy_mat") = to_array(gates::cy_matrix());
    m.attr("yc_mat") = to_array(gates::yc_matrix());
    m.attr("cz_mat") = to_array(gates::cz_matrix());
    m.attr("ccz_mat") = to_array(gates::ccz_matrix());
    m.attr("ccx_mat") = to_array(gates::ccx_matrix());
    m.attr("cxc_mat") = to_array(gates::cxc_matrix());
    m.attr("cswap_mat") = to_array(gates::cswap_matrix());
    m.attr("swapc_mat") = to_array(gates::swapc_matrix());

    // ---- parametric matrices
    m.attr("r_mat") = module_function(m, "r_mat", {{"theta"}, {"phi"}}, {},
                                      [st](Args a) { return r_mat(*st, a[0], a[1]); });
    m.attr("rx_mat") = angle_function(m, "rx_mat", "theta", one_qubit<gates::rx_matrix>);
    m.attr("ry_mat") = angle_function(m, "ry_mat", "theta", one_qubit<gates::ry_matrix>);
    m.attr("rz_mat") = angle_function(m, "rz_mat", "theta", one_qubit<gates::rz_matrix>);
    m.attr("p_mat") = angle_function(m, "p_mat", "theta", one_qubit<gates::p_matrix>);
    nb::object u_mat = module_function(
        m, "u_mat", {{"theta"}, {"phi"}, {"lamda"}},
        {{"theta", "float"}, {"phi", "float"}, {"lamda", "float"}, {"return", "np.ndarray"}},
        [](Args a) {
            const double theta = convert_double(a[0]);
            const double phi = convert_double(a[1]);
            const double lamda = convert_double(a[2]);
            return to_array(gates::u_matrix(theta, phi, lamda));
        });
    state->u_mat = u_mat;
    m.attr("u_mat") = u_mat;
    m.attr("u1_mat") = module_function(m, "u1_mat", {{"lamda"}}, {{"lamda", "float"}},
                                       [st](Args a) { return u1_mat(*st, a[0]); });
    m.attr("u2_mat") =
        module_function(m, "u2_mat", {{"phi"}, {"lamda"}}, {{"phi", "float"}, {"lamda", "float"}},
                        [st](Args a) { return u2_mat(*st, a[0], a[1]); });
    m.attr("rxx_mat") = angle_function(m, "rxx_mat", "theta", two_qubit<gates::rxx_matrix>);
    m.attr("ryy_mat") = angle_function(m, "ryy_mat", "theta", two_qubit<gates::ryy_matrix>);
    m.attr("rzz_mat") = angle_function(m, "rzz_mat", "theta", two_qubit<gates::rzz_matrix>);
    m.attr("cp_mat") = angle_function(m, "cp_mat", "theta", two_qubit<gates::cp_matrix>);

    // ---- gate_matrix_dict: each model gate of the gate table -> the module's
    // constant or function itself; gates sharing a matrix builder (cnot and
    // cx) share the object of the first of them.
    nb::dict table;
    const auto rows = gates::gate_rows();
    for (const gates::GateRow& row : rows) {
        if (!row.matrix) continue;
        const auto first = std::find_if(rows.begin(), rows.end(), [&](const gates::GateRow& r) {
            return r.matrix == row.matrix;
        });
        const std::string attribute = std::string(first->name) + "_mat";
        table[nb::str(row.name.data(), row.name.size())] = m.attr(attribute.c_str());
    }
    m.attr("gate_matrix_dict") = table;
}
