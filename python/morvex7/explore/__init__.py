"""The explorer: a local web page that re-runs the engine as a model's parameters change.

``morvex7-explore DIR`` (:mod:`morvex7.explore.cli`) serves it; :mod:`.session` holds the
model, the runs and the fits, :mod:`.runs` the cancellable engine runs, :mod:`.server` the
HTTP interface, and ``static/`` the page (plain JavaScript drawing SVG, nothing fetched from
elsewhere).
"""
