// Python class LegendreBasis: the piecewise Legendre basis evaluated at one
// time; coefficient lists are converted afresh on every call.
#include <Python.h>

#include <cstdint>
#include <vector>

#include "bases/legendre_basis.hpp"
#include "bindings/tavik/arguments.hpp"
#include "bindings/tavik/basis_arguments.hpp"
#include "bindings/tavik/entry.hpp"
#include "bindings/tavik/results.hpp"

namespace tavik::py {

namespace {

struct LegendreBasisData {
    LegendreBasis basis;
};

constexpr char kClass[] = "LegendreBasis";

constexpr auto kNew = constructor_signature(kClass, kBasisParameters);

PyRef construct(PyTypeObject* type, const BoundArgs<3>& bound) {
    const BasisArguments a = to_basis_arguments(bound);
    return make_instance(type, LegendreBasisData{LegendreBasis(a.degree, a.n_t, a.T)});
}

constexpr auto kEvaluateAt = method_signature(kClass, "evaluate_at", {{"t"}, {"legendre_vals"}});

PyRef evaluate_at(const LegendreBasisData& self, const BoundArgs<2>& bound) {
    const auto& [t_arg, legendre_vals_arg] = bound;
    const double t = to_double(t_arg);
    const std::vector<double> legendre_vals = to_double_list(legendre_vals_arg);
    const auto coeffs = ColumnMajorView::for_basis(legendre_vals, self.basis.n_t(), self.basis.degree());
    return from_double(self.basis.evaluate(coeffs, t));
}

constexpr auto kAllValues = method_signature(kClass, "evaluate_all_basis_functions", {{"t"}});

PyRef evaluate_all_basis_functions(const LegendreBasisData& self, const BoundArgs<1>& bound) {
    const auto& [t] = bound;
    return from_doubles(self.basis.evaluate_all_basis_functions(to_double(t)));
}

constexpr auto kAllDerivatives = method_signature(kClass, "evaluate_all_basis_function_derivatives", {{"t"}});

PyRef evaluate_all_basis_function_derivatives(const LegendreBasisData& self, const BoundArgs<1>& bound) {
    const auto& [t] = bound;
    return from_doubles(self.basis.evaluate_all_basis_function_derivatives(to_double(t)));
}

using Data = LegendreBasisData;
constexpr Access kShared = Access::shared;

PyMethodDef g_methods[] = {
    method_def<Data, kShared, kEvaluateAt, evaluate_at>(),
    method_def<Data, kShared, kAllValues, evaluate_all_basis_functions>(),
    method_def<Data, kShared, kAllDerivatives, evaluate_all_basis_function_derivatives>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_legendre_basis(PyObject* module) { register_class<LegendreBasisData, kNew, construct>(module, g_methods); }

}  // namespace tavik::py
