// einsum and tensordot: one fused contraction over limb rows, with the
// batched matrix products routed to the matmul kernel.
#include <algorithm>
#include <stdexcept>

#include "tensor/contract/matmul.h"
#include "tensor/core/index_walk.h"
#include "tensor/shape/shape.h"
#include "tensor/shape/rearrange.h"

namespace zel {

namespace {

using limbs::Row;

constexpr int kLetters = 52;  // A-Z, then a-z, as PyTorch numbers them
constexpr int kEllipsis = -1;

[[noreturn]] void fail(const std::string& why) { throw std::runtime_error("einsum(): " + why); }

int letter_id(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return 26 + (c - 'a');
  return -2;
}

char letter_of(int id) { return static_cast<char>(id < 26 ? 'A' + id : 'a' + (id - 26)); }

// The labels of one term; kEllipsis marks "...".
std::vector<int> parse_term(const std::string& term, const char* where) {
  std::vector<int> out;
  bool ellipsis = false;
  for (size_t i = 0; i < term.size(); ++i) {
    const char c = term[i];
    if (c == '.') {
      if (ellipsis) fail(std::string("found more than one ellipsis ('...') in the ") + where);
      if (term.compare(i, 3, "...") != 0)
        fail(std::string("found '.' that is not part of any ellipsis ('...') in the ") + where);
      ellipsis = true;
      out.push_back(kEllipsis);
      i += 2;
      continue;
    }
    const int id = letter_id(c);
    if (id < 0)
      fail(std::string("invalid subscript given at index ") + std::to_string(i) +
           " in the equation string, subscripts must be in [a-zA-Z]");
    out.push_back(id);
  }
  return out;
}

// The contraction after parsing: labels numbered densely, the size of each,
// and per operand the row stride of each label (the sum over repeated
// subscripts: a diagonal; 0 where the operand lacks it or has size 1).
struct Plan {
  std::vector<int64_t> size;                 // per label
  std::vector<int> out;                      // output labels in order
  std::vector<int> summed;                   // the other labels, ascending
  std::vector<std::vector<int64_t>> stride;  // [operand][label]
  std::vector<std::vector<int>> labels;      // [operand][axis]
};

Plan plan_of(const std::string& equation, const std::vector<LimbTensor>& ops) {
  std::string eq;
  for (char c : equation)
    if (c != ' ') eq += c;
  const size_t arrow = eq.find("->");
  const std::string lhs = eq.substr(0, arrow);
  std::vector<std::string> terms{""};
  for (char c : lhs) {
    if (c == ',')
      terms.emplace_back();
    else
      terms.back() += c;
  }
  if (terms.size() > ops.size())
    fail("fewer operands were provided than specified in the equation");
  if (terms.size() < ops.size()) fail("more operands were provided than specified in the equation");

  // Labels kLetters + j stand for the j-th broadcast axis of '...'
  // (right-aligned across operands, as in broadcasting).
  std::vector<std::vector<int>> raw(ops.size());
  int64_t ell = 0;
  for (size_t k = 0; k < ops.size(); ++k) {
    raw[k] = parse_term(terms[k], "equation");
    const int64_t letters = static_cast<int64_t>(
        std::count_if(raw[k].begin(), raw[k].end(), [](int l) { return l >= 0; }));
    const bool has_ell = letters != static_cast<int64_t>(raw[k].size());
    const int64_t nd = static_cast<int64_t>(ops[k].shape.size());
    if (has_ell ? letters > nd : letters != nd)
      fail("the number of subscripts in the equation (" + std::to_string(letters) +
           ") does not match the number of dimensions (" + std::to_string(nd) + ") for operand " +
           std::to_string(k) + (has_ell ? "" : " and no ellipsis was given"));
    if (has_ell) ell = std::max(ell, nd - letters);
  }
  Plan p;
  const int total = kLetters + static_cast<int>(ell);
  p.size.assign(total, -1);
  std::vector<int> count(total, 0), occurrences(total, 0);  // operands with the label, its uses
  p.stride.assign(ops.size(), std::vector<int64_t>(total, 0));
  p.labels.resize(ops.size());
  for (size_t k = 0; k < ops.size(); ++k) {
    const Shape& shape = ops[k].shape;
    const int64_t nd = static_cast<int64_t>(shape.size());
    const int64_t letters = static_cast<int64_t>(
        std::count_if(raw[k].begin(), raw[k].end(), [](int l) { return l >= 0; }));
    std::vector<int>& lab = p.labels[k];
    for (int l : raw[k]) {
      if (l != kEllipsis) {
        lab.push_back(l);
        continue;
      }
      const int64_t e = nd - letters;
      for (int64_t j = 0; j < e; ++j) lab.push_back(kLetters + static_cast<int>(ell - e + j));
    }
    const std::vector<int64_t> st = contiguous_strides(shape);
    std::vector<int64_t> own(total, -1);
    for (int64_t d = 0; d < nd; ++d) {
      const int l = lab[d];
      const int64_t s = shape[d];
      if (own[l] >= 0) {  // repeated within the operand: a diagonal
        if (own[l] != s)
          fail("subscript " + std::string(1, letter_of(l)) + " is repeated for operand " +
               std::to_string(k) + " but the sizes don't match, " + std::to_string(own[l]) +
               " != " + std::to_string(s));
        ++occurrences[l];
        if (s != 1) p.stride[k][l] += st[d];
        continue;
      }
      own[l] = s;
      ++count[l];
      ++occurrences[l];
      if (p.size[l] < 0 || p.size[l] == 1) {
        p.size[l] = s;
      } else if (s != 1 && s != p.size[l]) {
        fail("subscript " + (l < kLetters ? std::string(1, letter_of(l)) : std::string("'...'")) +
             " has size " + std::to_string(s) + " for operand " + std::to_string(k) +
             " which does not broadcast with previously seen size " + std::to_string(p.size[l]));
      }
      if (s != 1) p.stride[k][l] += st[d];
    }
  }
  std::vector<bool> in_out(total, false);
  if (arrow != std::string::npos) {
    for (int l : parse_term(eq.substr(arrow + 2), "output")) {
      if (l == kEllipsis) {
        for (int j = 0; j < ell; ++j) {
          p.out.push_back(kLetters + j);
          in_out[kLetters + j] = true;
        }
        continue;
      }
      if (count[l] == 0)
        fail(std::string("output subscript ") + letter_of(l) +
             " does not appear in the equation for any input operand");
      if (in_out[l])
        fail(std::string("output subscript ") + letter_of(l) +
             " appears more than once in the output");
      in_out[l] = true;
      p.out.push_back(l);
    }
  } else {
    for (int j = 0; j < ell; ++j) p.out.push_back(kLetters + j), in_out[kLetters + j] = true;
    for (int l = 0; l < kLetters; ++l)
      if (occurrences[l] == 1) p.out.push_back(l), in_out[l] = true;
  }
  for (int l = 0; l < total; ++l)
    if (count[l] > 0 && !in_out[l]) p.summed.push_back(l);
  return p;
}

Shape sizes_of(const Plan& p, const std::vector<int>& labels) {
  Shape s;
  for (int l : labels) s.push_back(p.size[l]);
  return s;
}

// The batched matrix product form, when the contraction is one: two
// operands without repeated subscripts, every subscript either shared and
// kept (batch), kept from one side (rows of a, columns of b) or shared and
// summed, with equal sizes on both sides.
bool as_matmul(const Plan& p, const std::vector<LimbTensor>& ops, LimbTensor& result) {
  if (ops.size() != 2) return false;
  const int total = static_cast<int>(p.size.size());
  std::vector<int> pos_a(total, -1), pos_b(total, -1);
  for (size_t d = 0; d < p.labels[0].size(); ++d) {
    if (pos_a[p.labels[0][d]] >= 0) return false;
    pos_a[p.labels[0][d]] = static_cast<int>(d);
  }
  for (size_t d = 0; d < p.labels[1].size(); ++d) {
    if (pos_b[p.labels[1][d]] >= 0) return false;
    pos_b[p.labels[1][d]] = static_cast<int>(d);
  }
  std::vector<bool> in_out(total, false);
  for (int l : p.out) in_out[l] = true;
  std::vector<int> batch, rows, cols, inner;
  for (int l = 0; l < total; ++l) {
    const bool a = pos_a[l] >= 0, b = pos_b[l] >= 0;
    if (!a && !b) continue;
    if (a && ops[0].shape[pos_a[l]] != p.size[l]) return false;
    if (b && ops[1].shape[pos_b[l]] != p.size[l]) return false;
    if (a && b)
      (in_out[l] ? batch : inner).push_back(l);
    else if (!in_out[l])
      return false;
    else
      (a ? rows : cols).push_back(l);
  }
  auto arranged = [&](const LimbTensor& t, const std::vector<int>& pos,
                      const std::vector<int>& first, const std::vector<int>& second,
                      const std::vector<int>& third) {
    std::vector<int64_t> perm;
    for (const auto* group : {&first, &second, &third})
      for (int l : *group) perm.push_back(pos[l]);
    LimbTensor r = permute(t, perm);
    r.shape = Shape{shape_numel(sizes_of(p, first)), shape_numel(sizes_of(p, second)),
                    shape_numel(sizes_of(p, third))};
    return r;
  };
  const LimbTensor a3 = arranged(ops[0], pos_a, batch, rows, inner);
  const LimbTensor b3 = arranged(ops[1], pos_b, batch, inner, cols);
  LimbTensor c = matmul(a3, b3);
  std::vector<int> have = batch;
  have.insert(have.end(), rows.begin(), rows.end());
  have.insert(have.end(), cols.begin(), cols.end());
  c.shape = sizes_of(p, have);
  std::vector<int64_t> perm;
  for (int l : p.out) perm.push_back(std::find(have.begin(), have.end(), l) - have.begin());
  result = permute(c, perm);
  return true;
}

}  // namespace

LimbTensor einsum(const std::string& equation, const std::vector<LimbTensor>& operands) {
  if (operands.empty()) fail("must provide at least one operand");
  for (const LimbTensor& t : operands) check_limbs(t.data, t.shape, "einsum");
  const Plan p = plan_of(equation, operands);
  LimbTensor fast;
  if (as_matmul(p, operands, fast)) return fast;

  std::vector<at::Tensor> data;
  std::vector<const Row*> src;
  for (const LimbTensor& t : operands) {
    data.push_back(cpu_limbs(t, "einsum"));
    src.push_back(rows_of(data.back()));
  }
  const Shape out_shape = sizes_of(p, p.out), sum_shape = sizes_of(p, p.summed);
  const int64_t n = shape_numel(out_shape), terms = shape_numel(sum_shape);
  const size_t k_ops = operands.size();
  const int64_t no = static_cast<int64_t>(p.out.size()), ns = static_cast<int64_t>(p.summed.size());
  at::Tensor r = new_limbs_for(n, "einsum");
  Row* out = rows_of(r);
  parallel_rows(n, std::max<int64_t>(1, 4096 / std::max<int64_t>(terms, 1)),
                [&](int64_t begin, int64_t end) {
                  std::vector<int64_t> base(k_ops), off(k_ops), idx(static_cast<size_t>(ns));
                  std::vector<int64_t> out_idx(static_cast<size_t>(no));
                  for (int64_t i = begin; i < end; ++i) {
                    std::fill(base.begin(), base.end(), 0);
                    unravel(i, out_shape.data(), no, out_idx.data());
                    for (int64_t d = 0; d < no; ++d)
                      for (size_t o = 0; o < k_ops; ++o)
                        base[o] += out_idx[d] * p.stride[o][p.out[d]];
                    off = base;
                    std::fill(idx.begin(), idx.end(), 0);
                    Row acc = limbs::zero_row();
                    for (int64_t t = 0; t < terms; ++t) {
                      Row prod = src[0][off[0]];
                      for (size_t o = 1; o < k_ops; ++o) prod = limbs::mul(prod, src[o][off[o]]);
                      acc = limbs::add(acc, prod);
                      for (int64_t d = ns - 1; d >= 0; --d) {
                        const int l = p.summed[d];
                        for (size_t o = 0; o < k_ops; ++o) off[o] += p.stride[o][l];
                        if (++idx[d] < p.size[l]) break;
                        for (size_t o = 0; o < k_ops; ++o) off[o] -= p.stride[o][l] * p.size[l];
                        idx[d] = 0;
                      }
                    }
                    out[i] = acc;
                  }
                });
  return make_result(r, out_shape, operands[0].data.device());
}

LimbTensor tensordot(const LimbTensor& a, const LimbTensor& b, const std::vector<int64_t>& dims_a,
                     const std::vector<int64_t>& dims_b) {
  check_limbs(a.data, a.shape, "tensordot");
  check_limbs(b.data, b.shape, "tensordot");
  if (dims_a.size() != dims_b.size())
    throw std::runtime_error("tensordot: both dimension lists should have same length, got " +
                             std::to_string(dims_a.size()) + " and " +
                             std::to_string(dims_b.size()));
  const int64_t ra = static_cast<int64_t>(a.shape.size()),
                rb = static_cast<int64_t>(b.shape.size());
  if (ra + rb > kLetters)
    throw std::runtime_error("tensordot: at most 52 dimensions in all are supported");
  // Written as an einsum: a's axes take letters 0.., b's the next ones,
  // contracted pairs share a letter.
  std::vector<int> la(ra), lb(rb);
  std::iota(la.begin(), la.end(), 0);
  std::iota(lb.begin(), lb.end(), static_cast<int>(ra));
  std::vector<bool> used_a(ra, false), used_b(rb, false);
  for (size_t i = 0; i < dims_a.size(); ++i) {
    const int64_t x = wrap_dim(dims_a[i], ra, "tensordot"),
                  y = wrap_dim(dims_b[i], rb, "tensordot");
    if (ra == 0 || rb == 0) throw std::runtime_error("tensordot: cannot contract a 0-d tensor");
    if (used_a[x] || used_b[y])
      throw std::runtime_error("tensordot: a dimension appears twice in the dimension lists");
    if (a.shape[x] != b.shape[y])
      throw std::runtime_error(
          "tensordot: contracted dimensions need to match, but first has size " +
          std::to_string(a.shape[x]) + " in dim " + std::to_string(x) + " and second has size " +
          std::to_string(b.shape[y]) + " in dim " + std::to_string(y));
    used_a[x] = used_b[y] = true;
    lb[y] = la[x];
  }
  std::string eq, out;
  for (int64_t d = 0; d < ra; ++d) {
    eq += letter_of(la[d]);
    if (!used_a[d]) out += letter_of(la[d]);
  }
  eq += ',';
  for (int64_t d = 0; d < rb; ++d) {
    eq += letter_of(lb[d]);
    if (!used_b[d]) out += letter_of(lb[d]);
  }
  return einsum(eq + "->" + out, {a, b});
}

}  // namespace zel
