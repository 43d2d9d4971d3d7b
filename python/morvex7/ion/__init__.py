"""Model builder for real ions: FTN14, FTN15, fort.50 and model.json from atomic parameters."""
