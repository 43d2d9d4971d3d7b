"""Spherical states of a core-hole configuration with a ligand hole beside an open core and an
open valence shell (c̲ vⁿ⁺¹ L̲, c̲ vⁿ⁺² L̲²), coupled from the multiplets without the ligand and
those of the ligand shell: highest-weight states, and operator blocks assembled from the
smaller configuration equal to the blocks taken between the states themselves."""
from __future__ import annotations

import numpy as np
import pytest
import scipy.sparse as sp

from morvex7.ion.atomic import j_plus, spin_orbit
from morvex7.ion.blocks import make_sides
from morvex7.ion.model import IonModel
from morvex7.ion.o3 import O3Symmetry, SpectatorIrrep, parse_label

G = {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.07}
E = {**G, "zeta_c": 8.0, "F2cv": 5.0, "G1cv": 3.7, "G3cv": 2.1}


@pytest.mark.parametrize("n,which,name", [(7, 1, "2p5 3d9 L"), (6, 2, "2p5 3d9 L2")])
def test_coupled_states_and_assembled_blocks(n, which, name):
    model = IonModel(valence="3d", electrons=n, core="2p", ground=G, excited=E,
                     charge_transfer={"Delta": 3.0, "U": 6.0, "Q": 7.0, "V": 2.0})
    _, excited = make_sides(model)
    conf = excited.configs[which]
    assert conf.name == name
    sym = O3Symmetry()
    mults = sym.multiplicities(conf)
    irreps = sym.adapt(conf, list(mults))
    jp = j_plus(conf.orbitals)
    for lab, irr in irreps.items():
        assert isinstance(irr, SpectatorIrrep)
        assert irr.mult == mults[lab][0]
        v = irr.vectors[:, 0, :]
        np.testing.assert_allclose(v @ v.T, np.eye(irr.mult), atol=1e-10)
        # highest weight: J+ takes every state out of the space (M = J + 1 holds no copy)
        above = sym.sector(conf, parse_label(lab)[0] + 2)
        if len(above):
            assert np.abs(jp.matrix(above, irr.basis) @ v.T).max() < 1e-10, lab
        for o in excited.hamiltonian:
            block = sym.hamiltonian_block(irr, o.op)
            assert sp.issparse(block)
            np.testing.assert_allclose(block.toarray(), sym.scalar_block(irr, o.op, irr),
                                       atol=1e-10, err_msg=f"{lab} {o.name}")
    # an operator on the ligand shell is taken between the states themselves
    ligand_so = spin_orbit(conf.orbitals.shell("ligand"))
    for lab, irr in irreps.items():
        block = sym.hamiltonian_block(irr, ligand_so)
        assert np.abs(block).max() > 0.1
        np.testing.assert_allclose(block, sym.scalar_block(irr, ligand_so, irr), atol=1e-12)
