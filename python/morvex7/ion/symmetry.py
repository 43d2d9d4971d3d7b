"""The symmetry of a model: symmetry-adapted states and reduced matrix elements.

The builder sees symmetry only through :class:`Symmetry`, so spherical symmetry (O3, in
:mod:`morvex7.ion.o3`) and point groups are interchangeable. A symmetry

- names the irreducible representations (irreps) of every configuration and counts them
  (:meth:`Symmetry.multiplicities`), cheaply;
- finds the symmetry-adapted states of a configuration (:meth:`Symmetry.adapt`): for each irrep
  an orthonormal set of states ``vectors[a, r, :]`` over a set of determinants, copy ``a`` of the
  irrep, row ``r``. The rows of every copy transform by the same fixed standard matrices of the
  irrep, in every configuration, so that reduced matrix elements computed in different
  configurations fit together. A symmetry need not store every row: it stores those its own
  reduced matrix elements use (O3 keeps only M = J);
- expresses an invariant (scalar) operator between two adapted irreps (:meth:`scalar_block`):
  the matrix <a, r | O | a', r> of one row, the same for every row;
- expresses the transition operator between a ground irrep and an excited irrep through the
  Wigner–Eckart theorem of the group (:meth:`transition_block`), given the operator's spherical
  components q = -1, 0, 1;
- says which operator irreps the dipole operator contains (:meth:`transition_labels`), which
  excited irreps each of them reaches from a ground irrep (:meth:`reached`), and how the
  polarised and isotropic spectra are made of them (:meth:`polarisation_factor`).

Engine scaling (done by the writer, not here): the engine divides every configuration and
mixing block by sqrt(dim) and multiplies transition blocks by DIP, so the writer stores
sqrt(dim) * scalar_block and transition_block as they are.
"""
from __future__ import annotations

from abc import ABC, abstractmethod
from dataclasses import dataclass
from typing import Mapping, Sequence

import numpy as np
import scipy.sparse as sp

from .determinants import DeterminantBasis, Operator, Orbitals, configuration_dets, two_ml_ms_of


@dataclass
class Configuration:
    """One configuration of a model: the electrons per shell, e.g. (5, 9, 10) for c5 v9 L10."""

    name: str
    orbitals: Orbitals
    occupations: tuple[int, ...]

    @property
    def parity(self) -> int:
        """+1 or -1: (-1) to the power of the sum of l over the electrons."""
        s = sum(sh.l * n for sh, n in zip(self.orbitals.shells, self.occupations))
        return -1 if s % 2 else 1


@dataclass
class AdaptedIrrep:
    """The symmetry-adapted states of one irrep in one configuration.

    Attributes
    ----------
    label
        Irrep label as written in the files, e.g. "4+" or "5/2-".
    dim
        Dimension of the irrep (number of rows), e.g. 2J + 1.
    basis
        The determinants the stored states are expanded in.
    rows
        Which rows are stored (indices into 0..dim-1).
    vectors
        Array of shape (mult, len(rows), len(basis)): copy a, stored row r, determinant.
    """

    label: str
    dim: int
    basis: DeterminantBasis
    rows: tuple[int, ...]
    vectors: np.ndarray

    @property
    def mult(self) -> int:
        """Number of copies (the multiplicity of the irrep in the configuration)."""
        return self.vectors.shape[0]


class Symmetry(ABC):
    """Interface of a symmetry (see the module description)."""

    name: str = ""

    @abstractmethod
    def multiplicities(self, config: Configuration) -> dict[str, tuple[int, int]]:
        """Return {label: (mult, dim)} of every irrep present in ``config``."""

    @abstractmethod
    def adapt(self, config: Configuration, labels: Sequence[str]) -> dict[str, AdaptedIrrep]:
        """Return the symmetry-adapted states of the given irreps of ``config``.

        Irreps absent from the configuration come back with ``mult == 0``.
        """

    def averages(self, config: Configuration, ops: Sequence[Operator]) -> list[float]:
        """The average of each operator over every state of ``config`` (its trace over the
        configuration's determinants over their number); a symmetry may take it from a
        smaller configuration where that gives the same."""
        basis = configuration_dets(config.orbitals, config.occupations)
        return [op.trace(basis) / len(basis) for op in ops]

    def scalar_block(self, bra: AdaptedIrrep, op: Operator, ket: AdaptedIrrep) -> np.ndarray:
        """Return <a, r | op | a', r> (shape bra.mult x ket.mult) of an invariant operator,
        taken on the first row, which every symmetry stores."""
        if bra.mult == 0 or ket.mult == 0:
            return np.zeros((bra.mult, ket.mult))
        m = op.matrix(bra.basis, ket.basis)
        return bra.vectors[:, 0, :] @ (m @ ket.vectors[:, 0, :].T)

    def mixing_block(self, bra: AdaptedIrrep, op: Operator, ket: AdaptedIrrep,
                     scale: float | None = None) -> np.ndarray | sp.spmatrix:
        """The block of an invariant operator between irreps of two configurations (the
        hybridisation), as `scalar_block`; a symmetry may return it sparse (scipy.sparse).
        With ``scale`` (the factor the writer stores the block times) it may leave out the
        elements the writer drops as noise (see morvex7.ion.blocks.compact)."""
        return self.scalar_block(bra, op, ket)

    def keeps(self, ground_label: str, op_label: str, excited_label: str) -> bool:
        """Whether the builder makes this triad (a symmetry that pairs triads with equal
        spectra keeps one of each pair, see morvex7.ion.fieldsymmetry)."""
        return True

    def stored(self, label: str) -> str:
        """The label whose blocks stand for ``label``'s (itself, but for the lower class of
        a time-reversed pair in a paired model, see morvex7.ion.fieldsymmetry)."""
        return label

    def release(self, everything: bool = False) -> None:
        """Drop what a symmetry keeps between calls to make the blocks between configurations
        (a later call makes it again): what only the hybridisation used, or with
        ``everything`` all of it. The builder calls it when a side's blocks, and when the
        transition blocks, are made."""

    def hamiltonian_block(self, irrep: AdaptedIrrep, op: Operator) -> np.ndarray | sp.spmatrix:
        """The block of an invariant operator within one adapted irrep, as `scalar_block`; a
        symmetry may return it sparse (scipy.sparse) where most of it is zero."""
        return self.scalar_block(irrep, op, irrep)

    @abstractmethod
    def transition_labels(self) -> list[str]:
        """Irrep labels of the parts of the dipole operator, e.g. ["1-"] or ["A2U", "EU"]."""

    @abstractmethod
    def reached(self, ground_label: str, op_label: str) -> list[str]:
        """Excited irrep labels that operator part ``op_label`` reaches from ``ground_label``."""

    @abstractmethod
    def transition_block(self, ground: AdaptedIrrep, components: Mapping[int, Operator],
                         excited: AdaptedIrrep, op_label: str) -> np.ndarray:
        """Reduced matrix elements of the dipole part ``op_label``, shape ground.mult x excited.mult.

        ``components[q]`` (q = -1, 0, 1) are the spherical components of the dipole operator
        (ground -> excited). The normalisation must make ``polarisation_factor`` true.
        """

    @abstractmethod
    def polarisation_factor(self, ground_label: str, op_label: str, polarisation: str) -> float:
        """Factor f such that a line's intensity, summed over the rows of its ground irrep and
        over the final rows, for light of the given polarisation ("iso", "z", "xy"), is
        f * amplitude**2, amplitude being the engine's (DIP = 1). 0 when the part does not
        contribute to that polarisation."""


def ls_casimir(ladders: tuple[Operator, Operator], orbitals: Orbitals,
               images: tuple[DeterminantBasis, DeterminantBasis], basis: DeterminantBasis,
               shells: tuple[str, ...] | None) -> sp.csr_matrix:
    """L^2 + S^2/64 over the named shells (None: all) on ``basis``, as L-L+ + Lz^2 + Lz and
    the same for S. ``ladders`` are L+ and S+ over those shells, ``images`` determinant sets
    holding every determinant each of them reaches from ``basis``. Its eigenvectors sort
    states by L and S, which keeps the blocks the builder writes sparse."""
    tml, tms = two_ml_ms_of(orbitals, basis.dets, shells)
    out = None
    for op, image, tm, f in zip(ladders, images, (tml, tms), (1.0, 1.0 / 64)):
        m = op.matrix(image, basis)
        mm = tm / 2.0
        part = f * (m.T @ m + sp.diags(mm * mm + mm))
        out = part if out is None else out + part
    return out.tocsr()


def refine_by_eigenvalues(vec: np.ndarray, keys: list[tuple],
                          y: np.ndarray) -> tuple[np.ndarray, list[tuple]]:
    """Diagonalise the commuting operator ``y`` (in the basis ``vec``) within each group of
    states of equal ``keys``; return the rotated states and the extended keys."""
    out = vec.copy()
    new_keys = list(keys)
    groups: dict[tuple, list[int]] = {}
    for i, k in enumerate(keys):
        groups.setdefault(k, []).append(i)
    for k, idx in groups.items():
        w, u = np.linalg.eigh(y[np.ix_(idx, idx)])
        out[idx] = u.T @ vec[idx]
        for i, e in zip(idx, w):
            new_keys[i] = k + (round(float(e), 6),)
    return out, new_keys
