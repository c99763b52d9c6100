"""Indexed mzML: the writer, its PSI-MS and UO terms, MS-Numpress."""
