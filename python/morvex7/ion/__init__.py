"""Model builder for real ions: FTN14, FTN15, fort.50 and model.json from atomic parameters.

>>> from morvex7.ion import load_description, build_model
>>> built = build_model(load_description("nio.toml"), "nio")    # doctest: +SKIP

The symmetry enters only through :class:`morvex7.ion.symmetry.Symmetry` (spherical symmetry:
:class:`morvex7.ion.o3.O3Symmetry`). See docs/ion-models.md.
"""
from .build import BuiltModel, build, build_model, write_model
from .model import IonModel, load_description, model_from_dict
from .spectra import combined_sticks, read_model_json, spectrum_weights

__all__ = ["BuiltModel", "IonModel", "build", "build_model", "combined_sticks",
           "load_description", "model_from_dict", "read_model_json", "spectrum_weights",
           "write_model"]
