// Shape and construction functions PyTorch programs call beyond the defined
// ones (flip, roll, triangles, diagonals, outer products, einsum, cdist,
// ...). Moves of elements copy whole rows; products are the limb products,
// and every sum runs in a fixed order.
#pragma once

#include <string>
#include <vector>

#include "tensor/core/limb_tensor.h"

namespace zel {

LimbTensor flip(const LimbTensor& t, const std::vector<int64_t>& dims);
// shifts and dims pair up; no dims rolls the flattened tensor.
LimbTensor roll(const LimbTensor& t, const std::vector<int64_t>& shifts,
                const std::vector<int64_t>& dims);
// Rotation in the plane of the two axes of `dims` (exactly two).
LimbTensor rot90(const LimbTensor& t, int64_t k, const std::vector<int64_t>& dims);
// fliplr (columns, at least 2-D) or flipud (rows, at least 1-D).
LimbTensor flip_side(const LimbTensor& t, bool columns);
// t(): the transpose of a tensor of at most 2 axes; mT: of the last two axes
// of a tensor of at least 2.
LimbTensor matrix_t(const LimbTensor& t);
LimbTensor matrix_mT(const LimbTensor& t);
// Axis dim expanded into `sizes` (one of them may be -1).
LimbTensor unflatten(const LimbTensor& t, int64_t dim, const std::vector<int64_t>& sizes);
// The slices along dim.
std::vector<LimbTensor> unbind(const LimbTensor& t, int64_t dim);
// t viewed with at least `rank` axes (0-d: all ones; 1-D (n,): (1, n), then
// (1, n, 1)), as PyTorch's atleast_1d/2d/3d.
LimbTensor at_least(const LimbTensor& t, size_t rank);
enum class Stacking { Columns, Rows, AsColumns };  // hstack, vstack, column_stack
LimbTensor stack_sides(std::vector<LimbTensor> tensors, Stacking how, const char* op);
// Coordinate grids of 0-d and 1-D tensors; xy swaps the first two axes.
std::vector<LimbTensor> meshgrid(const std::vector<LimbTensor>& tensors, bool xy);
// Every tensor expanded to their broadcast shape.
std::vector<LimbTensor> broadcast_tensors(const std::vector<LimbTensor>& tensors);
// The last n axes of a against the first n of b (tensordot's int dims).
LimbTensor tensordot_n(const LimbTensor& a, const LimbTensor& b, int64_t n);
// Keeps the elements on and below (upper: above) the diagonal of the last
// two axes; the others become exact zeros.
LimbTensor triangle(const LimbTensor& t, int64_t diagonal, bool upper);
// 1-D: a square matrix with t on the diagonal; 2-D: that diagonal.
LimbTensor diag(const LimbTensor& t, int64_t diagonal);
LimbTensor diag_embed(const LimbTensor& t, int64_t offset, int64_t dim1, int64_t dim2);
LimbTensor diagonal(const LimbTensor& t, int64_t offset, int64_t dim1, int64_t dim2);
// Tree sum of the main diagonal of a matrix.
LimbTensor trace(const LimbTensor& t);
LimbTensor outer(const LimbTensor& a, const LimbTensor& b);
LimbTensor kron(const LimbTensor& a, const LimbTensor& b);
LimbTensor narrow(const LimbTensor& t, int64_t dim, int64_t start, int64_t length);
LimbTensor movedim(const LimbTensor& t, const std::vector<int64_t>& source,
                   const std::vector<int64_t>& destination);
// Columns x^(N-1) ... x^0 (increasing: x^0 ... x^(N-1)) of a 1-D x.
LimbTensor vander(const LimbTensor& x, int64_t n, bool increasing);
// Distances between the rows of x1 (..., P, M) and x2 (..., R, M).
LimbTensor cdist(const LimbTensor& x1, const LimbTensor& x2, double p);

// Every subscript form torch.einsum accepts. Each output element is
// acc = acc + x0 * x1 * ... over the summed subscripts in row-major order
// (subscripts ordered A-Z then a-z, broadcast '...' axes first), from an
// exact zero; a batched matrix product runs on the matmul kernel, whose
// operation order is the same.
LimbTensor einsum(const std::string& equation, const std::vector<LimbTensor>& operands);
// The axes dims_a of a contracted with dims_b of b.
LimbTensor tensordot(const LimbTensor& a, const LimbTensor& b, const std::vector<int64_t>& dims_a,
                     const std::vector<int64_t>& dims_b);

}  // namespace zel
