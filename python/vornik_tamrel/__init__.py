"""Peptide search around the `_vornik_tamrel` engine."""
