// Dense products that move amplitude matrices between bases.
#pragma once
#include <cstdint>

namespace mv {

// Z(1..p, 1..r) <- Z·A(1..r, 1..r); Z has leading dimension q, A leading
// dimension s; rows p+1..q of Z's first r columns become 0. Uses a temporary
// of q·r cells in the work array.
void transform_ket(int32_t p, int32_t q, int32_t r, int32_t s, float* z, const float* a);

// Y(1..p, 1..r) <- Xᵀ·Y with X p x p (leading dimension q), Y of leading
// dimension s; rows p+1..s of Y's first r columns become 0. With X an
// eigenvector matrix this moves the rows of Y into the eigenbasis. Uses a
// temporary of s·r cells in the work array.
void transform_bra(int32_t p, int32_t q, int32_t r, int32_t s, const float* x, float* y);

// res (s x r, leading dimension s) = 0, then res(i,k) = Σ_j X(j,i)·Y(j,k), i, j <= p.
void mmult1(int32_t p, int32_t q, int32_t r, int32_t s, const float* x, const float* y, float* res);

// res (q x r, leading dimension q) = 0, then res(i,k) = Σ_j Z(i,j)·A(j,k), i <= p, j <= r.
void mmult2(int32_t p, int32_t q, int32_t r, int32_t s, const float* z, const float* a, float* res);

void copy(const float* source, float* target, int32_t count);

}  // namespace mv
