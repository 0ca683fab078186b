// Every message text tavik raises, defined once.
//
// The core's fatal errors and the binding's Python exceptions take their
// texts from here, and so do the tests: the C++ tests include this header,
// the Python tests read it through tests/python/support.py (which parses the
// `inline constexpr char kName[] = "...";` lines, so keep each on one line).
// The texts are part of the module's observable behaviour: changing one
// changes what callers see.
#pragma once

#include <cstdint>
#include <format>
#include <string>
#include <string_view>

namespace tavik::messages {

// ---- sizes
inline constexpr char kCapacityOverflow[] = "capacity overflow";

// ---- meshes
// Every core operation on a mesh of the array interface that finds no
// interval (tavik's LegendreBasis keeps its own text, kNoIntervals).
inline constexpr char kMeshNoIntervals[] = "the mesh has no intervals (n_t is 0)";
// A mesh given by its nodes (tavik_arrays' spaces from nodes).
inline constexpr char kGradedMeshTooFewNodes[] = "a mesh of nodes needs at least two nodes";
inline constexpr char kGradedMeshIntervals[] = "the mesh of nodes does not have n_t intervals";

// ---- Legendre basis and coefficient matrices
inline constexpr char kMatrixTooSmall[] = "Matrix view: input data buffer too small.";
inline constexpr char kNoIntervals[] = "LegendreBasis has no intervals (n_t is 0): nothing can be evaluated";
inline constexpr char kRowOutOfBounds[] = "Matrix slicing out of bounds.";
inline constexpr char kColumnOutOfBounds[] = "Matrix index out of bounds.";
inline constexpr char kBatchStorageMismatch[] = "batch evaluation: result storage does not match the number of times";
inline constexpr char kSetDofsWrongLength[] = "LegendreBasisEvaluator: set_dofs: input vector has wrong length";

// ---- integrals and norms
inline constexpr char kSquareSumsShape[] = "weighted square sums: the sizes of values, weights and out do not match";

// ---- vector-valued fields and basis rows
inline constexpr char kFieldCoefficientSize[] = "field evaluation: the coefficients do not hold n_t * (degree + 1) * components values";
inline constexpr char kFieldOutputSize[] = "field evaluation: the result does not hold times * components values";
inline constexpr char kBasisRowsSize[] = "basis rows: values and columns must hold times * (degree + 1) elements each";
inline constexpr char kBasisRowsNarrowColumns[] = "basis rows: n_t * (degree + 1) does not fit 32-bit columns";

// ---- arrays handed to the array interface's native module
inline constexpr char kMisalignedArray[] = "arrays must be aligned to their element size";
inline constexpr char kOutputOverlaps[] = "the output array overlaps an input array";

// ---- test-only controls
inline constexpr char kForcedInstructionSetUnsupported[] = "force_instruction_set: this processor cannot run that instruction set";
inline constexpr char kWorkerChunkFailed[] = "a chunk failed on a worker thread, as the test asked";

// ---- Lagrange basis, prolongation and transformation
inline constexpr char kPeriodicDegree[] = "Periodic Lagrange bases require polynomial degree at least 1";
inline constexpr char kPeriodicIntervals[] = "Periodic Lagrange bases require at least one interval";
inline constexpr char kPeriodicProlongation[] = "Periodic Lagrange prolongation requires positive interval counts";
inline constexpr char kLagrangeIntervalOutOfRange[] = "Lagrange basis interval index out of range";
inline constexpr char kProlongationDegree[] = "Lagrange prolongation requires polynomial degree at least 1";
inline constexpr char kProlongationCoarse[] = "Lagrange prolongation requires at least one coarse interval";
inline constexpr char kProlongationFine[] = "Lagrange prolongation requires at least one fine interval";
inline constexpr char kTransformationDegreeZero[] = "Lagrange to Legendre conversion not meaningful for degree 0";
inline constexpr char kSingularVandermonde[] = "Failed to invert Vandermonde matrix for Lagrange to Legendre conversion.";
inline constexpr char kLagrangeMatrixDegreeZero[] = "Lagrange matrices require polynomial degree at least 1";
// Interpolation from a mesh of nodes: the nodal points handed in do not match
// the mesh and degree.
inline constexpr char kNodalPointCount[] = "the nodal points do not match the mesh: expected n_t * degree (+ 1 unless periodic) of them";
// A std::format string: the refused degree, then the largest accepted one.
inline constexpr char kLagrangeDegreeLimit[] = "Lagrange prolongation of degree {} would be inaccurate; the largest supported degree is {}";
// The same for the array interface's Lagrange-to-Legendre matrix, whose
// Python layer refuses such degrees first.
inline constexpr char kLagrangeToLegendreDegreeLimit[] = "Lagrange-to-Legendre matrix of degree {} would be inaccurate; the largest supported degree is {}";
// The matrices without accuracy limits that measure where those limits
// belong stop here; the format's count is their largest degree.
inline constexpr char kMeasuredDegreeLimit[] = "the unlimited Lagrange-to-Legendre matrices stop at degree {}";

// ---- quadrature
// A std::format string: the largest number of points.
inline constexpr char kGaussLegendrePoints[] = "Gauss-Legendre rules need between 1 and {} points";

// A std::format string above filled in with its counts (formatted at run
// time: sanitizer builds cannot check a format string held in an array at
// compile time), so a limit is written once, beside its constant.
template <class... Counts>
inline std::string filled(const char* format, Counts... counts) {
    return std::vformat(format, std::make_format_args(counts...));
}
inline std::string degree_limit(const char* format, std::uint64_t degree, std::uint64_t limit) {
    return filled(format, degree, limit);
}

// ---- sparse matrices
inline constexpr char kEmptyBlockGrid[] = "empty block grid";
inline constexpr char kBlockGridIndex[] = "block grid index out of bounds";
inline constexpr char kCsrOffsetCount[] = "invalid CSR matrix: row_offsets must have nrows + 1 elements";
inline constexpr char kCsrLengths[] = "invalid CSR matrix: values and col_indices differ in length";
inline constexpr char kCsrOffsetEnds[] = "invalid CSR matrix: row_offsets must start at 0 and end at the entry count";
inline constexpr char kCsrOffsetsDecrease[] = "invalid CSR matrix: row_offsets decrease at row ";
inline constexpr char kCsrColumnOutOfBounds[] = "invalid CSR matrix: column index out of bounds in row ";
inline constexpr char kCsrColumnsUnsorted[] = "invalid CSR matrix: columns not strictly increasing in row ";
// Each followed by the block row or column in decimal, in an equality assertion.
inline constexpr char kBlockRowHeight[] = "inconsistent block-row height at row ";
inline constexpr char kBlockColWidth[] = "inconsistent block-col width at col ";

// ---- the dG stepper's interval loop (its factors and M)
inline constexpr char kFactorRows[] = "factor: indptr does not match";
inline constexpr char kFactorNoDiagonal[] = "factor: a row without its diagonal";
inline constexpr char kFactorNotTriangular[] = "factor: not triangular with the diagonal at the row's end";
inline constexpr char kFactorPermutationSize[] = "factor: permutation of the wrong size";
inline constexpr char kFactorNotPermutation[] = "factor: not a permutation";
inline constexpr char kFactorSizes[] = "factor: sizes differ";
inline constexpr char kFactorOtherSize[] = "factor: of another size than M";
inline constexpr char kMarchRows[] = "M: indptr does not match";
inline constexpr char kMarchRowsDecrease[] = "M: indptr decreases";
inline constexpr char kMarchColumn[] = "M: column out of range";
inline constexpr char kMarchWorkShape[] = "work must have shape (count, N * m)";
inline constexpr char kMarchNoShifts[] = "no shifts";
inline constexpr char kMarchShiftLists[] = "set_class: factors, coupling and ends differ in length";
inline constexpr char kMarchSlot[] = "step class slot out of range";
inline constexpr char kMarchClassNotHeld[] = "march: step class not held";
inline constexpr char kMarchWorkShifts[] = "march: work does not match the shifts of a step class";
inline constexpr char kMarchEndShape[] = "march: end must have shape (N, m)";
// Argument conversions of the marcher's binding.
inline constexpr char kMarchFactorType[] = "set_class: factors must be RealFactors or ComplexFactors";
inline constexpr char kMarchWorkType[] = "march: work arrays must be C-contiguous 2-D float64 or complex128 arrays";

// ---- Python arguments and instances
inline constexpr char kStrToVec[] = "Can't extract `str` to `Vec`";
inline constexpr char kShapeNull[] = "shape is null";
inline constexpr char kStridesNull[] = "strides is null";
inline constexpr char kNotF64[] = "buffer contents are not compatible with f64";
inline constexpr char kMisalignedF64[] = "buffer contents are insufficiently aligned for f64";
inline constexpr char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";
inline constexpr char kAllAppendFailed[] = "could not append __name__ to __all__: ";

// "assertion `left == right` failed: {what}\n  left: {left}\n right: {right}"
inline std::string equality_assertion(std::string_view what, std::uint64_t left, std::uint64_t right) {
    return "assertion `left == right` failed: " + std::string(what) + "\n  left: " + std::to_string(left) +
           "\n right: " + std::to_string(right);
}

// "'{type}' object cannot be cast as '{target}'"
inline std::string cannot_cast(std::string_view type, std::string_view target) {
    return "'" + std::string(type) + "' object cannot be cast as '" + std::string(target) + "'";
}

// "block grid cell ({i}, {j}) is unset"
inline std::string block_cell_unset(std::uint64_t i, std::uint64_t j) {
    return "block grid cell (" + std::to_string(i) + ", " + std::to_string(j) + ") is unset";
}

// "CooMatrix::push: entry ({row}, {col}) outside a {nrows} x {ncols} matrix"
inline std::string coo_entry_outside(std::uint64_t row, std::uint64_t col, std::uint64_t nrows, std::uint64_t ncols) {
    return "CooMatrix::push: entry (" + std::to_string(row) + ", " + std::to_string(col) + ") outside a " +
           std::to_string(nrows) + " x " + std::to_string(ncols) + " matrix";
}

}  // namespace tavik::messages
